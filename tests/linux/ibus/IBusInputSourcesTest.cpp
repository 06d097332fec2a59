#include "platform/linux/IBusInputSources.h"
#include "SessionSupport.h"
#include "contract/InputSourceServicesContract.h"
#include "fakes/FakePlatform.h"
#include "input_source/InputSourceIdentifiers.h"
#include "input_source/InputSourceSwitcher.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <optional>
#include <string>

namespace lullswitch {
namespace {

using linux_backend::GObjectPtr;
using linux_backend::IBusInputSources;
using namespace session_test;
using namespace contract;

// The session's ibus-daemon with ibus-anthy, started and stopped by the test.
struct IBusDaemon {
    IBusDaemon()
    {
        // Debian's Python: ibus-anthy is written in it.
        gchar** environment = g_environ_setenv(g_get_environ(), "PATH", "/usr/bin:/bin", TRUE);
        environment = g_environ_setenv(environment, "GSETTINGS_BACKEND", "memory", TRUE);
        const gchar* argv[] = { "ibus-daemon", "--panel=disable", "--emoji-extension=disable", "--config=disable",
            "--xim=false", "--cache=refresh", nullptr };
        g_spawn_async(nullptr, const_cast<gchar**>(argv), environment,
            GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr, nullptr, &pid, nullptr);
        g_strfreev(environment);
    }
    ~IBusDaemon() { stop(); }
    void stop()
    {
        if (pid && ::kill(pid, SIGCONT) == 0 && ::kill(pid, SIGTERM) == 0)
            waitpid(pid, nullptr, 0);
        pid = 0;
    }

    GPid pid = 0;
};

struct Anthy {
    static constexpr const char* engine = "anthy";
    static constexpr const char* alphanumeric = "InputMode.Latin";
};
// Where ibus-mozc runs (it does on Debian 12, headless).
struct Mozc {
    static constexpr const char* engine = "mozc-jp";
    static constexpr const char* alphanumeric = "InputMode.Direct";
};

// ibus-daemon as the platform's input sources (every other service is a
// fake), with an application's focused input context on a connection of its
// own (every IBusBus of a process shares one).
template <typename Engine> class IBusDriver {
public:
    IBusDriver()
    {
        if (!iterateUntil([&] { return sources.isIBusRunning(); }, 10.0))
            return;
        bus_.reset(g_dbus_connection_new_for_address_sync(ibus_get_address(),
            GDBusConnectionFlags(
                G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr));
        const auto path = callIBus("CreateInputContext", g_variant_new("(s)", "test-application"));
        if (!path)
            return;
        const gchar* contextPath = nullptr;
        g_variant_get(path.get(), "(&o)", &contextPath);
        context_.reset(ibus_input_context_new(contextPath, bus_.get(), nullptr, nullptr));
        ibus_input_context_set_capabilities(context_.get(), IBUS_CAP_PREEDIT_TEXT | IBUS_CAP_FOCUS | IBUS_CAP_PROPERTY);
        // The mode the engine announces to the application.
        const auto properties = +[](IBusInputContext*, IBusPropList* list, gpointer mode) {
            for (guint i = 0; IBusProperty* property = ibus_prop_list_get(list, i); ++i) {
                for (const auto& [symbol, name] : ibusInputModeSymbols()) {
                    if (g_strcmp0(ibus_property_get_key(property), "InputMode") == 0
                        && symbol == ibus_text_get_text(ibus_property_get_symbol(property)))
                        *static_cast<std::optional<std::string>*>(mode) = name;
                }
            }
        };
        g_signal_connect(context_.get(), "register-properties", G_CALLBACK(properties), &mode_);
        ibus_input_context_focus_in(context_.get());
    }
    ~IBusDriver()
    {
        if (context_)
            ibus_proxy_destroy(IBUS_PROXY(context_.get()));
        iterateFor(0.05);
    }
    IBusDriver(const IBusDriver&) = delete;
    IBusDriver& operator=(const IBusDriver&) = delete;

    platform::InputSourceServices& services() { return sources; }
    std::string layoutId() const { return std::string(Engine::engine) + ":" + Engine::alphanumeric; }
    std::string imeId() const { return std::string(Engine::engine) + ":InputMode.Hiragana"; }

    // The engine chosen and its Hiragana mode activated by the application,
    // as the user does from the panel.
    void arrangeLayoutThenIme()
    {
        ASSERT_TRUE(context_) << "no ibus-daemon";
        callIBus("SetGlobalEngine", g_variant_new("(s)", Engine::engine));
        ASSERT_TRUE(iterateUntil([&] { return current().value_or("").starts_with(Engine::engine); }, 10.0));
        ibus_input_context_property_activate(context_.get(), "InputMode.Hiragana", PROP_STATE_CHECKED);
        ASSERT_TRUE(iterateUntil([&] { return current() == imeId(); }, 10.0)) << current().value_or("none");
    }
    std::optional<std::string> current() { return sources.identifier(sources.copyCurrentKeyboardInputSource()); }
    // What the engine announces to the application when it gets the focus
    // back.
    std::optional<std::string> currentAsThePlatformSaysIt()
    {
        iterateFor(0.2);
        mode_.reset();
        ibus_input_context_focus_out(context_.get());
        ibus_input_context_focus_in(context_.get());
        iterateUntil([&] { return mode_.has_value(); }, 3.0);
        iterateFor(0.2);
        return mode_ ? std::optional(std::string(Engine::engine) + ":" + *mode_) : std::nullopt;
    }
    void makeUnavailable()
    {
        daemon.stop();
        ASSERT_TRUE(iterateUntil([&] { return !sources.isIBusRunning(); }, 5.0));
    }

    IBusDaemon daemon;
    fakes::FakePlatform fakes;
    IBusInputSources sources;

private:
    linux_backend::GVariantPtr callIBus(const char* method, GVariant* parameters)
    {
        return linux_backend::GVariantPtr(
            g_dbus_connection_call_sync(bus_.get(), "org.freedesktop.IBus", "/org/freedesktop/IBus",
                "org.freedesktop.IBus", method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, nullptr));
    }

    platform::Platform platform_ { fakes.userDefaults, fakes.keyboardEventClock, fakes.mainLoop, sources,
        fakes.statusBar, fakes.application };
    platform::ScopedPlatform installed_ { platform_ };
    GObjectPtr<GDBusConnection> bus_;
    GObjectPtr<IBusInputContext> context_;
    std::optional<std::string> mode_;
};

using Drivers = ::testing::Types<IBusDriver<Anthy>, IBusDriver<Mozc>>;
INSTANTIATE_TYPED_TEST_SUITE_P(IBus, InputSourceServicesContract, Drivers);

TEST(IBusInputSourcesTest, AHungDaemonCostsOneTimeoutAtMost)
{
    IBusDriver<Anthy> driver;
    driver.arrangeLayoutThenIme();
    ::kill(driver.daemon.pid, SIGSTOP);
    gint64 start = g_get_monotonic_time();
    EXPECT_FALSE(driver.sources.copyCurrentKeyboardInputSource());
    EXPECT_LT(secondsSince(start), 1.0);
    start = g_get_monotonic_time();
    const InputSourceSwitcher switcher;
    EXPECT_FALSE(switcher.isJapaneseInputActive());
    switcher.switchToEisu();
    EXPECT_LT(secondsSince(start), 0.25);
}

} // namespace
} // namespace lullswitch
