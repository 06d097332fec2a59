#pragma once

#include <functional>
#include <memory>

namespace lullswitch::platform {

// A repeating timer on the main loop. Destroying it cancels it: once the
// destructor has returned on the main thread, the handler never runs again.
// Destroying it from inside its own handler is allowed.
class RepeatingTimer {
public:
    virtual ~RepeatingTimer() = default;
};

using TimerHandle = std::unique_ptr<RepeatingTimer>;

class MainLoop {
public:
    virtual ~MainLoop() = default;
    // First run after `intervalSeconds`, then every `intervalSeconds`, on the
    // main thread.
    [[nodiscard]] virtual TimerHandle scheduleRepeating(double intervalSeconds, std::function<void()> handler) = 0;
};

} // namespace lullswitch::platform
