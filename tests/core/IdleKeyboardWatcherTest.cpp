#include "idle/IdleKeyboardWatcher.h"
#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

#include <limits>

namespace lullswitch {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

class IdleKeyboardWatcherTest : public ::testing::Test {
protected:
    IdleKeyboardWatcherTest()
    {
        watcher = IdleKeyboardWatcher::create([this] {
            ++delayQueries;
            return delay;
        });
        watcher->onIdle = [this] { ++idleCalls; };
    }

    void tickWithIdle(double seconds)
    {
        platform.keyboardEventClock.setIdle(seconds);
        platform.mainLoop.fire();
    }

    fakes::FakePlatform platform;
    double delay = 2.0;
    int delayQueries = 0;
    int idleCalls = 0;
    std::shared_ptr<IdleKeyboardWatcher> watcher;
};

TEST(IdleTimeFromReadingsTest, KeepsTheSmallestValidReading)
{
    constexpr double max = std::numeric_limits<double>::max();
    const std::pair<std::array<double, 3>, double> cases[] = { { { 5.0, -1.0, 3.0 }, 3.0 }, { { nan, inf, 7.0 }, 7.0 },
        { { -inf, 4.0, 4.5 }, 4.0 }, { { 1.0, 1.0, 9.0 }, 1.0 }, { { 0.25, 0.5, 0.125 }, 0.125 },
        { { nan, -2.0, inf }, max }, { { inf, inf, inf }, max } };
    for (const auto& [readings, expected] : cases)
        EXPECT_EQ(IdleKeyboardWatcher::idleTimeFromReadings(readings), expected);
}

TEST_F(IdleKeyboardWatcherTest, RestartStartsOneQuarterSecondTimer)
{
    EXPECT_FALSE(watcher->isRunning());
    watcher->restart();
    EXPECT_TRUE(watcher->isRunning());
    EXPECT_EQ(platform.mainLoop.lastInterval(), 0.25);
    EXPECT_EQ(platform.mainLoop.liveTimerCount(), 1);
    EXPECT_EQ(platform.keyboardEventClock.readCount(), 0); // nothing before the first interval
}

// The latch, event by event: each row is one timer event.
TEST_F(IdleKeyboardWatcherTest, FiresOncePerIdlePeriod)
{
    const struct {
        double idle;
        int idleCallsAfter;
        bool latchAfter;
    } events[] = {
        { 0.5, 0, false },
        { 1.9, 0, false },
        { 2.0, 1, true }, // exactly the delay counts as reached
        { 2.5, 1, true },
        { 60.0, 1, true },
        { 1.5, 1, false }, // below the delay: the period has ended
        { 0.25, 1, false },
        { 2.25, 2, true },
        { 2.5, 2, true },
    };
    watcher->start();
    for (const auto& event : events) {
        tickWithIdle(event.idle);
        EXPECT_EQ(idleCalls, event.idleCallsAfter) << "row " << (&event - events);
        EXPECT_EQ(watcher->hasFiredForCurrentIdlePeriod(), event.latchAfter) << "row " << (&event - events);
    }
}

TEST_F(IdleKeyboardWatcherTest, EachTickReadsAllThreeClocksAndTheDelayOnce)
{
    watcher->start();
    platform.keyboardEventClock.set(5.0, 1.0, nan); // key up 1 s ago: not idle yet
    platform.mainLoop.fire();
    EXPECT_EQ(idleCalls, 0);
    EXPECT_EQ(platform.keyboardEventClock.readCount(), 3);
    EXPECT_EQ(delayQueries, 1);
    platform.keyboardEventClock.set(nan, -1.0, inf); // nothing valid: idle for ever
    platform.mainLoop.fire();
    EXPECT_EQ(idleCalls, 1);
}

TEST_F(IdleKeyboardWatcherTest, DisabledTicksTouchNothing)
{
    watcher->start();
    tickWithIdle(5.0);
    platform.userDefaults.put("isEnabled", false);
    const int reads = platform.keyboardEventClock.readCount();
    tickWithIdle(0.0);
    tickWithIdle(9.0);
    EXPECT_EQ(platform.keyboardEventClock.readCount(), reads);
    EXPECT_EQ(delayQueries, 1);
    EXPECT_EQ(idleCalls, 1);
    EXPECT_TRUE(watcher->hasFiredForCurrentIdlePeriod());
    EXPECT_TRUE(watcher->isRunning());
}

TEST_F(IdleKeyboardWatcherTest, OddDelays)
{
    for (double d : { 0.0, -1.0 }) { // reached once per start
        delay = d;
        idleCalls = 0;
        watcher->restart();
        tickWithIdle(0.0);
        tickWithIdle(0.0);
        EXPECT_EQ(idleCalls, 1) << d;
    }
    delay = nan; // never reached, and clears the latch
    tickWithIdle(1e300);
    EXPECT_FALSE(watcher->hasFiredForCurrentIdlePeriod());
    EXPECT_EQ(idleCalls, 1);
}

TEST_F(IdleKeyboardWatcherTest, StartStopAndRestart)
{
    watcher->start();
    tickWithIdle(3.0);
    watcher->start(); // changes nothing
    EXPECT_EQ(platform.mainLoop.timersCreated(), 1);
    EXPECT_TRUE(watcher->hasFiredForCurrentIdlePeriod());
    watcher->restart(); // a new timer and a clear latch
    EXPECT_EQ(platform.mainLoop.timersCreated(), 2);
    EXPECT_EQ(platform.mainLoop.liveTimerCount(), 1);
    EXPECT_FALSE(watcher->hasFiredForCurrentIdlePeriod());
    tickWithIdle(3.0);
    EXPECT_EQ(idleCalls, 2);
    for (int i = 0; i < 2; ++i) { // stop, also when stopped
        watcher->stop();
        EXPECT_FALSE(watcher->isRunning());
        EXPECT_FALSE(watcher->hasFiredForCurrentIdlePeriod());
        EXPECT_EQ(platform.mainLoop.liveTimerCount(), 0);
    }
}

TEST_F(IdleKeyboardWatcherTest, LatchIsSetEvenWithoutACallback)
{
    watcher->onIdle = nullptr;
    watcher->start();
    tickWithIdle(3.0);
    EXPECT_TRUE(watcher->hasFiredForCurrentIdlePeriod());
    watcher->onIdle = [this] { ++idleCalls; };
    tickWithIdle(3.0);
    EXPECT_EQ(idleCalls, 0);
}

TEST_F(IdleKeyboardWatcherTest, CallbackMayReplaceItselfOrStopOrRestartTheWatcher)
{
    int replacementCalls = 0;
    watcher->onIdle = [&] { watcher->onIdle = [&] { ++replacementCalls; }; };
    watcher->start();
    tickWithIdle(3.0);
    tickWithIdle(0.0);
    tickWithIdle(3.0);
    EXPECT_EQ(replacementCalls, 1);
    watcher->onIdle = [this] { watcher->stop(); };
    tickWithIdle(0.0);
    tickWithIdle(3.0);
    EXPECT_FALSE(watcher->isRunning());
    watcher->onIdle = [this] {
        ++idleCalls;
        watcher->restart();
    };
    watcher->start();
    tickWithIdle(3.0);
    EXPECT_TRUE(watcher->isRunning());
    EXPECT_EQ(idleCalls, 1);
}

TEST_F(IdleKeyboardWatcherTest, DestructionCancelsTheTimerWhichDoesNotKeepTheWatcherAlive)
{
    watcher->start();
    std::weak_ptr<IdleKeyboardWatcher> weak = watcher;
    watcher.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(platform.mainLoop.liveTimerCount(), 0);
}

} // namespace
} // namespace lullswitch
