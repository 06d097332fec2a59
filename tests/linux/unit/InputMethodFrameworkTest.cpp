#include "platform/linux/InputMethodFramework.h"

#include <gtest/gtest.h>

namespace lullswitch::linux_backend {
namespace {

using Kind = InputMethodFramework::Kind;

TEST(InputMethodFrameworkTest, UsesTheOneThatRunsAndWhenBothDoTheOneTheSessionNames)
{
    const struct {
        bool fcitx5;
        bool ibus;
        const char* gtk;
        const char* qt;
        const char* xmodifiers;
        Kind expected;
    } cases[] = {
        { false, false, "ibus", nullptr, nullptr, Kind::none },
        { true, false, "ibus", "ibus", "@im=ibus", Kind::fcitx5 },
        { false, true, "fcitx", nullptr, nullptr, Kind::ibus },
        { true, true, "ibus", "fcitx", nullptr, Kind::ibus },
        { true, true, "fcitx", "ibus", nullptr, Kind::fcitx5 },
        { true, true, nullptr, "ibus", "@im=fcitx", Kind::ibus },
        { true, true, "", nullptr, "@im=ibus", Kind::ibus },
        { true, true, nullptr, nullptr, nullptr, Kind::fcitx5 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(InputMethodFramework::choose(c.fcitx5, c.ibus, c.gtk, c.qt, c.xmodifiers), c.expected)
            << "case " << (&c - cases);
}

} // namespace
} // namespace lullswitch::linux_backend
