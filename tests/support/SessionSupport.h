#pragma once

// Helpers for tests that run inside scripts/virtual-session: its X display,
// its private session bus and its fcitx5.

#include "platform/linux/GLibHandles.h"

#include <functional>
#include <optional>
#include <string>
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

// A running lullswitch_test_ic: a focused input context for as long as it
// lives. Stopped with SIGTERM on destruction.
class InputContextHolder {
public:
    InputContextHolder();
    ~InputContextHolder();
    InputContextHolder(const InputContextHolder&) = delete;
    InputContextHolder& operator=(const InputContextHolder&) = delete;

    // fcitx5 reports an input method for the focused context.
    bool waitUntilFocused(double seconds = 5.0);

private:
    GPid pid_ = 0;
};

} // namespace lullswitch::session_test
