#include "platform/linux/Fcitx5InputSources.h"
#include "SessionBus.h"
#include "SessionSupport.h"
#include "contract/InputSourceServicesContract.h"
#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <utility>

namespace lullswitch {
namespace {

using namespace session_test;
using namespace contract;

// The real fcitx5 of the session, installed as the platform's input sources
// (every other service is a fake), with a focused input context on the test
// group [keyboard-us, anthy]. That fcitx5 runs without the agent's addon, so
// the backend reads it again and again by itself.
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
        // Lets GLib finish with the backend's calls and name watch.
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
        ASSERT_TRUE(iterateUntil([&] { return current() == name; }, 5)) << "not read by itself";
    }
    // The backend's current source, as its view has it.
    std::optional<std::string> current() { return sources.identifier(sources.copyCurrentKeyboardInputSource()); }
    std::optional<std::string> currentAsThePlatformSaysIt() { return fcitxCurrentInputMethod(); }
    void makeUnavailable()
    {
        ASSERT_TRUE(controlFcitx("stop"));
        ASSERT_TRUE(iterateUntil([&] { return !sources.isFcitxOnBus(); }, 5.0));
    }

    fakes::FakePlatform fakes;
    linux_backend::Fcitx5Presence presence { sessionBus() };
    linux_backend::Fcitx5InputSources sources { presence };

private:
    platform::Platform platform_ { fakes.userDefaults, fakes.keyboardEventClock, fakes.mainLoop, sources,
        fakes.statusBar, fakes.application };
    platform::ScopedPlatform installed_ { platform_ };
    std::optional<InputContextHolder> holder_;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Fcitx5, InputSourceServicesContract, Fcitx5Driver);

// What this process sends that could start fcitx5 on demand: a call to it
// without NO_AUTO_START, or the bus asked to start a service. Counted in
// GDBus's worker thread.
std::atomic<int> startingCalls;
GDBusMessage* countStartingCalls(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer)
{
    const bool toFcitx
        = g_strcmp0(g_dbus_message_get_destination(message), linux_backend::Fcitx5Presence::busName) == 0;
    if (!incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL
        && ((toFcitx && !(g_dbus_message_get_flags(message) & G_DBUS_MESSAGE_FLAGS_NO_AUTO_START))
            || g_strcmp0(g_dbus_message_get_member(message), "StartServiceByName") == 0))
        ++startingCalls;
    return message;
}

// The user replaces anthy by a layout with a variant, unseen by the backend:
// anthy is selected on its view, and the read that follows puts the view
// right (the variant types Latin letters); then anthy is refused without a
// call. Hung, fcitx5 costs the main loop nothing: no iteration waits; after
// one call's timeout (well short of GLib's 25 s) there is no source, and once
// it answers it is read again by itself. Restarted, it is read again. Nothing
// it sends could start fcitx5.
TEST(Fcitx5InputSourcesTest, TheViewFollowsFcitxAndNeverWaitsForIt)
{
    const guint filter = g_dbus_connection_add_filter(sessionBus(), countStartingCalls, nullptr, nullptr);
    Fcitx5Driver driver;
    auto& sources = driver.sources;
    const auto second = [&]() -> std::optional<std::string> {
        const auto list = sources.createEnabledInputSourceList();
        return list && list->size() == 2u ? sources.identifier((*list)[1]) : std::nullopt;
    };
    driver.setCurrent("keyboard-us");
    const auto list = sources.createEnabledInputSourceList();
    ASSERT_TRUE(list && list->size() == 2u);
    ASSERT_TRUE(callController("SetInputMethodGroupInfo",
        g_variant_new_parsed("('Default', 'us', [('keyboard-us', ''), ('keyboard-us-dvorak', '')])")));
    EXPECT_EQ(sources.select((*list)[1]), 0);
    EXPECT_TRUE(iterateUntil([&] { return driver.current() == "keyboard-us" && second() == "keyboard-us-dvorak"; }, 5));
    EXPECT_EQ(
        sources.flag(sources.createEnabledInputSourceList()->back(), platform::InputSourceFlag::isASCIICapable), true);
    EXPECT_EQ(sources.select((*list)[1]), platform::SelectStatus::notTakenEffect);

    ASSERT_TRUE(controlFcitx("pause"));
    gint64 paused = g_get_monotonic_time(), last = paused, longest = 0;
    EXPECT_TRUE(iterateUntil(
        [&] {
            longest = std::max(longest, g_get_monotonic_time() - std::exchange(last, g_get_monotonic_time()));
            return !sources.createEnabledInputSourceList();
        },
        5.0));
    EXPECT_LT(longest, 50'000) << "an iteration waited for fcitx5";
    EXPECT_NEAR(secondsSince(paused), 0.9, 0.5) << "not one call's timeout (and a quarter second)";
    EXPECT_EQ(sources.select((*list)[0]), platform::SelectStatus::callFailed);
    ASSERT_TRUE(controlFcitx("resume"));
    EXPECT_TRUE(iterateUntil([&] { return second() == "keyboard-us-dvorak"; }, 5.0)) << "not read again";

    ASSERT_TRUE(controlFcitx("restart")); // with the test profile again
    EXPECT_TRUE(iterateUntil([&] { return second() == "anthy"; }, 5.0));
    g_dbus_connection_remove_filter(sessionBus(), filter);
    EXPECT_EQ(startingCalls, 0);
}

} // namespace
} // namespace lullswitch
