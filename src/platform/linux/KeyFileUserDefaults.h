#pragma once

#include "platform/UserDefaults.h"
#include "platform/linux/GLibHandles.h"

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace lullswitch::linux_backend {

// A file descriptor, closed once.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) { }
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) { }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;

    int get() const { return fd_; }
    // Reports what close says: on some filesystems a failed write shows here.
    bool close();

private:
    int fd_;
};

// The user's preferences on Linux: one GKeyFile, group [Lullswitch], readable
// and editable by hand. The kernel tells of changes to the file (inotify on
// its directory, served on the main context ahead of timers), so another
// writer's change shows at the next read without any system call per read;
// where the directory cannot be watched, one stat per read does the same.
//
// A write re-reads the file, changes only its key, and swaps the new file in
// only if the one it replaces is still the one it read: another program's
// newer edit is never put back to older contents. It writes through a
// symlink to its target, keeps the file's permission bits, and leaves a file
// whose owner may not write it alone. A save that fails keeps the value in
// memory for this run and is reported once per cause.
//
// Stored forms: a boolean is "true" or "false"; a number is any value that
// g_ascii_strtod reads whole ("1" and "0" are numbers, as setDouble writes
// them, so "nan" and "inf" are numbers too); anything else is text. Space
// after a value is ignored. A file that cannot be read or parsed reads as
// empty and is moved aside, never overwritten, at the next write.
class KeyFileUserDefaults : public platform::UserDefaults {
public:
    static constexpr const char* groupName = "Lullswitch";
    // Larger files are not ours; they read as unparseable.
    static constexpr std::int64_t maximumFileSize = 1 << 20;

    // Gets a one-line message naming the file and the system's reason.
    using SaveFailureReporter = std::function<void(const std::string& message)>;

    // $XDG_CONFIG_HOME/lullswitch/preferences.ini, else ~/.config/lullswitch/…
    static std::string defaultPath();

    explicit KeyFileUserDefaults(std::string path, SaveFailureReporter onSaveFailed = {});
    KeyFileUserDefaults(const KeyFileUserDefaults&) = delete;
    KeyFileUserDefaults& operator=(const KeyFileUserDefaults&) = delete;

    platform::StoredObject object(std::string_view key) override;
    void setBool(bool value, std::string_view key) override;
    double doubleValue(std::string_view key) override;
    void setDouble(double value, std::string_view key) override;
    void setOnExternalChange(std::function<void()> handler) override { onExternalChange_ = std::move(handler); }

    const std::string& path() const { return path_; }
    // How often the file has been parsed for a read; shows that an unchanged
    // file is not.
    std::uint64_t parseCount() const { return parseCount_; }
    // Whether the kernel reports changes (no stat per read).
    bool isMonitored() const { return static_cast<bool>(monitorSource_); }

private:
    // What one stat tells about the file, enough to see any rewrite.
    struct FileIdentity {
        bool exists = false;
        mode_t mode = 0;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified {};
        timespec changed {};
        bool operator==(const FileIdentity& other) const;
        bool isRegular() const { return exists && S_ISREG(mode); }
    };
    static FileIdentity identityOf(const struct stat& status);
    // The file as read now: what it holds, or that it is not a key file.
    struct Snapshot {
        FileIdentity identity;
        GKeyFilePtr keyFile;
        bool isCorrupt = false;
    };
    Snapshot readFile(const std::string& file) const;

    void refresh();
    // Loads the file if one stat says it changed; true when it did.
    bool reloadIfChanged();
    void load(const FileIdentity& seen);
    std::optional<std::string> rawValue(std::string_view key) const;
    platform::StoredObject parse(std::string_view key) const;
    void store(std::string_view key, const std::string& rawValue);
    // Errno-style reason of a failure, or nothing when the file was replaced.
    std::optional<std::string> replace(const std::string& target, std::string_view key, const std::string& rawValue);
    void reportSaveFailure(const std::string& target, const std::string& reason);

    void watch();
    static gboolean onMonitorReady(gint fd, GIOCondition, gpointer self);
    void readMonitorEvents();

    std::string path_;
    SaveFailureReporter onSaveFailed_;
    std::set<std::string> reportedFailures_;
    std::function<void()> onExternalChange_;
    GKeyFilePtr keyFile_;
    // What object() returned for each key since keyFile_ last changed.
    std::map<std::string, platform::StoredObject, std::less<>> parsedObjects_;
    FileIdentity identity_;
    bool hasLoaded_ = false;
    // A regular file that did not parse: moved aside before the next write.
    bool isCorrupt_ = false;
    std::uint64_t parseCount_ = 0;
    // The last contents read or written that were not empty.
    GMallocPtr<char> knownContents_;
    FileDescriptor monitor_;
    GSourcePtr monitorSource_;
    // The names watched, the file's and (through a symlink) its target's.
    std::set<std::string> watchedNames_;
};

} // namespace lullswitch::linux_backend
