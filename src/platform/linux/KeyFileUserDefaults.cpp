#include "platform/linux/KeyFileUserDefaults.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib/gstdio.h>
#include <limits.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <utility>

namespace lullswitch::linux_backend {

namespace {

constexpr GKeyFileFlags loadFlags = static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS);

// What tells of a change to a name in a directory, and of the directory going.
constexpr std::uint32_t watchedEvents
    = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t directoryGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

// Tries of a write that keeps finding the file replaced under it.
constexpr int maximumWriteAttempts = 8;

std::optional<std::string> readAll(int fd, std::size_t limit)
{
    std::string contents;
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (count == 0)
            return contents;
        contents.append(buffer, static_cast<std::size_t>(count));
        if (contents.size() > limit)
            return std::nullopt;
    }
}

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t count = ::write(fd, data.data(), data.size());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

// A rename is only durable once the directory entry itself is on disk.
void syncDirectory(const std::string& directory)
{
    FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0)
        ::fsync(fd.get());
}

// Renames without replacing anything already there; false if `to` exists.
bool renameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // NOTE: some filesystems (older NFS) lack RENAME_NOREPLACE; check, then rename.
    struct stat status;
    if (::lstat(to.c_str(), &status) == 0) {
        errno = EEXIST;
        return false;
    }
    if (errno != ENOENT)
        return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string_view trimTrailingSpace(std::string_view text)
{
    while (!text.empty() && g_ascii_isspace(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string directoryOf(const std::string& file)
{
    GMallocPtr<char> directory(g_path_get_dirname(file.c_str()));
    return directory.get();
}

std::string baseNameOf(const std::string& file)
{
    GMallocPtr<char> name(g_path_get_basename(file.c_str()));
    return name.get();
}

// Follows symlinks, dangling ones too, to the file that a write replaces.
std::string resolveTarget(std::string file)
{
    for (int hops = 0; hops < 40; ++hops) {
        char link[PATH_MAX];
        const ssize_t length = ::readlink(file.c_str(), link, sizeof link);
        if (length < 0 || length == sizeof link)
            break;
        const std::string target(link, static_cast<std::size_t>(length));
        file = target[0] == '/' ? target : directoryOf(file) + "/" + target;
    }
    return file;
}

// Moves an unparseable file aside under a name of its own; true when it is
// out of the way (or already gone).
bool moveAside(const std::string& target)
{
    const std::string stem = target + ".corrupt-" + std::to_string(std::time(nullptr));
    for (int attempt = 1; attempt <= 100; ++attempt) {
        const std::string aside = attempt == 1 ? stem : stem + "-" + std::to_string(attempt);
        if (renameNoReplace(target, aside))
            return true;
        if (errno == ENOENT)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

std::string reasonOf(int error)
{
    return g_strerror(error);
}

} // namespace

FileDescriptor::~FileDescriptor()
{
    if (fd_ >= 0)
        ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    return *this;
}

bool FileDescriptor::close()
{
    return ::close(std::exchange(fd_, -1)) == 0;
}

bool KeyFileUserDefaults::FileIdentity::operator==(const FileIdentity& other) const
{
    if (exists != other.exists)
        return false;
    if (!exists)
        return true;
    return mode == other.mode && device == other.device && inode == other.inode && size == other.size
        && modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec
        && changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

KeyFileUserDefaults::FileIdentity KeyFileUserDefaults::identityOf(const struct stat& status)
{
    FileIdentity identity;
    identity.exists = true;
    identity.mode = status.st_mode;
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    identity.size = status.st_size;
    identity.modified = status.st_mtim;
    identity.changed = status.st_ctim;
    return identity;
}

std::string KeyFileUserDefaults::defaultPath()
{
    // A relative XDG_CONFIG_HOME is invalid and ignored, as XDG says.
    std::string base;
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome && configHome[0] == '/') {
        base = configHome;
    } else {
        const char* home = std::getenv("HOME");
        base = home && home[0] ? home : g_get_home_dir();
        base += "/.config";
    }
    return base + "/lullswitch/preferences.ini";
}

KeyFileUserDefaults::KeyFileUserDefaults(std::string path, SaveFailureReporter onSaveFailed)
    : path_(std::move(path)), onSaveFailed_(std::move(onSaveFailed)), keyFile_(g_key_file_new())
{
}

void KeyFileUserDefaults::refresh()
{
    // While the kernel watches, what was loaded is current.
    if (!hasLoaded_ || !monitorSource_)
        reloadIfChanged();
}

bool KeyFileUserDefaults::reloadIfChanged()
{
    struct stat status;
    const FileIdentity current = ::stat(path_.c_str(), &status) == 0 ? identityOf(status) : FileIdentity {};
    if (hasLoaded_ && current == identity_)
        return false;
    load(current);
    return true;
}

KeyFileUserDefaults::Snapshot KeyFileUserDefaults::readFile(const std::string& file) const
{
    Snapshot snapshot { {}, GKeyFilePtr(g_key_file_new()), false };
    // Non-blocking, so a FIFO put in the file's place cannot hang the agent.
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat status;
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0) {
        // Unreadable (say, mode 000): never overwrite what could not be read.
        if (::stat(file.c_str(), &status) == 0) {
            snapshot.identity = identityOf(status);
            snapshot.isCorrupt = snapshot.identity.isRegular();
        }
        return snapshot;
    }
    // What was read is what this identity stands for, even if the file was
    // replaced between a stat and the open.
    snapshot.identity = identityOf(status);
    if (!S_ISREG(status.st_mode))
        return snapshot;
    const auto contents = readAll(fd.get(), static_cast<std::size_t>(maximumFileSize));
    // GKeyFile stops a line at a NUL and would silently drop the rest on the
    // next write, so such a file counts as unparseable too.
    if (!contents || contents->find('\0') != std::string::npos
        || !g_key_file_load_from_data(snapshot.keyFile.get(), contents->data(), contents->size(), loadFlags, nullptr)) {
        snapshot.keyFile.reset(g_key_file_new());
        snapshot.isCorrupt = true;
    }
    return snapshot;
}

void KeyFileUserDefaults::load(const FileIdentity& seen)
{
    // Watched before it is read, so no change after the read goes unseen.
    if (!monitorSource_)
        watch();
    hasLoaded_ = true;
    parsedObjects_.clear();
    identity_ = seen;
    isCorrupt_ = false;
    if (!seen.exists) {
        keyFile_.reset(g_key_file_new());
        return;
    }
    auto snapshot = readFile(path_);
    if (snapshot.identity.isRegular() && !snapshot.isCorrupt)
        ++parseCount_;
    identity_ = snapshot.identity;
    keyFile_ = std::move(snapshot.keyFile);
    isCorrupt_ = snapshot.isCorrupt;
    if (snapshot.identity.size > 0 && !isCorrupt_)
        knownContents_.reset(g_key_file_to_data(keyFile_.get(), nullptr, nullptr));
}

std::optional<std::string> KeyFileUserDefaults::rawValue(std::string_view key) const
{
    const std::string keyName(key);
    GMallocPtr<char> value(g_key_file_get_value(keyFile_.get(), groupName, keyName.c_str(), nullptr));
    if (!value)
        return std::nullopt;
    return std::string(value.get());
}

platform::StoredObject KeyFileUserDefaults::object(std::string_view key)
{
    refresh();
    // Parsed once per version of the file: the idle watcher reads two keys
    // four times a second.
    if (const auto parsed = parsedObjects_.find(key); parsed != parsedObjects_.end())
        return parsed->second;
    auto parsed = parse(key);
    parsedObjects_.emplace(std::string(key), parsed);
    return parsed;
}

platform::StoredObject KeyFileUserDefaults::parse(std::string_view key) const
{
    const auto raw = rawValue(key);
    if (!raw)
        return platform::StoredObject::absent();
    // GKeyFile strips the space before a value, not after; a hand-edited
    // "false  " still means false.
    const std::string_view value = trimTrailingSpace(*raw);
    if (value == "true")
        return platform::StoredObject(true);
    if (value == "false")
        return platform::StoredObject(false);
    if (!value.empty()) {
        const std::string text(value);
        char* end = nullptr;
        const double number = g_ascii_strtod(text.c_str(), &end);
        if (end != text.c_str() && *end == '\0')
            return platform::StoredObject(number);
    }
    const std::string keyName(key);
    GMallocPtr<char> unescaped(g_key_file_get_string(keyFile_.get(), groupName, keyName.c_str(), nullptr));
    return platform::StoredObject(unescaped ? std::string(unescaped.get()) : *raw);
}

double KeyFileUserDefaults::doubleValue(std::string_view key)
{
    // As NSUserDefaults: a boolean counts as 1 or 0, text as no number.
    const auto stored = object(key);
    if (const double* number = stored.number())
        return *number;
    if (const bool* boolean = stored.boolean())
        return *boolean ? 1.0 : 0.0;
    return 0.0;
}

void KeyFileUserDefaults::setBool(bool value, std::string_view key)
{
    store(key, value ? "true" : "false");
}

void KeyFileUserDefaults::setDouble(double value, std::string_view key)
{
    // The shortest text that reads back as the same double ("2", "0.5"),
    // independent of the locale.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    store(key, std::string(buffer, result.ptr));
}

void KeyFileUserDefaults::store(std::string_view key, const std::string& rawValue)
{
    refresh();
    const std::string keyName(key);
    // Kept in memory even if the file cannot be written, so this process
    // keeps seeing what it was told until the file itself changes.
    g_key_file_set_value(keyFile_.get(), groupName, keyName.c_str(), rawValue.c_str());
    parsedObjects_.erase(keyName);
    const std::string target = resolveTarget(path_);
    if (const auto failure = replace(target, key, rawValue))
        reportSaveFailure(target, *failure);
}

std::optional<std::string> KeyFileUserDefaults::replace(
    const std::string& target, std::string_view key, const std::string& rawValue)
{
    const std::string keyName(key);
    const std::string directory = directoryOf(target);
    for (int attempt = 0; attempt < maximumWriteAttempts; ++attempt) {
        // The file as it is now: another program's edit since the last read
        // is kept, only this key changes.
        Snapshot base = readFile(target);
        const FileIdentity& read = base.identity;
        if (read.exists && !read.isRegular())
            return std::string("it is not a regular file");
        if (base.isCorrupt) {
            if (!moveAside(target))
                return reasonOf(errno);
            continue;
        }
        if (read.exists && (read.mode & S_IWUSR) == 0)
            return std::string("the file is read-only");
        // An empty file is another program between truncating and writing
        // it, not a wish to drop every key: what was last seen stands in.
        if (read.exists && read.size == 0 && knownContents_)
            g_key_file_load_from_data(
                base.keyFile.get(), knownContents_.get(), static_cast<gsize>(-1), loadFlags, nullptr);
        g_key_file_set_value(base.keyFile.get(), groupName, keyName.c_str(), rawValue.c_str());
        gsize length = 0;
        GMallocPtr<char> data(g_key_file_to_data(base.keyFile.get(), &length, nullptr));

        if (g_mkdir_with_parents(directory.c_str(), 0700) != 0)
            return reasonOf(errno);
        std::string temporary = directory + "/." + baseNameOf(target) + ".XXXXXX";
        FileDescriptor fd(g_mkstemp_full(temporary.data(), O_RDWR | O_CLOEXEC, 0600));
        if (fd.get() < 0)
            return reasonOf(errno);
        struct stat written;
        const mode_t mode = read.exists ? (read.mode & 07777) : 0600;
        if (::fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), std::string_view(data.get(), length))
            || ::fsync(fd.get()) != 0 || ::fstat(fd.get(), &written) != 0) {
            const int error = errno;
            ::unlink(temporary.c_str());
            return reasonOf(error);
        }

        // Swapped in only over the very file that was read: the file swapped
        // out is checked, and put back if another program replaced the
        // file meanwhile.
        bool isReplaced = false;
        int error = 0;
        struct stat current;
        const bool isUnchanged = ::stat(target.c_str(), &current) == 0 ? identityOf(current) == read : !read.exists;
        if (!isUnchanged) {
            // Changed while this write was prepared: start again from it.
        } else if (!read.exists) {
            isReplaced = renameNoReplace(temporary, target);
            error = isReplaced ? 0 : errno;
        } else if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
            struct stat displaced;
            isReplaced = ::lstat(temporary.c_str(), &displaced) == 0 && displaced.st_dev == read.device
                && displaced.st_ino == read.inode && displaced.st_size == read.size
                && displaced.st_mtim.tv_sec == read.modified.tv_sec
                && displaced.st_mtim.tv_nsec == read.modified.tv_nsec;
            // Put back. Should yet another replacement have come in between,
            // what came back is not this write but the newest: swap again.
            if (!isReplaced && ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0
                && ::lstat(temporary.c_str(), &displaced) == 0 && displaced.st_ino != written.st_ino)
                ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE);
        } else if (errno == EINVAL || errno == ENOSYS) {
            // NOTE: no atomic exchange on this filesystem; a plain rename.
            isReplaced = ::rename(temporary.c_str(), target.c_str()) == 0;
            error = isReplaced ? 0 : errno;
        } else {
            error = errno;
        }
        ::unlink(temporary.c_str());
        // Replaced, removed or created meanwhile: read it again.
        if (!isReplaced && (error == 0 || error == EEXIST || error == ENOENT))
            continue;
        if (!isReplaced)
            return reasonOf(error);
        syncDirectory(directory);
        keyFile_ = std::move(base.keyFile);
        parsedObjects_.clear();
        knownContents_ = std::move(data);
        isCorrupt_ = false;

        // The rename touched the inode's change time. While the descriptor is
        // open the inode cannot be reused, so the same inode, size and mtime
        // mean it is still exactly what was written: remember that, and
        // neither the next read nor the kernel's notice of this write parses
        // it again.
        struct stat now;
        if (::stat(path_.c_str(), &now) == 0 && now.st_dev == written.st_dev && now.st_ino == written.st_ino
            && now.st_size == written.st_size && now.st_mtim.tv_sec == written.st_mtim.tv_sec
            && now.st_mtim.tv_nsec == written.st_mtim.tv_nsec)
            identity_ = identityOf(now);
        else
            identity_ = identityOf(written);
        hasLoaded_ = true;
        fd.close();
        if (!monitorSource_)
            watch();
        return std::nullopt;
    }
    return std::string("the file kept changing while it was written");
}

