#pragma once

#include "platform/MainLoop.h"

namespace lullswitch::platform::macos {

// Repeating timers as GCD timer sources on the main queue.
class MacMainLoop final : public MainLoop {
public:
    [[nodiscard]] TimerHandle scheduleRepeating(double intervalSeconds, std::function<void()> handler) override;
};

} // namespace lullswitch::platform::macos
