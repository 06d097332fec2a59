// The keytime addon inside a real, headless fcitx5 (dbus frontend only), fed
// keys through an input context of the test's own connection. Runs inside
// scripts/virtual-session --no-fcitx: the test starts each fcitx5 itself.
#include "SessionBus.h"
#include "SessionSupport.h"
#include "platform/linux/Fcitx5KeyTimeClock.h"
#include "platform/linux/InputMethodFramework.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <numeric>
#include <set>
#include <string>
#include <sys/wait.h>
#include <tuple>
#include <vector>

namespace {

using namespace lullswitch::linux_backend;
using namespace lullswitch::session_test;

constexpr const char* keyTimePath = "/app/lullswitch/KeyTime";
constexpr const char* keyTimeInterface = "app.lullswitch.KeyTime1";

// One fcitx5 with a keyboard-us group and the addon, and one focused input
// context of this process.
class Fcitx {
public:
    Fcitx()
    {
        const std::string addonDir = std::string(g_get_user_data_dir()) + "/fcitx5/addon";
        run({ "mkdir", "-p", addonDir });
        run({ "ln", "-sf", LULLSWITCH_KEYTIME_CONF, addonDir });
        const char* argv[]
            = { "fcitx5", "--disable=all", "--enable=keyboard,dbus,dbusfrontend,lullswitch-keytime", nullptr };
        g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr,
            GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL
                | G_SPAWN_STDERR_TO_DEV_NULL),
            nullptr, nullptr, &pid_, nullptr);
        iterateUntil([&] { return !(context_ = focusNewFcitxContext(sessionBus(), "keytime-test")).empty(); }, 10.0);
    }
    ~Fcitx()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return !context_.empty(); }

    // One key event, a press or a release.
    bool key(bool release) const
    {
        return bool(callOn(sessionBus(), "org.fcitx.Fcitx5", context_.c_str(), "org.fcitx.Fcitx.InputContext1",
            "ProcessKeyEvent", g_variant_new("(uuubu)", 0x61u, 38u, 0u, release, 0u)));
    }

private:
    GPid pid_ = 0;
    std::string context_;
};

std::uint64_t nowUs()
{
    return g_get_monotonic_time();
}

// The two times the addon tells, by method or signal: the last key, and when
// it was said; and when this process got them.
struct Reading {
    explicit Reading(GVariant* times)
    {
        if (times)
            g_variant_get(times, "(tt)", &lastKeyUs, &saidAtUs);
    }
    std::uint64_t lastKeyUs = 0, saidAtUs = 0;
    std::uint64_t gotAtUs = nowUs();
};