void KeyFileUserDefaults::reportSaveFailure(const std::string& target, const std::string& reason)
{
    const std::string message
        = "lullswitch: cannot save the setting in " + target + " (" + reason + "); it holds only until the agent quits";
    if (onSaveFailed_ && reportedFailures_.insert(message).second)
        onSaveFailed_(message);
}

void KeyFileUserDefaults::watch()
{
    if (monitor_.get() < 0)
        monitor_ = FileDescriptor(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (monitor_.get() < 0)
        return;
    watchedNames_.clear();
    for (const auto& file : { path_, resolveTarget(path_) }) {
        if (::inotify_add_watch(monitor_.get(), directoryOf(file).c_str(), watchedEvents) < 0) {
            // Its directory does not exist yet: a stat per read until it does.
            if (file == path_)
                return;
            continue;
        }
        watchedNames_.insert(baseNameOf(file));
    }
    if (monitorSource_)
        return;
    monitorSource_.reset(g_unix_fd_source_new(monitor_.get(), G_IO_IN));
    // Ahead of the watcher's timer, so a tick due at the same time already
    // reads the new value.
    g_source_set_priority(monitorSource_.get(), G_PRIORITY_HIGH);
    g_source_set_callback(monitorSource_.get(), G_SOURCE_FUNC(onMonitorReady), this, nullptr);
    g_source_attach(monitorSource_.get(), g_main_context_get_thread_default());
}

gboolean KeyFileUserDefaults::onMonitorReady(gint, GIOCondition, gpointer self)
{
    static_cast<KeyFileUserDefaults*>(self)->readMonitorEvents();
    return G_SOURCE_CONTINUE;
}

void KeyFileUserDefaults::readMonitorEvents()
{
    bool isRelevant = false;
    bool isDirectoryGone = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(monitor_.get(), buffer, sizeof buffer);
        if (count <= 0)
            break;
        for (ssize_t offset = 0; offset < count;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & directoryGone)
                isDirectoryGone = true;
            if ((event->mask & IN_Q_OVERFLOW) || (event->len > 0 && watchedNames_.contains(event->name)))
                isRelevant = true;
        }
    }
    if (isDirectoryGone) {
        // Back to a stat per read until the directory is there again.
        monitorSource_.reset();
        monitor_ = FileDescriptor();
        isRelevant = true;
    }
    if (!isRelevant || !reloadIfChanged())
        return;
    // A symlink may now lead elsewhere.
    watch();
    if (onExternalChange_)
        onExternalChange_();
}

} // namespace lullswitch::linux_backend
