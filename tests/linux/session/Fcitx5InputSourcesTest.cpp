#include "platform/linux/Fcitx5InputSources.h"
#include "SessionBus.h"
#include "SessionSupport.h"
#include "contract/InputSourceServicesContract.h"
#include "fakes/FakePlatform.h"
#include "input_source/InputSourceSwitcher.h"

#include <gtest/gtest.h>

#include <glib/gstdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <optional>
#include <string>

namespace lullswitch {
namespace {

using linux_backend::Fcitx5InputSources;
using linux_backend::GObjectPtr;
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
        isReady_ = holder_->waitUntilFocused();
    }

    ~Fcitx5Driver()
    {
        holder_.reset();
        if (!fcitxIsOnBus() || isPaused_)
            controlFcitx(isPaused_ ? "resume" : "start");
        // Lets GLib finish with the backend's name watch.
        iterateFor(0.05);
    }

    Fcitx5Driver(const Fcitx5Driver&) = delete;
    Fcitx5Driver& operator=(const Fcitx5Driver&) = delete;

    platform::InputSourceServices& services() { return sources; }
    std::string layoutId() const { return "keyboard-us"; }
    std::string imeId() const { return "anthy"; }

    void arrangeLayoutThenIme()
    {
        ASSERT_TRUE(isReady_) << "fcitx5 reports no input method for the focused context";
        setCurrent("anthy");
    }

    void setCurrent(const std::string& name)
    {
        ASSERT_TRUE(fcitxSetCurrentInputMethod(name));
        ASSERT_EQ(fcitxCurrentInputMethod(), name);
    }

    std::optional<std::string> currentAsThePlatformSaysIt() { return fcitxCurrentInputMethod(); }

    void makeUnavailable() { ASSERT_TRUE(controlFcitx("stop")); }
    void pauseOrResume(bool pause)
    {
        ASSERT_TRUE(controlFcitx(pause ? "pause" : "resume"));
        isPaused_ = pause;
    }
    void dropInputContext() { holder_.reset(); }

    fakes::FakePlatform fakes;
    Fcitx5InputSources sources { sessionBus() };

private:
    platform::Platform platform_ { fakes.userDefaults, fakes.keyboardEventClock, fakes.mainLoop, sources,
        fakes.statusBar, fakes.application };
    platform::ScopedPlatform installed_ { platform_ };
    std::optional<InputContextHolder> holder_;
    bool isReady_ = false;
    bool isPaused_ = false;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Fcitx5, InputSourceServicesContract, Fcitx5Driver);

class Fcitx5InputSourcesTest : public ::testing::Test {
protected:
    std::optional<std::string> currentIdentifier()
    {
        return sources().identifier(sources().copyCurrentKeyboardInputSource());
    }
    Fcitx5InputSources& sources() { return driver.sources; }

    Fcitx5Driver driver;
};

TEST_F(Fcitx5InputSourcesTest, WithoutAnInputContextThereIsNoCurrentSource)
{
    driver.dropInputContext();
    ASSERT_TRUE(iterateUntil([] { return fcitxCurrentInputMethod() == ""; }, 5.0));
    EXPECT_FALSE(sources().copyCurrentKeyboardInputSource());
    // The group is still there.
    const auto list = sources().createEnabledInputSourceList();
    ASSERT_TRUE(list);
    EXPECT_EQ(list->size(), 2u);
}

TEST_F(Fcitx5InputSourcesTest, ASourceOutsideTheGroupIsNotSelected)
{
    driver.setCurrent("keyboard-us");
    const auto before = sources().createEnabledInputSourceList();
    ASSERT_TRUE(before && before->size() == 2u);
    const platform::InputSourceRef anthy = (*before)[1];

    // The user takes anthy out of the group between two calls.
    GVariantBuilder entries;
    g_variant_builder_init(&entries, G_VARIANT_TYPE("a(ss)"));
    g_variant_builder_add(&entries, "(ss)", "keyboard-us", "");
    g_variant_builder_add(&entries, "(ss)", "keyboard-jp", "");
    ASSERT_TRUE(callOn(sessionBus(), "org.fcitx.Fcitx5", "/controller", "org.fcitx.Fcitx.Controller1",
        "SetInputMethodGroupInfo", g_variant_new("(ssa(ss))", "Default", "us", &entries)));

    EXPECT_NE(sources().select(anthy), 0);
    EXPECT_EQ(fcitxCurrentInputMethod(), "keyboard-us");
    const auto after = sources().createEnabledInputSourceList();
    ASSERT_TRUE(after && after->size() == 2u);
    EXPECT_EQ(sources().identifier((*after)[1]), "keyboard-jp");
    EXPECT_EQ(sources().flag((*after)[1], platform::InputSourceFlag::isASCIICapable), true);
    EXPECT_EQ(sources().select((*after)[1]), 0);
    EXPECT_EQ(fcitxCurrentInputMethod(), "keyboard-jp");

    // Back to the test profile for the tests that follow.
    driver.dropInputContext();
    ASSERT_TRUE(controlFcitx("restart"));
}

