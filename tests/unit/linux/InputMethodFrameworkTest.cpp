#include "platform/linux/InputMethodFramework.h"

#include <gtest/gtest.h>

#include <glib/gstdio.h>

#include <cstdlib>

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

// libibus makes the folder of its address file: with a relative
// configuration folder it would land in the working directory. In a process
// of its own, where nothing has read the folder yet. Without a bus it says
// at once that nothing will be switched.
TEST(InputMethodFrameworkTest, WithoutABusSaysSoAndLeavesTheWorkingDirectoryAlone)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto run = [] {
        const GMallocPtr<gchar> folder(g_dir_make_tmp(nullptr, nullptr));
        g_setenv("XDG_CONFIG_HOME", "relative", TRUE);
        const bool moved = g_chdir(folder.get()) == 0;
        {
            Fcitx5Presence noBus(nullptr);
            InputMethodFramework framework(noBus);
        }
        std::exit(moved && g_rmdir(folder.get()) == 0 ? 0 : 1);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "neither fcitx5 nor IBus runs");
}

} // namespace
} // namespace lullswitch::linux_backend
