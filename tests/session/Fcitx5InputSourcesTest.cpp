#include "platform/linux/Fcitx5InputSources.h"
#include "SessionBus.h"
#include "SessionSupport.h"
#include "contract/InputSourceServicesContract.h"
#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

namespace lullswitch {
namespace {

using linux_backend::Fcitx5InputSources;
using linux_backend::GMallocPtr;
using namespace session_test;
using namespace contract;

// The real fcitx5 of the session, installed as the platform's input sources
// (every other service is a fake), with a focused input context on the test
// group [keyboard-us, anthy].
class Fcitx5Driver {
public:
    Fcitx5Driver()
    {
        if (!fcitxIsOnBus())
            controlFcitx("start");
        holder_.emplace();
        holder_->waitUntilFocused();
    }

    ~Fcitx5Driver()
    {
        holder_.reset();
        controlFcitx(fcitxIsOnBus() ? "resume" : "start");
        // Lets GLib finish with the backend's name watch.
        iterateFor(0.05);
    }

    platform::InputSourceServices& services() { return sources; }
    std::string layoutId() const { return "keyboard-us"; }
    std::string imeId() const { return "anthy"; }
    void arrangeLayoutThenIme()
    {
        ASSERT_TRUE(holder_->waitUntilFocused()) << "fcitx5 reports no input method for the focused context";
        setCurrent("anthy");
    }
    void setCurrent(const std::string& name)
    {
        ASSERT_TRUE(fcitxSetCurrentInputMethod(name));
        ASSERT_EQ(fcitxCurrentInputMethod(), name);
    }
    std::optional<std::string> currentAsThePlatformSaysIt() { return fcitxCurrentInputMethod(); }
    void makeUnavailable() { ASSERT_TRUE(controlFcitx("stop")); }
    void dropInputContext() { holder_.reset(); }

    fakes::FakePlatform fakes;
    Fcitx5InputSources sources { sessionBus() };

private:
    platform::Platform platform_ { fakes.userDefaults, fakes.keyboardEventClock, fakes.mainLoop, sources,
        fakes.statusBar, fakes.application };
    platform::ScopedPlatform installed_ { platform_ };
    std::optional<InputContextHolder> holder_;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Fcitx5, InputSourceServicesContract, Fcitx5Driver);

class Fcitx5InputSourcesTest : public ::testing::Test {
protected:
    Fcitx5InputSources& sources() { return driver.sources; }
    std::optional<std::string> current() { return sources().identifier(sources().copyCurrentKeyboardInputSource()); }

