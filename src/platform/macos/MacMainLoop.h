#pragma once

#include "platform/MainLoop.h"

namespace lullswitch::macos_backend {

// Repeating timers as GCD timer sources on the main queue.
class MacMainLoop final : public platform::MainLoop {
public:
    [[nodiscard]] platform::TimerHandle scheduleRepeating(
        double intervalSeconds, std::function<void()> handler) override;
};

} // namespace lullswitch::macos_backend
