#include "idle/IdleKeyboardWatcher.h"
#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

#include <cmath>
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
    const struct {
        std::array<double, 3> readings;
        double expected;
    } cases[] = {
        { { 5.0, -1.0, 3.0 }, 3.0 },
        { { nan, inf, 7.0 }, 7.0 },
        { { -inf, 4.0, 4.5 }, 4.0 },
        { { 1.0, 1.0, 9.0 }, 1.0 },
        { { 0.25, 0.5, 0.125 }, 0.125 },
        { { nan, -2.0, inf }, 1.7976931348623157e308 },
        { { inf, inf, inf }, 1.7976931348623157e308 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(IdleKeyboardWatcher::idleTimeFromReadings(c.readings), c.expected);
}

TEST_F(IdleKeyboardWatcherTest, StartsStoppedThenRestartStartsOneQuarterSecondTimer)
{
    EXPECT_FALSE(watcher->isRunning());
    EXPECT_EQ(platform.mainLoop.timersCreated(), 0);
    watcher->restart();
    EXPECT_TRUE(watcher->isRunning());
    EXPECT_EQ(platform.mainLoop.lastInterval(), 0.25);
    EXPECT_EQ(platform.mainLoop.liveTimerCount(), 1);
    // No event before the first interval has passed.
    EXPECT_EQ(platform.keyboardEventClock.readCount(), 0);
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
        { 0.0, 1, false }, // a key event ends the period
        { 0.25, 1, false },
        { 2.25, 2, true },
        { 2.5, 2, true },
    };
    watcher->start();
    int row = 0;
    for (const auto& event : events) {
        tickWithIdle(event.idle);
        EXPECT_EQ(idleCalls, event.idleCallsAfter) << "row " << row;
        EXPECT_EQ(watcher->hasFiredForCurrentIdlePeriod(), event.latchAfter) << "row " << row;
        ++row;
    }
}

TEST_F(IdleKeyboardWatcherTest, ReadsThreeTimesThenAsksTheDelayOnce)
{
    watcher->start();
    tickWithIdle(1.0);
    EXPECT_EQ(platform.keyboardEventClock.readCount(), 3);
    EXPECT_EQ(delayQueries, 1);
}

TEST_F(IdleKeyboardWatcherTest, UsesTheSmallestValidOfTheThreeReadings)
{
    watcher->start();
    platform.keyboardEventClock.set(5.0, 1.0, nan); // key up 1 s ago: not idle yet
    platform.mainLoop.fire();
    EXPECT_EQ(idleCalls, 0);
    platform.keyboardEventClock.set(nan, -1.0, inf); // nothing valid: counts as idle for ever
    platform.mainLoop.fire();
    platform.mainLoop.fire();
    EXPECT_EQ(idleCalls, 1);
}

