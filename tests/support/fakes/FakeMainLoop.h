#pragma once

#include "platform/MainLoop.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lullswitch::fakes {

// A main loop whose timers run only when a test fires them.
class FakeMainLoop final : public platform::MainLoop {
public:
    explicit FakeMainLoop(std::vector<std::string>& log) : log_(log) { }

    platform::TimerHandle scheduleRepeating(double intervalSeconds, std::function<void()> handler) override
    {
        lastInterval_ = intervalSeconds;
        timers_.push_back(std::make_shared<std::function<void()>>(std::move(handler)));
        log_.push_back("timer scheduled");
        return std::make_unique<Timer>(timers_.back(), log_);
    }

    // One timer event for every live timer, as after one interval. A handler
    // may cancel timers or schedule new ones; new ones wait for the next.
    // Each runs from a copy, as it may cancel its own timer.
    void fire()
    {
        for (const auto& handler : std::vector(timers_))
            if (auto run = *handler)
                run();
    }
    int liveTimerCount() const
    {
        return static_cast<int>(std::ranges::count_if(timers_, [](auto& h) { return *h != nullptr; }));
    }
    int timersCreated() const { return static_cast<int>(timers_.size()); }
    double lastInterval() const { return lastInterval_; }

private:
    // Cancelling empties the handler.
    struct Timer final : platform::RepeatingTimer {
        Timer(std::shared_ptr<std::function<void()>> h, std::vector<std::string>& l) : handler(std::move(h)), log(l) { }
        ~Timer() override
        {
            *handler = nullptr;
            log.push_back("timer cancelled");
        }
        std::shared_ptr<std::function<void()>> handler;
        std::vector<std::string>& log;
    };

    std::vector<std::shared_ptr<std::function<void()>>> timers_;
    std::vector<std::string>& log_;
    double lastInterval_ = 0.0;
};

} // namespace lullswitch::fakes
