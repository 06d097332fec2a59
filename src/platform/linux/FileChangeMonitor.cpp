#include "platform/linux/FileChangeMonitor.h"

#include <algorithm>
#include <utility>

namespace lullswitch::linux_backend {

namespace {

std::string directoryOf(const std::string& file)
{
    return GMallocPtr<char>(g_path_get_dirname(file.c_str())).get();
}

} // namespace

void releaseFileMonitor(GFileMonitor* monitor)
{
    // Cut off first: no event already queued is told after.
    g_signal_handlers_disconnect_matched(
        monitor, G_SIGNAL_MATCH_ID, g_signal_lookup("changed", G_TYPE_FILE_MONITOR), 0, nullptr, nullptr, nullptr);
    g_object_unref(monitor);
}

FileChangeMonitor::FileChangeMonitor(
    std::string path, platform::MainLoop& mainLoop, std::function<void()> onMaybeChanged, bool useKernelNotices)
    : path_(std::move(path)), onMaybeChanged_(std::move(onMaybeChanged)), useKernelNotices_(useKernelNotices)
{
    watchFolders();
    tick_ = mainLoop.scheduleRepeating(tickSeconds, [this] { tell(); });
}

bool FileChangeMonitor::hasKernelNotices() const
{
    return std::ranges::all_of(watches_, [](const FolderWatch& watch) { return watch.monitor != nullptr; });
}

// Keeps each watch whose folder is still the same directory; the others,
// and any folder a symlink now leads to, are watched afresh.
void FileChangeMonitor::watchFolders()
{
    std::vector<FolderWatch> watches;
    for (const auto& folder : { directoryOf(path_), directoryOf(FileIdentity::resolvedPath(path_)) }) {
        if (std::ranges::any_of(watches, [&](const FolderWatch& watch) { return watch.folder == folder; }))
            continue;
        const FileIdentity identity = FileIdentity::ofPath(folder);
        const auto kept = std::ranges::find_if(watches_, [&](const FolderWatch& watch) {
            return watch.folder == folder && watch.identity.isSameFile(identity) && watch.monitor;
        });
        if (kept != watches_.end())
            watches.push_back(std::move(*kept));
        else
            watches.push_back({ folder, identity, monitorFolder(folder) });
    }
    watches_ = std::move(watches);
}

FileMonitorPtr FileChangeMonitor::monitorFolder(const std::string& folder)
{
    if (!useKernelNotices_)
        return nullptr;
    GObjectPtr<GFile> file(g_file_new_for_path(folder.c_str()));
    FileMonitorPtr monitor(g_file_monitor_directory(file.get(), G_FILE_MONITOR_NONE, nullptr, nullptr));
    if (monitor)
        g_signal_connect(monitor.get(), "changed", G_CALLBACK(onFolderChanged), this);
    return monitor;
}

void FileChangeMonitor::tell()
{
    watchFolders();
    onMaybeChanged_();
}

void FileChangeMonitor::onFolderChanged(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent, gpointer self)
{
    static_cast<FileChangeMonitor*>(self)->tell();
}

} // namespace lullswitch::linux_backend
