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

// Before any event the readings count from when watching began, and grow
// while nothing happens. Then row by row, in order: which readings the input
// moved. The last row's hundred keys are all taken, with nothing left for the
// main loop to do.
TEST(X11KeyboardEventClockTest, ReadingsCountFromTheStartAndEachInputMovesItsOwnOnly)
{
    // In messages, by index: 0 key down, 1 key up, 2 modifier change.
    constexpr KeyboardEventType types[]
        = { KeyboardEventType::keyDown, KeyboardEventType::keyUp, KeyboardEventType::flagsChanged };
    const gint64 opened = g_get_monotonic_time();
    const auto clock = X11KeyboardEventClock::open();
    ASSERT_TRUE(clock) << "no X display: run inside scripts/virtual-session";
    EXPECT_TRUE(clock->hasKeyEvents() && clock->hasModifierEvents());
    EXPECT_EQ(X11KeyboardEventClock::open(":65000"), nullptr);
    iterateFor(0.3);
    for (std::size_t i = 0; i < std::size(types); ++i) {
        EXPECT_GE(clock->secondsSinceLastEvent(types[i]), 0.3) << i;
        EXPECT_LE(clock->secondsSinceLastEvent(types[i]), secondsSince(opened)) << i;
    }

    std::vector<std::string> manyKeys { "xdotool", "key", "--delay", "0" };
    for (int i = 0; i < 100; ++i)
        manyKeys.push_back(i % 2 ? "x" : "y");
    const struct {
        std::vector<std::string> input;
        bool moved[3]; // by type
    } rows[] = {
        { { "xdotool", "keydown", "b" }, { true, false, false } },
        { { "xdotool", "keyup", "b" }, { false, true, false } },
        { { "xdotool", "keydown", "Shift_L" }, { true, false, true } },
        { { "xdotool", "keyup", "Shift_L" }, { false, true, true } },
        { { "xdotool", "mousemove", "10", "10", "mousemove", "600", "400", "click", "1", "click", "3", "mousedown", "2",
              "mouseup", "2", "click", "4" },
            { false, false, false } },
        { manyKeys, { true, true, false } },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input[1] + " " + row.input.back());
        iterateFor(0.01);
        const gint64 start = g_get_monotonic_time();
        ASSERT_EQ(run(row.input), 0);
        // xdotool's requests are processed once it has exited (it syncs when
        // closing), so after one round trip their events are queued here.
        clock->synchronize();
        ASSERT_TRUE(settleMainContext()) << "the X source stays ready: the main loop would spin";
        for (std::size_t i = 0; i < std::size(types); ++i) {
            // Monotonic time of the last event of that type, as the reading gives it.
            const gint64 last
                = g_get_monotonic_time() - std::llround(clock->secondsSinceLastEvent(types[i]) * G_USEC_PER_SEC);
            if (row.moved[i])
                EXPECT_GE(last, start - 2) << i << " did not move";
            else
                EXPECT_LT(last, start) << i << " moved";
        }
    }
    // With no round trip of the test's, the loop wakes for the server's events.
    const gint64 typed = g_get_monotonic_time();
    ASSERT_EQ(run({ "xdotool", "key", "c" }), 0);
    EXPECT_TRUE(iterateUntil([&] { return clock->secondsSinceLastEvent(types[1]) < secondsSince(typed); }, 2));
}

} // namespace
} // namespace lullswitch
