#include "platform/linux/X11KeyboardEventClock.h"
#include "SessionSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace lullswitch {
namespace {

using linux_backend::X11KeyboardEventClock;
using platform::KeyboardEventType;
using namespace session_test;

// In messages, by index: 0 key down, 1 key up, 2 modifier change.
constexpr KeyboardEventType allTypes[]
    = { KeyboardEventType::keyDown, KeyboardEventType::keyUp, KeyboardEventType::flagsChanged };

class X11KeyboardEventClockTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(clock) << "no X display: run inside scripts/virtual-session"; }
    void TearDown() override
    {
        clock.reset();
        settleMainContext();
    }

    // Monotonic time of the last event of that type, as the reading gives it.
    gint64 lastEventTime(KeyboardEventType type)
    {
        return g_get_monotonic_time() - std::llround(clock->secondsSinceLastEvent(type) * G_USEC_PER_SEC);
    }

    const gint64 opened = g_get_monotonic_time();
    std::unique_ptr<X11KeyboardEventClock> clock = X11KeyboardEventClock::open();
};

// They also grow while nothing happens.
TEST_F(X11KeyboardEventClockTest, BeforeAnyEventReadingsCountFromWhenWatchingBegan)
{
    EXPECT_TRUE(clock->hasKeyEvents());
    EXPECT_TRUE(clock->hasModifierEvents());
    EXPECT_EQ(X11KeyboardEventClock::open(":65000"), nullptr);
    iterateFor(0.3);
    for (std::size_t i = 0; i < std::size(allTypes); ++i) {
        EXPECT_GE(clock->secondsSinceLastEvent(allTypes[i]), 0.3) << i;
        EXPECT_LE(clock->secondsSinceLastEvent(allTypes[i]), secondsSince(opened)) << i;
    }
}

// Row by row, in order: which readings the input moved. The last row's
// hundred keys are all taken, with nothing left for the main loop to do.
TEST_F(X11KeyboardEventClockTest, EachInputMovesItsReadingsOnly)
{
    std::vector<std::string> manyKeys { "key", "--delay", "0" };
    for (int i = 0; i < 100; ++i)
        manyKeys.push_back(i % 2 ? "x" : "y");
    const struct {
        std::vector<std::string> input;
        bool moved[3]; // down, up, modifier
    } rows[] = {
        { { "key", "a" }, { true, true, false } },
        { { "keydown", "b" }, { true, false, false } },
        { { "keyup", "b" }, { false, true, false } },
        { { "keydown", "Shift_L" }, { true, false, true } },
        { { "keyup", "Shift_L" }, { false, true, true } },
        { { "key", "ctrl+c" }, { true, true, true } },
        { { "mousemove", "10", "10", "mousemove", "600", "400", "click", "1", "click", "3", "mousedown", "2", "mouseup",
              "2", "click", "4" },
            { false, false, false } },
        { manyKeys, { true, true, false } },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input.front() + " " + row.input.back());
        iterateFor(0.01);
        const gint64 start = g_get_monotonic_time();
        std::vector<std::string> command { "xdotool" };
        command.insert(command.end(), row.input.begin(), row.input.end());
        ASSERT_EQ(run(command), 0);
        // xdotool's requests are processed once it has exited (it syncs when
        // closing), so after one round trip their events are queued here.
        clock->synchronize();
        ASSERT_TRUE(settleMainContext()) << "the X source stays ready: the main loop would spin";
        for (std::size_t i = 0; i < std::size(allTypes); ++i) {
            if (row.moved[i])
                EXPECT_GE(lastEventTime(allTypes[i]), start - 2) << i << " did not move";
            else
                EXPECT_LT(lastEventTime(allTypes[i]), start) << i << " moved";
        }
    }
    EXPECT_FALSE(g_main_context_pending(nullptr));
}

} // namespace
} // namespace lullswitch