// A sentence typed at human gaps, while this connection listens and asks about
// 1000 times a second. Either learns only what an idle monitor would: each
// stretch of typing's first and last key to a fortieth of a second, and in
// between which quarter seconds held keys. Nothing is told before the time it
// names or earlier than the key, and an answer tells nothing the signal has not;
// yet every key is told within a quarter second, a stretch's first within 25 ms.
// A change of focus or input method is told no finer than a quarter second.
TEST(KeyTimeAddonTest, ListenersAndPollersLearnNoMoreThanAnIdleMonitor)
{
    constexpr std::uint64_t gridUs = 25'000, typingUs = 250'000; // the addon's
    // Presses and releases by turns; the 320 ms pause ends a stretch.
    const int gapsMs[] = { 85, 140, 70, 45, 110, 160, 95, 60, 75, 130, 50, 320 };
    Fcitx fcitx;
    ASSERT_TRUE(fcitx.ready());
    std::vector<Reading> heard, polled;
    const guint subscription = g_dbus_connection_signal_subscribe(
        sessionBus(), nullptr, keyTimeInterface, "KeyActivity", keyTimePath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* times, gpointer into) {
            static_cast<std::vector<Reading>*>(into)->emplace_back(times);
        },
        &heard, nullptr);
    const auto poll = [&] {
        const std::uint64_t asked = nowUs();
        polled.emplace_back(
            callOn(sessionBus(), "org.fcitx.Fcitx5", keyTimePath, keyTimeInterface, "LastKeyTime").get());
        EXPECT_LE(polled.back().saidAtUs, polled.back().gotAtUs);
        EXPECT_GE(polled.back().saidAtUs + gridUs, asked);
        while (g_main_context_iteration(nullptr, FALSE)) { }
        g_usleep(1000);
    };
    iterateFor(0.4);
    heard.clear();
    poll();
    std::set<std::uint64_t> toldKeys { polled.back().lastKeyUs }, typingWindows;
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> sent; // call made, reply come, told by
    std::size_t stretches = 1;
    for (int i = 0; i < 60; ++i) {
        for (const std::uint64_t next = nowUs() + gapsMs[i % std::size(gapsMs)] * 1000; nowUs() < next;)
            poll();
        const std::uint64_t call = nowUs();
        ASSERT_TRUE(fcitx.key(i % 2 == 1));
        const std::uint64_t reply = nowUs();
        const bool starts = i == 0 || call - std::get<1>(sent.back()) >= typingUs + gridUs;
        stretches += i > 0 && reply - std::get<0>(sent.back()) >= typingUs;
        sent.emplace_back(call, reply, reply + (starts ? gridUs : typingUs));
        typingWindows.insert({ call / typingUs, reply / typingUs });
    }
    for (const std::uint64_t end = nowUs() + 400'000; nowUs() < end;)
        poll();
    g_dbus_connection_signal_unsubscribe(sessionBus(), subscription);
    std::uint64_t grain = 0; // what every time told is a multiple of
    for (const Reading& reading : heard)
        toldKeys.insert(reading.lastKeyUs);
    for (const auto* readings : { &heard, &polled })
        for (const Reading& reading : *readings)
            grain = std::gcd(grain, std::gcd(reading.lastKeyUs, reading.saidAtUs));
    ASSERT_EQ(grain % gridUs, 0u) << grain;
    ASSERT_LE(heard.size(), 2 * stretches + typingWindows.size());
    for (const Reading& reading : polled)
        ASSERT_TRUE(toldKeys.count(reading.lastKeyUs)) << reading.lastKeyUs << " only told to a poller";
    for (std::size_t i = 0; i < heard.size(); ++i) {
        SCOPED_TRACE(i);
        const std::uint64_t lastKey = heard[i].lastKeyUs, saidAt = heard[i].saidAtUs;
        ASSERT_TRUE(saidAt == lastKey || saidAt == lastKey + typingUs);
        ASSERT_GE(heard[i].gotAtUs, saidAt) << "sent before the time it names";
        ASSERT_TRUE(std::any_of(sent.begin(), sent.end(),
            [&](const auto& key) { return std::get<0>(key) < lastKey && std::get<1>(key) + typingUs >= lastKey; }));
    }
    for (const auto& key : sent)
        ASSERT_TRUE(std::any_of(heard.begin(), heard.end(),
            [&](const Reading& told) {
                return told.lastKeyUs >= std::get<0>(key) && told.lastKeyUs <= std::get<2>(key);
            }))
            << std::get<0>(key) << " told late or never";
    EXPECT_GE(heard.back().lastKeyUs, std::get<0>(sent.back()));
    EXPECT_LE(heard.back().lastKeyUs, std::get<1>(sent.back()) + gridUs);
    EXPECT_EQ(heard.back().saidAtUs, heard.back().lastKeyUs + typingUs);

    // A new focus, as a switch of input method (a hotkey, maybe), is told
    // with nothing in it, no sooner than the end of its typing window.
    std::vector<std::uint64_t> changes; // when each came; 0 for one that said something
    const guint changeSubscription = g_dbus_connection_signal_subscribe(
        sessionBus(), nullptr, keyTimeInterface, "InputMethodChanged", keyTimePath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* none, gpointer into) {
            static_cast<std::vector<std::uint64_t>*>(into)->push_back(g_variant_n_children(none) ? 0 : nowUs());
        },
        &changes, nullptr);
    const std::uint64_t asked = nowUs();
    ASSERT_FALSE(focusNewFcitxContext(sessionBus(), "keytime-test").empty());
    iterateFor(0.6);
    g_dbus_connection_signal_unsubscribe(sessionBus(), changeSubscription);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_GE(changes[0], (asked / typingUs + 1) * typingUs);
    EXPECT_LT(changes[0], (asked / typingUs + 2) * typingUs + gridUs);
}

// The agent's side, there before fcitx5 comes: the framework turns to it,
// and the clock tells a key's age, read from the addon.
TEST(KeyTimeAddonTest, TheAgentTurnsToFcitxWhenItComesAndReadsTheKeysAge)
{
    Fcitx5Presence presence(sessionBus());
    InputMethodFramework framework(presence);
    Fcitx5KeyTimeClock clock(presence);
    const auto age = [&] { return clock.secondsSinceLastEvent(lullswitch::platform::KeyboardEventType::keyDown); };
    EXPECT_TRUE(std::isnan(age()));
    Fcitx fcitx;
    ASSERT_TRUE(fcitx.ready() && fcitx.key(false));
    iterateFor(0.3);
    EXPECT_EQ(framework.current(), InputMethodFramework::Kind::fcitx5);
    EXPECT_GE(age(), 0.25) << "the addon tells keys to a fortieth of a second";
    EXPECT_LT(age(), 0.5);
}

} // namespace
