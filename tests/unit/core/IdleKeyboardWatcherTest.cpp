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
        watcher = IdleKeyboardWatcher::create([this] { return delay; });
        watcher->onIdle = [this] { ++idleCalls; };
    }

    fakes::FakePlatform platform;
    double delay = 2.0;
    int idleCalls = 0;
    std::shared_ptr<IdleKeyboardWatcher> watcher;
};

TEST(IdleTimeFromReadingsTest, KeepsTheSmallestValidReading)
{
    constexpr double max = std::numeric_limits<double>::max();
    const std::pair<std::array<double, 3>, double> cases[] = { { { 5.0, -1.0, 3.0 }, 3.0 }, { { nan, inf, 7.0 }, 7.0 },
        { { -inf, 4.0, 4.5 }, 4.0 }, { { -0.0, 0.5, inf }, 0.0 }, { { nan, -2.0, inf }, max } };
    for (const auto& [readings, expected] : cases)
        EXPECT_EQ(IdleKeyboardWatcher::idleTimeFromReadings(readings), expected);
}

// The latch, event by event: each row is one timer event. While switched off
// an event returns before reading the clocks (or the delay) and leaves the
// latch.
TEST_F(IdleKeyboardWatcherTest, FiresOncePerIdlePeriod)
{
    const struct {
        bool isEnabled;
        double delay, idle;
        int idleCallsAfter;
        bool latchAfter;
    } events[] = {
        { true, 2.0, 1.9, 0, false }, { true, 2.0, 2.0, 1, true }, // exactly the delay counts as reached
        { true, 2.0, 60.0, 1, true }, { false, 2.0, 0.0, 1, true },
        { true, 2.0, 1.5, 1, false }, // below the delay: the period has ended
        { true, 2.0, 2.25, 2, true }, { true, 5.0, 4.0, 2, false }, // the delay is asked afresh
        { false, 2.0, 9.0, 2, false }, { true, 0.0, 0.0, 3, true }, // a delay of zero or less is always reached
        { true, -1.0, 0.0, 3, true }, { true, nan, 1e300, 3, false }, // a NaN delay never is
    };
    watcher->start();
    for (const auto& event : events) {
        platform.userDefaults.put("isEnabled", event.isEnabled);
        delay = event.delay;
        platform.tick(event.idle);
        EXPECT_EQ(idleCalls, event.idleCallsAfter) << "row " << (&event - events);
        EXPECT_EQ(watcher->hasFiredForCurrentIdlePeriod(), event.latchAfter) << "row " << (&event - events);
    }
    EXPECT_EQ(platform.keyboardEventClock.readCount(), 3 * 9);
    // Every reading counts: a key let go a second ago is not idle.
    platform.keyboardEventClock.set(9.0, 1.0, 9.0);
    delay = 2.0;
    platform.mainLoop.fire();
    EXPECT_EQ(idleCalls, 3);
}

TEST_F(IdleKeyboardWatcherTest, StartStopRestartAndDestruction)
{
    watcher->restart(); // starts a stopped watcher
    EXPECT_EQ(platform.mainLoop.lastInterval(), 0.25);
    EXPECT_EQ(platform.keyboardEventClock.readCount(), 0); // nothing before the first interval
    platform.tick(3.0);
    watcher->start(); // changes nothing
    EXPECT_EQ(platform.mainLoop.timersCreated(), 1);
    EXPECT_TRUE(watcher->hasFiredForCurrentIdlePeriod());
    watcher->restart(); // a new timer and a clear latch
    EXPECT_EQ(platform.mainLoop.timersCreated(), 2);
    EXPECT_FALSE(watcher->hasFiredForCurrentIdlePeriod());
    platform.tick(3.0);
    EXPECT_EQ(idleCalls, 2);
    watcher->stop();
    watcher->stop(); // also when stopped
    EXPECT_FALSE(watcher->hasFiredForCurrentIdlePeriod());
    EXPECT_EQ(platform.mainLoop.liveTimerCount(), 0);
    // The timer does not keep the watcher alive.
    watcher->start();
    const std::weak_ptr<IdleKeyboardWatcher> weak = watcher;
    watcher.reset();
    EXPECT_TRUE(weak.expired());
}

TEST_F(IdleKeyboardWatcherTest, CallbackMayBeEmptyReplaceItselfOrStopOrRestartTheWatcher)
{
    watcher->onIdle = nullptr;
    watcher->start();
    platform.tick(3.0);
    EXPECT_TRUE(watcher->hasFiredForCurrentIdlePeriod());
    int replacementCalls = 0;
    watcher->onIdle = [&] { watcher->onIdle = [&] { ++replacementCalls; }; };
    for (double idle : { 3.0, 0.0, 3.0, 0.0, 3.0 }) // latched at first
        platform.tick(idle);
    EXPECT_EQ(replacementCalls, 1);
    for (bool restart : { true, false }) {
        watcher->onIdle = [&] { restart ? watcher->restart() : watcher->stop(); };
        platform.tick(0.0);
        platform.tick(3.0);
        EXPECT_EQ(watcher->isRunning(), restart);
        // Latched before the callback ran: a restart inside it starts afresh.
        EXPECT_FALSE(watcher->hasFiredForCurrentIdlePeriod());
    }
}

} // namespace
} // namespace lullswitch
