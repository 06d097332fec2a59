#include "fakes/FakeMainLoop.h"

namespace lullswitch::fakes {

class FakeMainLoop::Timer final : public platform::RepeatingTimer {
public:
    Timer(std::shared_ptr<Record> record, std::vector<std::string>* log) : record_(std::move(record)), log_(log) { }
    ~Timer() override
    {
        record_->isLive = false;
        if (log_)
            log_->push_back("timer cancelled");
    }

private:
    std::shared_ptr<Record> record_;
    std::vector<std::string>* log_;
};

platform::TimerHandle FakeMainLoop::scheduleRepeating(double intervalSeconds, std::function<void()> handler)
{
    lastInterval_ = intervalSeconds;
    auto record = std::make_shared<Record>(Record { std::move(handler) });
    timers_.push_back(record);
    if (log_)
        log_->push_back("timer scheduled");
    return std::make_unique<Timer>(std::move(record), log_);
}

void FakeMainLoop::fire()
{
    // A handler may cancel timers or schedule new ones; new ones wait for the
    // next interval.
    const auto timers = timers_;
    for (const auto& record : timers) {
        if (record->isLive)
            record->handler();
    }
}

void FakeMainLoop::fire(int times)
{
    for (int i = 0; i < times; ++i)
        fire();
}

int FakeMainLoop::liveTimerCount() const
{
    int count = 0;
    for (const auto& record : timers_)
        count += record->isLive ? 1 : 0;
    return count;
}

} // namespace lullswitch::fakes
