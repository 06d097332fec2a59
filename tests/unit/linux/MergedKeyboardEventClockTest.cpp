#include "platform/linux/MergedKeyboardEventClock.h"

#include "fakes/FakeKeyboardEventClock.h"

#include <gmock/gmock.h>

#include <cmath>
#include <limits>

namespace lullswitch::linux_backend {
namespace {

using platform::KeyboardEventType;
using ::testing::NanSensitiveDoubleEq;
constexpr double none = std::numeric_limits<double>::quiet_NaN();

TEST(MergedKeyboardEventClock, NewestValidReadingOfEachTypeWins)
{
    const struct {
        double first[3], second[3], merged[3];
    } cases[] = {
        { { 5, 2, 9 }, { 3, 4, none }, { 3, 2, 9 } },
        { { none, none, none }, { 1, -1, 7 }, { 1, none, 7 } },
        // Nothing can see keys (as with no source at all): never idle.
        { { none, -2, INFINITY }, { none, none, none }, { 0, 0, 0 } },
    };
    for (const auto& c : cases) {
        fakes::FakeKeyboardEventClock first, second;
        first.set(c.first[0], c.first[1], c.first[2]);
        second.set(c.second[0], c.second[1], c.second[2]);
        MergedKeyboardEventClock merged;
        merged.addSource(first);
        merged.addSource(second);
        for (const auto type :
            { KeyboardEventType::keyDown, KeyboardEventType::keyUp, KeyboardEventType::flagsChanged }) {
            EXPECT_THAT(merged.secondsSinceLastEvent(type), NanSensitiveDoubleEq(c.merged[static_cast<int>(type)]))
                << "case " << (&c - cases) << " type " << static_cast<int>(type);
        }
    }
}

} // namespace
} // namespace lullswitch::linux_backend