    Fcitx5Driver driver;
};

// The user replaces anthy by a layout with a variant between two calls.
// Without an input context there is no current source, but still the group.
TEST_F(Fcitx5InputSourcesTest, ASourceOutsideTheGroupIsNotSelectedAndNoContextHasNoSource)
{
    driver.setCurrent("keyboard-us");
    const auto before = sources().createEnabledInputSourceList();
    ASSERT_TRUE(before && before->size() == 2u);
    ASSERT_TRUE(callController("SetInputMethodGroupInfo",
        g_variant_new_parsed("('Default', 'us', [('keyboard-us', ''), ('keyboard-us-dvorak', '')])")));
    EXPECT_NE(sources().select((*before)[1]), 0);
    EXPECT_EQ(fcitxCurrentInputMethod(), "keyboard-us");

    driver.dropInputContext();
    ASSERT_TRUE(iterateUntil([] { return fcitxCurrentInputMethod() == ""; }, 5.0));
    EXPECT_FALSE(sources().copyCurrentKeyboardInputSource());
    const auto after = sources().createEnabledInputSourceList();
    ASSERT_TRUE(after && after->size() == 2u);
    EXPECT_EQ(sources().identifier((*after)[1]), "keyboard-us-dvorak");
    EXPECT_EQ(sources().flag((*after)[1], platform::InputSourceFlag::isASCIICapable), true);
    // Back to the test profile for the tests that follow.
    ASSERT_TRUE(controlFcitx("restart"));
}

// Hung, fcitx5 costs one call's timeout (well short of GLib's default of
// 25 s), and then calls fail at once for a while. Killed, calls fail at once,
// before the name watch has seen it go and after. Back, it is used again.
TEST_F(Fcitx5InputSourcesTest, AHungOrKilledFcitxCostsOneTimeoutAtMostAndIsUsedAgainWhenBack)
{
    driver.setCurrent("anthy");
    const auto list = sources().createEnabledInputSourceList();
    ASSERT_TRUE(list && list->size() == 2u);
    ASSERT_TRUE(controlFcitx("pause"));
    gint64 start = g_get_monotonic_time();
    EXPECT_FALSE(sources().copyCurrentKeyboardInputSource());
    EXPECT_GE(secondsSince(start), 0.4);
    EXPECT_LT(secondsSince(start), 1.5);
    start = g_get_monotonic_time();
    EXPECT_FALSE(sources().createEnabledInputSourceList());
    EXPECT_NE(sources().select((*list)[0]), 0);
    EXPECT_LT(secondsSince(start), 0.25);
    ASSERT_TRUE(controlFcitx("resume"));
    EXPECT_TRUE(iterateUntil([&] { return current() == "anthy"; }, 5.0));

    ASSERT_TRUE(controlFcitx("kill"));
    for (int round = 0; round < 2; ++round) {
        start = g_get_monotonic_time();
        EXPECT_FALSE(sources().copyCurrentKeyboardInputSource());
        EXPECT_NE(sources().select((*list)[0]), 0);
        EXPECT_LT(secondsSince(start), 0.25);
        ASSERT_TRUE(iterateUntil([&] { return !sources().isFcitxOnBus(); }, 5.0));
    }
    ASSERT_TRUE(controlFcitx("start"));
    EXPECT_TRUE(iterateUntil([&] { return current() == "keyboard-us"; }, 10.0));
}

// On a bus of the test's own where fcitx5 is D-Bus activatable (starting it
// only leaves a marker file), no call starts it.
TEST(Fcitx5InputSourcesActivation, NoCallStartsFcitx)
{
    EXPECT_FALSE(Fcitx5InputSources(nullptr).createEnabledInputSourceList()) << "no bus at all";
    const GMallocPtr<gchar> made(g_dir_make_tmp("lullswitch-activation-XXXXXX", nullptr));
    const std::string dir = made.get(), marker = dir + "/started";
    std::ofstream(dir + "/org.fcitx.Fcitx5.service")
        << "[D-BUS Service]\nName=org.fcitx.Fcitx5\nExec=/usr/bin/touch " << marker << "\n";
    std::ofstream(dir + "/bus.conf") << "<busconfig><type>session</type><listen>unix:path=" << dir
                                     << "/bus</listen><auth>EXTERNAL</auth><servicedir>" << dir
                                     << "</servicedir><limit name=\"service_start_timeout\">1000</limit>"
                                        "<policy context=\"default\"><allow send_destination=\"*\"/>"
                                        "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n";
    gchar* pid = nullptr;
    ASSERT_TRUE(g_spawn_command_line_sync(("dbus-daemon --fork --print-pid --config-file=" + dir + "/bus.conf").c_str(),
        &pid, nullptr, nullptr, nullptr));
    // Stopped, and its folder removed, however the test ends.
    const auto stop = [&](gchar* printed) {
        ::kill(std::atoi(printed), SIGTERM);
        run({ "rm", "-rf", dir });
        g_free(printed);
    };
    const std::unique_ptr<gchar, decltype(stop)> daemon(pid, stop);
    const auto bus = connectTo(("unix:path=" + dir + "/bus").c_str());
    ASSERT_TRUE(bus);
    {
        Fcitx5InputSources sources(bus.get());
        EXPECT_FALSE(sources.copyCurrentKeyboardInputSource());
        iterateFor(0.3);
    }
    EXPECT_FALSE(g_file_test(marker.c_str(), G_FILE_TEST_EXISTS));

    // The same call that may start its destination does: the bus shows it.
    linux_backend::GVariantPtr(
        g_dbus_connection_call_sync(bus.get(), "org.fcitx.Fcitx5", "/controller", "org.fcitx.Fcitx.Controller1",
            "CurrentInputMethod", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, nullptr));
    EXPECT_TRUE(g_file_test(marker.c_str(), G_FILE_TEST_EXISTS));
}

} // namespace
} // namespace lullswitch
