#pragma once

#include "platform/MainLoop.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lullswitch::fakes {

// A main loop whose timers run only when a test fires them.
class FakeMainLoop final : public platform::MainLoop {
public:
    explicit FakeMainLoop(std::vector<std::string>* log = nullptr) : log_(log) { }

    platform::TimerHandle scheduleRepeating(double intervalSeconds, std::function<void()> handler) override;

    // One timer event for every live timer, as after one interval.
    void fire();
    void fire(int times);
    int liveTimerCount() const;
    int timersCreated() const { return static_cast<int>(timers_.size()); }
    double lastInterval() const { return lastInterval_; }

private:
    struct Record {
        std::function<void()> handler;
        bool isLive = true;
    };
    class Timer;

    std::vector<std::shared_ptr<Record>> timers_;
    std::vector<std::string>* log_;
    double lastInterval_ = 0.0;
};

} // namespace lullswitch::fakes
