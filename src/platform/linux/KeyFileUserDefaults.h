#pragma once

#include "platform/MainLoop.h"
#include "platform/UserDefaults.h"
#include "platform/linux/FileChangeMonitor.h"
#include "platform/linux/FileIdentity.h"
#include "platform/linux/GLibHandles.h"
#include "platform/linux/KeyFileReplacer.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace lullswitch::linux_backend {

// The user's preferences on Linux: one GKeyFile, group [Lullswitch], readable
// and editable by hand. It is parsed when it changes, not per read. Another
// program's change is read only when the monitor tells of it, and announced
// then: what the menu shows is always what a read returns, so a click acts
// on the value shown.
//
// A write changes only its key in the file as it is then (KeyFileReplacer).
// While another program is still writing the file, the write waits on the
// main loop and this process shows the value it was given meanwhile. A save
// that fails keeps the value in memory for this run and is reported once per
// cause; so is a file this process may not read, whose values in use stay.
//
// Stored forms: a boolean is "true" or "false"; a number is any value that
// g_ascii_strtod reads whole ("1" and "0" are numbers, as setDouble writes
// them, so "nan" and "inf" are numbers too); anything else is text. Space
// after a value is ignored. A file that is not a key file reads as empty and
// is moved aside, never overwritten, at the next write.
class KeyFileUserDefaults : public platform::UserDefaults {
public:
    static constexpr const char* groupName = "Lullswitch";
    // How often a waiting write looks again, and how many looks a file that
    // never stops changing gets before it is written all the same.
    static constexpr double retrySeconds = 0.25;
    static constexpr int maximumRetries = 12;

    enum class Problem { unreadable, unsaved };
    // Gets a one-line message naming the file and the system's reason.
    using Reporter = std::function<void(Problem problem, const std::string& message)>;
    // Seconds since the epoch, as file times count.
    using WallClock = std::function<double()>;
    struct Options {
        Reporter report;
        WallClock now;
        bool useKernelNotices = true;
    };

    // $XDG_CONFIG_HOME/lullswitch/preferences.ini, else ~/.config/lullswitch/…
    static std::string defaultPath();

    KeyFileUserDefaults(std::string path, platform::MainLoop& mainLoop, Options options);
    KeyFileUserDefaults(std::string path, platform::MainLoop& mainLoop);
    KeyFileUserDefaults(const KeyFileUserDefaults&) = delete;
    KeyFileUserDefaults& operator=(const KeyFileUserDefaults&) = delete;

    platform::StoredObject object(std::string_view key) override;
    void setBool(bool value, std::string_view key) override;
    double doubleValue(std::string_view key) override;
    void setDouble(double value, std::string_view key) override;
    void setOnExternalChange(std::function<void()> handler) override { onExternalChange_ = std::move(handler); }

    // How often the file has been parsed for a read; shows that an unchanged
    // file is not.
    std::uint64_t parseCount() const { return parseCount_; }
    bool hasKernelNotices() const { return monitor_.hasKernelNotices(); }
    // A value given is still waiting for another program's write to end.
    bool hasWaitingWrite() const { return !pending_.empty(); }

private:
    void onFileMaybeChanged();
    void loadOnce();
    // Loads the file if one stat says it changed; true when it did.
    bool reloadIfChanged();
    void reload();
    platform::StoredObject parse(std::string_view key) const;
    void store(std::string_view key, const std::string& rawValue);
    void writePending();
    bool shouldWaitFor(const KeyFileSnapshot& file) const;
    void takeWritten(KeyFileReplacer::Outcome& outcome);
    void reportOnce(Problem problem, const std::string& message);

    std::string path_;
    platform::MainLoop& mainLoop_;
    Options options_;
    std::set<std::string> reported_;
    std::function<void()> onExternalChange_;
    GKeyFilePtr keyFile_;
    // What object() returned for each key since keyFile_ last changed.
    std::map<std::string, platform::StoredObject, std::less<>> parsedObjects_;
    // The file as last read or written, and as this process last wrote it.
    FileIdentity identity_;
    FileIdentity ownWrite_;
    bool hasLoaded_ = false;
    std::uint64_t parseCount_ = 0;
    // The last contents read or written that were not empty.
    std::optional<std::string> knownContents_;
    // Values given and not yet in the file: a write waiting for the file.
    KeyFileReplacer::Values pending_;
    platform::TimerHandle retry_;
    int retries_ = 0;
    // Last: gone before anything it calls into.
    FileChangeMonitor monitor_;
};

} // namespace lullswitch::linux_backend
