#include "platform/linux/IBusInputSources.h"
#include "SessionBus.h"
#include "SessionSupport.h"
#include "contract/InputSourceServicesContract.h"
#include "fakes/FakePlatform.h"
#include "platform/linux/IBusKeyboardEventClock.h"
#include "platform/linux/IBusNews.h"

#include <gtest/gtest.h>

#include <glib/gstdio.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <mutex>
#include <optional>
#include <string>

namespace lullswitch {
namespace {

using linux_backend::GObjectPtr;
using linux_backend::IBusInputSources;
using linux_backend::IBusNews;
using namespace session_test;
using namespace contract;

// The session's ibus-daemon with ibus-anthy, started by the test.
GPid startIBusDaemon()
{
    // Debian's Python: ibus-anthy is written in it.
    gchar** environment = g_environ_setenv(g_get_environ(), "PATH", "/usr/bin:/bin", TRUE);
    environment = g_environ_setenv(environment, "GSETTINGS_BACKEND", "memory", TRUE);
    const gchar* argv[] = { "ibus-daemon", "--panel=disable", "--emoji-extension=disable", "--config=disable",
        "--xim=false", "--cache=refresh", nullptr };
    GPid pid = 0;
    g_spawn_async(nullptr, const_cast<gchar**>(argv), environment,
        GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr, nullptr, &pid, nullptr);
    g_strfreev(environment);
    return pid;
}

// The engines and their alphanumeric modes (ibus-mozc runs on Debian 12,
// headless).
constexpr char anthy[] = "anthy", latin[] = "InputMode.Latin", mozc[] = "mozc-jp", direct[] = "InputMode.Direct";

// The last InputMode the panel was told by UpdateProperty, what GNOME's
// indicator follows; recorded in GDBus's worker thread.
std::mutex panelMutex;
std::string panelMode;

// Owns org.freedesktop.IBus.Panel, so that the daemon tells it what it does
// not tell a context without the property capability.
GObjectPtr<GDBusConnection> startStubPanel()
{
    panelMode.clear();
    auto bus = connectTo(ibus_get_address());
    const auto record = +[](GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer) {
        const auto news = IBusNews::read(message);
        if (incoming && news.kind == IBusNews::Kind::inputMode
            && g_strcmp0(g_dbus_message_get_member(message), "UpdateProperty") == 0) {
            const std::lock_guard lock(panelMutex);
            panelMode = news.value;
        }
        return message;
    };
    g_dbus_connection_add_filter(bus.get(), record, nullptr, nullptr);
    callOn(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.freedesktop.IBus.Panel", 0u));
    return bus;
}

// ibus-daemon as the platform's input sources (every other service is a
// fake), with an application's focused input context on a connection of its
// own (every IBusBus of a process shares one), and a panel.
template <const char* engine, const char* alphanumeric> class IBusDriver {
public:
    explicit IBusDriver(guint capabilities = IBUS_CAP_PREEDIT_TEXT | IBUS_CAP_FOCUS | IBUS_CAP_PROPERTY)
    {
        if (!iterateUntil([&] { return sources.isIBusRunning(); }, 10.0))
            return;
        panel_ = startStubPanel();
        bus_ = connectTo(ibus_get_address());
        const auto path = callIBus("CreateInputContext", g_variant_new("(s)", "test-application"));
        if (!path)
            return;
        const gchar* contextPath = nullptr;
        g_variant_get(path.get(), "(&o)", &contextPath);
        context_.reset(ibus_input_context_new(contextPath, bus_.get(), nullptr, nullptr));
        ibus_input_context_set_capabilities(context_.get(), capabilities);
        ibus_input_context_focus_in(context_.get());
    }
    ~IBusDriver()
    {
        stopDaemon();
        iterateFor(0.05);
    }

    platform::InputSourceServices& services() { return sources; }
    std::string layoutId() const { return std::string(engine) + ":" + alphanumeric; }
    std::string imeId() const { return std::string(engine) + ":InputMode.Hiragana"; }

    // The engine chosen and its Hiragana mode activated by the application,
    // as the user does from the panel.
    void arrangeLayoutThenIme()
    {
        ASSERT_TRUE(context_) << "no ibus-daemon";
        setEngine(engine);
        ASSERT_TRUE(iterateUntil([&] { return current().value_or("").starts_with(engine); }, 10.0));
        ibus_input_context_property_activate(context_.get(), "InputMode.Hiragana", PROP_STATE_CHECKED);
        ASSERT_TRUE(iterateUntil([&] { return current() == imeId(); }, 10.0)) << current().value_or("none");
    }
    void setEngine(const char* name) { callIBus("SetGlobalEngine", g_variant_new("(s)", name)); }
    std::optional<std::string> current() { return sources.identifier(sources.copyCurrentKeyboardInputSource()); }
    // What the panel was last told, as GNOME's indicator shows it.
    std::optional<std::string> currentAsThePlatformSaysIt()
    {
        iterateFor(0.3);
        const std::lock_guard lock(panelMutex);
        return panelMode.empty() ? std::nullopt : std::optional(std::string(engine) + ":" + panelMode);
    }
    // The application types a key (pressed and released).
    void type(guint keyval)
    {
        ibus_input_context_process_key_event(context_.get(), keyval, 0, 0);
        ibus_input_context_process_key_event(context_.get(), keyval, 0, IBUS_RELEASE_MASK);
    }
    void makeUnavailable()
    {
        stopDaemon();
        ASSERT_TRUE(iterateUntil([&] { return !sources.isIBusRunning(); }, 5.0));
    }

    void stopDaemon()
    {
        if (daemon && ::kill(daemon, SIGCONT) == 0 && ::kill(daemon, SIGTERM) == 0)
            waitpid(daemon, nullptr, 0);
        daemon = 0;
    }

    GPid daemon = startIBusDaemon();
    fakes::FakePlatform fakes;
    IBusInputSources sources;

private:
    linux_backend::GVariantPtr callIBus(const char* method, GVariant* parameters)
    {
        return callOn(
            bus_.get(), "org.freedesktop.IBus", "/org/freedesktop/IBus", "org.freedesktop.IBus", method, parameters);
    }

    platform::Platform platform_ { fakes.userDefaults, fakes.keyboardEventClock, fakes.mainLoop, sources,
        fakes.statusBar, fakes.application };
    platform::ScopedPlatform installed_ { platform_ };
    GObjectPtr<GDBusConnection> panel_;
    GObjectPtr<GDBusConnection> bus_;
    GObjectPtr<IBusInputContext> context_;
};

using Drivers = ::testing::Types<IBusDriver<anthy, latin>, IBusDriver<mozc, direct>>;
INSTANTIATE_TYPED_TEST_SUITE_P(IBus, InputSourceServicesContract, Drivers);

// As on GNOME: the application's context shows no properties (gnome-shell's
// has none), so the engine's news, of the application's choice and of the
// agent's switch, goes to the panel only; the agent follows it there (one
// started later reads the engine). Kana being composed hold the switch; a hung
// daemon never holds the main loop.
TEST(IBusInputSourcesTest, FollowsThePanelWhenTheApplicationShowsNoPropertiesAndWaitsForKana)
{
    IBusDriver<anthy, latin> driver(IBUS_CAP_PREEDIT_TEXT | IBUS_CAP_FOCUS);
    driver.arrangeLayoutThenIme();
    IBusInputSources later;
    EXPECT_TRUE(iterateUntil([&] { return later.identifier(later.copyCurrentKeyboardInputSource()) == anthy; }, 5.0));
    const auto list = driver.sources.createEnabledInputSourceList();
    ASSERT_TRUE(list && list->size() == 2u);
    driver.type(IBUS_KEY_k);
    driver.type(IBUS_KEY_a);
    iterateFor(0.3);
    EXPECT_EQ(driver.sources.select(list->front()), platform::SelectStatus::composing);
    // Another engine settles or drops the kana; a keyboard layout's types Latin letters.
    driver.setEngine("xkb:us::eng");
    ASSERT_TRUE(iterateUntil([&] { return driver.current() == "xkb:us::eng"; }, 5.0));
    const auto layout = driver.sources.copyCurrentKeyboardInputSource();
    EXPECT_EQ(driver.sources.flag(layout, platform::InputSourceFlag::isASCIICapable), true);
    EXPECT_EQ(driver.sources.select(layout), platform::SelectStatus::selected);
    driver.arrangeLayoutThenIme();
    driver.type(IBUS_KEY_Return);
    iterateFor(0.3);
    EXPECT_EQ(driver.sources.select(list->front()), platform::SelectStatus::selected);
    EXPECT_TRUE(iterateUntil([&] { return driver.current() == driver.layoutId(); }, 5.0));

    ::kill(driver.daemon, SIGSTOP);
    const gint64 start = g_get_monotonic_time();
    EXPECT_TRUE(driver.sources.copyCurrentKeyboardInputSource());
    EXPECT_TRUE(driver.sources.createEnabledInputSourceList());
    EXPECT_EQ(driver.sources.select(list->front()), platform::SelectStatus::selected);
    EXPECT_LT(secondsSince(start), 0.05);
}

// The applications' keys reach the clock as copies. With the daemon gone,
// fcitx5's IBus frontend may own org.freedesktop.IBus on the session bus and
// write an IBus address file that points there: libibus connects, but that is
// no IBus. A restarted daemon is found again by both connections.
// Oversized messages are refused on libibus's connection as on the session bus.
TEST(IBusInputSourcesTest, CountsKeysTakesNoEmulationForIBusAndFindsARestartedDaemon)
{
    IBusDriver<anthy, latin> driver;
    bool refused = false;
    linux_backend::IBusKeyboardEventClock clock([&] { refused = true; });
    const auto idle = [&] { return clock.secondsSinceLastEvent(platform::KeyboardEventType::keyUp); };
    ASSERT_TRUE(iterateUntil([&] { return clock.isIBusRunning(); }, 5.0));
    iterateFor(0.3);
    EXPECT_GE(idle(), 0.3);
    driver.type(IBUS_KEY_a);
    iterateFor(0.05);
    EXPECT_LT(idle(), 0.1);
    // libibus's one connection refuses a message too big to take, and says so.
    GDBusConnection* ibus = ibus_bus_get_connection(linux_backend::GObjectPtr<IBusBus>(ibus_bus_new()).get());
    const std::string big(linux_backend::OversizedMessageGuard::maximumBodyBytes, 'x');
    EXPECT_FALSE(
        callOn(ibus, g_dbus_connection_get_unique_name(ibus), "/", "a.B", "C", g_variant_new("(s)", big.c_str())));
    EXPECT_TRUE(iterateUntil([&] { return refused; }, 5.0));

    driver.makeUnavailable();
    EXPECT_TRUE(std::isnan(idle()));
    callOn(sessionBus(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.freedesktop.IBus", 0u));
    const std::string file = "IBUS_ADDRESS=" + std::string(g_getenv("DBUS_SESSION_BUS_ADDRESS"))
        + "\nIBUS_DAEMON_PID=" + std::to_string(getpid()) + "\n";
    ASSERT_TRUE(g_file_set_contents(ibus_get_socket_path(), file.c_str(), -1, nullptr));
    const GObjectPtr<IBusBus> bus(ibus_bus_new_async());
    ASSERT_TRUE(iterateUntil([&] { return ibus_bus_is_connected(bus.get()); }, 5.0));
    iterateFor(0.3);
    EXPECT_FALSE(driver.sources.isIBusRunning() || clock.isIBusRunning());

    // Else the daemon would take the file's bus for another daemon's.
    g_unlink(ibus_get_socket_path());
    driver.daemon = startIBusDaemon();
    EXPECT_TRUE(iterateUntil([&] { return clock.isIBusRunning() && driver.sources.isIBusRunning(); }, 10.0));
}

} // namespace
} // namespace lullswitch
