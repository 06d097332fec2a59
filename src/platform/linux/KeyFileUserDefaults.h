#pragma once

#include "platform/UserDefaults.h"
#include "platform/linux/GLibHandles.h"

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lullswitch::linux_backend {

// The user's preferences on Linux: one GKeyFile, group [Lullswitch], readable
// and editable by hand. Another writer's change shows at the next read; the
// file is parsed again only when one stat says it changed. Writes replace the
// file atomically, so a crash leaves the old or the new file, never a torn one.
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

    // $XDG_CONFIG_HOME/lullswitch/preferences.ini, else ~/.config/lullswitch/…
    static std::string defaultPath();

    explicit KeyFileUserDefaults(std::string path);
    KeyFileUserDefaults(const KeyFileUserDefaults&) = delete;
    KeyFileUserDefaults& operator=(const KeyFileUserDefaults&) = delete;

    platform::StoredObject object(std::string_view key) override;
    void setBool(bool value, std::string_view key) override;
    double doubleValue(std::string_view key) override;
    void setDouble(double value, std::string_view key) override;

    const std::string& path() const { return path_; }
    // How often the file has been parsed; shows that an unchanged file is not.
    std::uint64_t parseCount() const { return parseCount_; }

private:
    // What one stat tells about the file, enough to see any rewrite.
    struct FileIdentity {
        bool exists = false;
        mode_t type = 0;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified {};
        timespec changed {};
        bool operator==(const FileIdentity& other) const;
    };
    static FileIdentity identityOf(const struct stat& status);

    void refresh();
    void load(const FileIdentity& seen);
    std::optional<std::string> rawValue(std::string_view key);
    void store(std::string_view key, const std::string& rawValue);
    bool moveAside(const std::string& target);
    bool writeFile(const std::string& target, std::string_view contents);

    std::string path_;
    GKeyFilePtr keyFile_;
    FileIdentity identity_;
    bool hasLoaded_ = false;
    // A regular file that did not parse: moved aside before the next write.
    bool isCorrupt_ = false;
    std::uint64_t parseCount_ = 0;
};

} // namespace lullswitch::linux_backend