TEST_F(Fcitx5InputSourcesTest, KilledFcitxGivesNoSourceAndNoListAtOnce)
{
    driver.setCurrent("anthy");
    const auto list = sources().createEnabledInputSourceList();
    ASSERT_TRUE(list && list->size() == 2u);
    ASSERT_TRUE(controlFcitx("kill"));

    // Before the name watch has seen it go, and after.
    for (int round = 0; round < 2; ++round) {
        const gint64 start = g_get_monotonic_time();
        EXPECT_FALSE(sources().copyCurrentKeyboardInputSource());
        EXPECT_FALSE(sources().createEnabledInputSourceList());
        EXPECT_NE(sources().select((*list)[0]), 0);
        EXPECT_FALSE(InputSourceSwitcher().isJapaneseInputActive());
        InputSourceSwitcher().switchToEisu();
        EXPECT_LT(secondsSince(start), Fcitx5InputSources::callTimeoutMs / 1000.0);
        ASSERT_TRUE(iterateUntil([&] { return !sources().isFcitxOnBus(); }, 5.0));
    }

    // That a started one is picked up again, sway-e2e shows.
}

TEST_F(Fcitx5InputSourcesTest, AHungFcitxCostsOneTimeoutAtMost)
{
    driver.setCurrent("anthy");
    driver.pauseOrResume(true);

    gint64 start = g_get_monotonic_time();
    EXPECT_FALSE(sources().copyCurrentKeyboardInputSource());
    const double firstCall = secondsSince(start);
    // One call's timeout, well short of GLib's default of 25 s.
    EXPECT_GE(firstCall, 0.4);
    EXPECT_LT(firstCall, 1.5);

    // Further calls fail at once for a while instead of each waiting.
    start = g_get_monotonic_time();
    const InputSourceSwitcher switcher;
    EXPECT_FALSE(switcher.isJapaneseInputActive());
    switcher.switchToEisu();
    EXPECT_LT(secondsSince(start), 0.25);

    driver.pauseOrResume(false);
    ASSERT_TRUE(iterateUntil([&] { return currentIdentifier() == "anthy"; }, 5.0));
}

// A bus of the test's own on which org.fcitx.Fcitx5 is D-Bus activatable:
// starting it only leaves a marker file behind.
class ActivatableBus {
public:
    ActivatableBus()
    {
        const linux_backend::GMallocPtr<gchar> dir(g_dir_make_tmp("lullswitch-activation-XXXXXX", nullptr));
        dir_ = dir.get();
        const std::string services = dir_ + "/services";
        g_mkdir(services.c_str(), 0700);
        std::ofstream(services + "/org.fcitx.Fcitx5.service")
            << "[D-BUS Service]\nName=org.fcitx.Fcitx5\nExec=/bin/sh -c 'touch " << marker() << "'\n";
        std::ofstream(dir_ + "/bus.conf")
            << "<busconfig><type>session</type><listen>unix:dir=" << dir_
            << "</listen><auth>EXTERNAL</auth><servicedir>" << services
            << "</servicedir><limit name=\"service_start_timeout\">1000</limit>"
               "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        const std::string config = "--config-file=" + dir_ + "/bus.conf";
        gchar* argv[]
            = { const_cast<gchar*>("dbus-daemon"), const_cast<gchar*>(config.c_str()), const_cast<gchar*>("--nofork"),
                  const_cast<gchar*>("--nopidfile"), const_cast<gchar*>("--print-address=1"), nullptr };
        gint out = -1;
        if (!g_spawn_async_with_pipes(nullptr, argv, nullptr,
                static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDERR_TO_DEV_NULL),
                nullptr, nullptr, &pid_, nullptr, &out, nullptr, nullptr))
            return;
        std::string address;
        char c = 0;
        while (read(out, &c, 1) == 1 && c != '\n')
            address += c;
        close(out);
        bus_.reset(g_dbus_connection_new_for_address_sync(address.c_str(),
            static_cast<GDBusConnectionFlags>(
                G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr));
    }

    ~ActivatableBus()
    {
        bus_.reset();
        if (pid_) {
            ::kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            g_spawn_close_pid(pid_);
        }
        run({ "rm", "-rf", dir_ });
    }

    GDBusConnection* bus() const { return bus_.get(); }
    std::string marker() const { return dir_ + "/started"; }
    bool wasStarted() const { return g_file_test(marker().c_str(), G_FILE_TEST_EXISTS); }

private:
    std::string dir_;
    GPid pid_ = 0;
    GObjectPtr<GDBusConnection> bus_;
};

TEST(Fcitx5InputSourcesActivation, NoCallStartsFcitx)
{
    EXPECT_FALSE(Fcitx5InputSources(nullptr).createEnabledInputSourceList()) << "no bus at all";
    ActivatableBus activatable;
    ASSERT_TRUE(activatable.bus());
    {
        Fcitx5InputSources sources(activatable.bus());
        fakes::FakePlatform fakes;
        platform::Platform platform { fakes.userDefaults, fakes.keyboardEventClock, fakes.mainLoop, sources,
            fakes.statusBar, fakes.application };
        const platform::ScopedPlatform installed(platform);
        const InputSourceSwitcher switcher;
        EXPECT_FALSE(switcher.isJapaneseInputActive());
        switcher.switchToEisu();
        iterateFor(0.3);
        EXPECT_FALSE(sources.copyCurrentKeyboardInputSource());
    }
    iterateFor(1.2);
    EXPECT_FALSE(activatable.wasStarted());

    // The same call without the flag would have started it: the bus is set up
    // to show it.
    linux_backend::GVariantPtr reply(
        g_dbus_connection_call_sync(activatable.bus(), "org.fcitx.Fcitx5", "/controller", "org.fcitx.Fcitx.Controller1",
            "CurrentInputMethod", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, nullptr));
    EXPECT_TRUE(iterateUntil([&] { return activatable.wasStarted(); }, 3.0));
}

} // namespace
} // namespace lullswitch