TEST_F(IdleKeyboardWatcherTest, DisabledTicksTouchNothing)
{
    watcher->start();
    tickWithIdle(5.0);
    ASSERT_TRUE(watcher->hasFiredForCurrentIdlePeriod());
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

TEST_F(IdleKeyboardWatcherTest, DelayOfZeroOrLessIsReachedOncePerStart)
{
    for (double d : { 0.0, -1.0 }) {
        delay = d;
        idleCalls = 0;
        watcher->restart();
        tickWithIdle(0.0);
        tickWithIdle(0.0);
        EXPECT_EQ(idleCalls, 1) << d;
    }
}

TEST_F(IdleKeyboardWatcherTest, NaNDelayIsNeverReachedAndClearsTheLatch)
{
    watcher->start();
    tickWithIdle(5.0);
    ASSERT_TRUE(watcher->hasFiredForCurrentIdlePeriod());
    delay = nan;
    tickWithIdle(1e300);
    EXPECT_FALSE(watcher->hasFiredForCurrentIdlePeriod());
    EXPECT_EQ(idleCalls, 1);
}

TEST_F(IdleKeyboardWatcherTest, SecondStartChangesNothing)
{
    watcher->start();
    tickWithIdle(3.0);
    watcher->start();
    EXPECT_EQ(platform.mainLoop.timersCreated(), 1);
    EXPECT_EQ(platform.mainLoop.liveTimerCount(), 1);
    EXPECT_TRUE(watcher->hasFiredForCurrentIdlePeriod());
    tickWithIdle(3.0);
    EXPECT_EQ(idleCalls, 1);
}

TEST_F(IdleKeyboardWatcherTest, StopCancelsTheTimerAndClearsTheLatch)
{
    watcher->start();
    tickWithIdle(3.0);
    watcher->stop();
    EXPECT_FALSE(watcher->isRunning());
    EXPECT_FALSE(watcher->hasFiredForCurrentIdlePeriod());
    EXPECT_EQ(platform.mainLoop.liveTimerCount(), 0);
    tickWithIdle(3.0);
    EXPECT_EQ(idleCalls, 1);
    // Stop while stopped is accepted.
    watcher->stop();
    EXPECT_FALSE(watcher->isRunning());
}

TEST_F(IdleKeyboardWatcherTest, RestartClearsTheLatchSoALongIdleFiresAgain)
{
    watcher->start();
    tickWithIdle(10.0);
    watcher->restart();
    EXPECT_EQ(platform.mainLoop.timersCreated(), 2);
    EXPECT_EQ(platform.mainLoop.liveTimerCount(), 1);
    EXPECT_FALSE(watcher->hasFiredForCurrentIdlePeriod());
    tickWithIdle(10.0);
    EXPECT_EQ(idleCalls, 2);
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
    tickWithIdle(0.0);
    tickWithIdle(3.0);
    EXPECT_EQ(idleCalls, 1);
}

TEST_F(IdleKeyboardWatcherTest, CallbackMayClearOrReplaceItselfWhileRunning)
{
    int replacementCalls = 0;
    watcher->onIdle = [&] {
        ++idleCalls;
        watcher->onIdle = [&] { ++replacementCalls; };
    };
    watcher->start();
    tickWithIdle(3.0);
    tickWithIdle(0.0);
    tickWithIdle(3.0);
    EXPECT_EQ(idleCalls, 1);
    EXPECT_EQ(replacementCalls, 1);
}

TEST_F(IdleKeyboardWatcherTest, CallbackMayStopOrRestartTheWatcher)
{
    watcher->onIdle = [this] {
        ++idleCalls;
        watcher->stop();
    };
    watcher->start();
    tickWithIdle(3.0);
    EXPECT_FALSE(watcher->isRunning());
    watcher->onIdle = [this] {
        ++idleCalls;
        watcher->restart();
    };
    watcher->start();
    tickWithIdle(3.0);
    EXPECT_TRUE(watcher->isRunning());
    EXPECT_EQ(idleCalls, 2);
}

TEST_F(IdleKeyboardWatcherTest, DestructionCancelsTheTimer)
{
    watcher->start();
    watcher.reset();
    EXPECT_EQ(platform.mainLoop.liveTimerCount(), 0);
    tickWithIdle(3.0);
    EXPECT_EQ(idleCalls, 0);
}

TEST_F(IdleKeyboardWatcherTest, TimerDoesNotKeepTheWatcherAlive)
{
    watcher->start();
    std::weak_ptr<IdleKeyboardWatcher> weak = watcher;
    watcher.reset();
    EXPECT_TRUE(weak.expired());
}

TEST_F(IdleKeyboardWatcherTest, NewDelayIsSeenAtTheNextTick)
{
    watcher->start();
    tickWithIdle(2.5);
    EXPECT_EQ(idleCalls, 1);
    delay = 3.0;
    tickWithIdle(2.75); // below the new delay: the period ends
    EXPECT_FALSE(watcher->hasFiredForCurrentIdlePeriod());
    tickWithIdle(3.0);
    EXPECT_EQ(idleCalls, 2);
}

} // namespace
} // namespace lullswitch
