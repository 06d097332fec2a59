#pragma once

// Helpers for tests that run inside scripts/virtual-session: its X display,
// its private session bus and its fcitx5.

#include "platform/linux/GLibHandles.h"

#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lullswitch::session_test {

// Runs a program (searched in PATH, no shell) to its end; its exit status,
// or -1 when it could not run or did not exit normally.
int run(const std::vector<std::string>& argv);

// Runs the session's fcitx5 control script (start, stop, kill, restart,
// pause, resume); true on success.
bool controlFcitx(const char* command);

// Iterates the default main context until `condition` holds or `seconds`
// have passed; whether the condition held.
bool iterateUntil(const std::function<bool()>& condition, double seconds);
// Iterates the default main context for `seconds`.
void iterateFor(double seconds);
// Dispatches what is ready on the default main context; false if it never
// ran out of ready sources (a source that is always ready).
bool settleMainContext();

double secondsSince(gint64 monotonicStart);

// The test process's connection to the session bus.
GDBusConnection* sessionBus();

// fcitx5's controller, asked from the test's own connection: any call (null
// when it failed), and the ones tests make most.
linux_backend::GVariantPtr callController(
    const char* method, GVariant* parameters = nullptr, const char* replyType = nullptr);
std::optional<std::string> fcitxCurrentInputMethod();
bool fcitxSetCurrentInputMethod(const std::string& name);
bool fcitxIsOnBus();

// A program (searched in PATH) running in the background, with some
// environment variables set (a value of nullopt unsets one) and its output
// dropped; on destruction sent `stopSignal` and waited for.
class ChildProcess {
public:
    using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;

    explicit ChildProcess(
        const std::vector<std::string>& argv, const Environment& environment = {}, int stopSignal = SIGKILL);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    GPid pid() const { return pid_; }
    void signal(int number) const;
    // The exit status once it has exited on its own, -1 when killed by a
    // signal; nothing when it still runs after `seconds`.
    std::optional<int> waitForExit(double seconds);

private:
    GPid pid_ = 0;
    int stopSignal_;
    std::optional<int> status_;
};

// A running lullswitch_test_ic: a focused input context for as long as it
// lives.
class InputContextHolder : public ChildProcess {
public:
    InputContextHolder();
    // fcitx5 reports an input method for the focused context.
    bool waitUntilFocused(double seconds = 5.0);
};

} // namespace lullswitch::session_test
