#pragma once

#include "platform/MainLoop.h"
#include "platform/linux/FileIdentity.h"
#include "platform/linux/GLibHandles.h"

#include <functional>
#include <string>
#include <vector>

namespace lullswitch::linux_backend {

void releaseFileMonitor(GFileMonitor* monitor);
using FileMonitorPtr = platform::UniqueCPtr<GFileMonitor, releaseFileMonitor>;

// Tells, on the main loop, of anything that may have changed a file. GIO's
// monitor on its folder (and, through a symlink, on the folder of the file
// it leads to) tells at once. A slow tick tells too, for what no monitor
// sees: a folder higher up moved or replaced, a symlink put in the file's
// place, no monitor to be had (the per-user inotify limit); at each tick the
// folders that changed are watched afresh. A registration: once it is
// destroyed, nothing more is told.
class FileChangeMonitor {
public:
    static constexpr double tickSeconds = 2.0;

    // `useKernelNotices` false leaves only the tick, as where GIO has no
    // monitor to give.
    FileChangeMonitor(std::string path, platform::MainLoop& mainLoop, std::function<void()> onMaybeChanged,
        bool useKernelNotices = true);
    FileChangeMonitor(const FileChangeMonitor&) = delete;
    FileChangeMonitor& operator=(const FileChangeMonitor&) = delete;

    // Whether every folder on the way to the file is watched by the kernel.
    bool hasKernelNotices() const;

private:
    struct FolderWatch {
        std::string folder;
        FileIdentity identity;
        FileMonitorPtr monitor;
    };

    void watchFolders();
    FileMonitorPtr monitorFolder(const std::string& folder);
    void tell();
    static void onFolderChanged(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent, gpointer self);

    std::string path_;
    std::function<void()> onMaybeChanged_;
    bool useKernelNotices_;
    std::vector<FolderWatch> watches_;
    platform::TimerHandle tick_;
};

} // namespace lullswitch::linux_backend
