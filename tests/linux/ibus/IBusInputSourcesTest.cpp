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
class IBusDaemon {
public:
    IBusDaemon()
    {
        // Debian's Python: ibus-anthy is written in it.
        gchar** environment = g_environ_setenv(g_get_environ(), "PATH", "/usr/bin:/bin", TRUE);
        environment = g_environ_setenv(environment, "GSETTINGS_BACKEND", "memory", TRUE);
        const gchar* argv[] = { "ibus-daemon", "--panel=disable", "--emoji-extension=disable", "--config=disable",
            "--xim=false", "--cache=refresh", nullptr };
        g_spawn_async(nullptr, const_cast<gchar**>(argv), environment,
            static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr, nullptr, &pid_,
            nullptr);
        g_strfreev(environment);
    }
    ~IBusDaemon() { stop(); }
    void stop()
    {
        signal(SIGCONT);
        signal(SIGTERM);
        if (pid_)
            waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }
    void signal(int number) const
    {
        if (pid_)
            ::kill(pid_, number);
    }

private:
    GPid pid_ = 0;
};

// An application's focused input context, on a connection of its own (every
// IBusBus of a process shares one).
class Application {
public:
    Application()
    {
        const gchar* address = ibus_get_address();
        if (!address)
            return;
        bus_.reset(g_dbus_connection_new_for_address_sync(address,
            static_cast<GDBusConnectionFlags>(
                G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr));
        const auto path = callIBus("CreateInputContext", g_variant_new("(s)", "test-application"));
        if (!path)
            return;
        const gchar* contextPath = nullptr;
        g_variant_get(path.get(), "(&o)", &contextPath);
        context_.reset(ibus_input_context_new(contextPath, bus_.get(), nullptr, nullptr));
        ibus_input_context_set_capabilities(context_.get(), IBUS_CAP_PREEDIT_TEXT | IBUS_CAP_FOCUS | IBUS_CAP_PROPERTY);
        const auto properties = +[](IBusInputContext*, IBusPropList* list, gpointer self) {
            for (guint i = 0; IBusProperty* property = ibus_prop_list_get(list, i); ++i) {
                if (g_strcmp0(ibus_property_get_key(property), "InputMode") == 0) {
                    for (const auto& [symbol, name] : ibusInputModeSymbols()) {
                        if (symbol == ibus_text_get_text(ibus_property_get_symbol(property)))
                            static_cast<Application*>(self)->mode = name;
                    }
                }
            }
        };
        g_signal_connect(context_.get(), "register-properties", G_CALLBACK(properties), this);
        ibus_input_context_focus_in(context_.get());
    }
    ~Application()
    {
        if (context_)
            ibus_proxy_destroy(IBUS_PROXY(context_.get()));
    }

    bool isReady() const { return context_ != nullptr; }
    void setEngine(const char* name) { callIBus("SetGlobalEngine", g_variant_new("(s)", name)); }
    // As the user does it from the panel.
    void activate(const char* property)
    {
        ibus_input_context_property_activate(context_.get(), property, PROP_STATE_CHECKED);
    }
    // What the engine announces to this context when it gets the focus back.
    std::optional<std::string> modeOnFocus()
    {
        iterateFor(0.2);
        mode.reset();
        ibus_input_context_focus_out(context_.get());
        ibus_input_context_focus_in(context_.get());
        iterateUntil([&] { return mode.has_value(); }, 3.0);
        iterateFor(0.2);
        return mode;
    }
    std::optional<std::string> mode;

private:
    linux_backend::GVariantPtr callIBus(const char* method, GVariant* parameters)
    {
        return linux_backend::GVariantPtr(bus_
                ? g_dbus_connection_call_sync(bus_.get(), "org.freedesktop.IBus", "/org/freedesktop/IBus",
                    "org.freedesktop.IBus", method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, nullptr)
                : nullptr);
    }

    GObjectPtr<GDBusConnection> bus_;
    GObjectPtr<IBusInputContext> context_;
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

template <typename Engine> class IBusDriver {
public:
    IBusDriver()
    {
        ready_ = iterateUntil([&] { return sources.isIBusRunning(); }, 10.0);
    }
    ~IBusDriver() { iterateFor(0.05); }
    IBusDriver(const IBusDriver&) = delete;
    IBusDriver& operator=(const IBusDriver&) = delete;

    platform::InputSourceServices& services() { return sources; }
    std::string layoutId() const { return std::string(Engine::engine) + ":" + Engine::alphanumeric; }
    std::string imeId() const { return std::string(Engine::engine) + ":InputMode.Hiragana"; }

    void arrangeLayoutThenIme()
    {
        ASSERT_TRUE(ready_) << "no ibus-daemon";
        application.emplace();
        ASSERT_TRUE(application->isReady());
        application->setEngine(Engine::engine);
        ASSERT_TRUE(iterateUntil([&] { return current().value_or("").starts_with(Engine::engine); }, 10.0));
        application->activate("InputMode.Hiragana");
        ASSERT_TRUE(iterateUntil([&] { return current() == imeId(); }, 10.0)) << current().value_or("none");
    }
    std::optional<std::string> current() { return sources.identifier(sources.copyCurrentKeyboardInputSource()); }
    std::optional<std::string> currentAsThePlatformSaysIt()
    {
        const auto mode = application->modeOnFocus();
        return mode ? std::optional(std::string(Engine::engine) + ":" + *mode) : std::nullopt;
    }
    void makeUnavailable()
    {
        daemon.stop();
        ASSERT_TRUE(iterateUntil([&] { return !sources.isIBusRunning(); }, 5.0));
    }

    IBusDaemon daemon;
    fakes::FakePlatform fakes;
    IBusInputSources sources;
    std::optional<Application> application;

private:
    platform::Platform platform_ { fakes.userDefaults, fakes.keyboardEventClock, fakes.mainLoop, sources,
        fakes.statusBar, fakes.application };
    platform::ScopedPlatform installed_ { platform_ };
    bool ready_ = false;
};

using Drivers = ::testing::Types<IBusDriver<Anthy>, IBusDriver<Mozc>>;
INSTANTIATE_TYPED_TEST_SUITE_P(IBus, InputSourceServicesContract, Drivers);

TEST(IBusInputSourcesTest, AHungDaemonCostsOneTimeoutAtMost)
{
    IBusDriver<Anthy> driver;
    driver.arrangeLayoutThenIme();
    const InputSourceSwitcher switcher;
    driver.daemon.signal(SIGSTOP);
    gint64 start = g_get_monotonic_time();
    EXPECT_FALSE(driver.sources.copyCurrentKeyboardInputSource());
    EXPECT_LT(secondsSince(start), 1.0);
    start = g_get_monotonic_time();
    EXPECT_FALSE(switcher.isJapaneseInputActive());
    switcher.switchToEisu();
    EXPECT_LT(secondsSince(start), 0.25);
    driver.daemon.signal(SIGCONT);
}

} // namespace
} // namespace lullswitch
