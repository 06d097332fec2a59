#pragma once

#include "platform/MainLoop.h"

namespace lullswitch::linux_backend {

// Timers as GLib timeout sources on the thread-default main context (the
// global default unless a test pushes its own), dispatched by whoever
// iterates it: the application's main loop.
class GLibMainLoop : public platform::MainLoop {
public:
    [[nodiscard]] platform::TimerHandle scheduleRepeating(
        double intervalSeconds, std::function<void()> handler) override;
};

} // namespace lullswitch::linux_backend
