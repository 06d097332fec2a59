// The lullswitch executable as a process, in the virtual session: start-up,
// the switch after the delay, exit paths, a second instance, and restarts of
// the panel and of fcitx5. What one process can show, other suites show.
#include "AgentProcess.h"
#include "SessionSupport.h"
#include "TestTrayHost.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <thread>

namespace lullswitch::tray_test {
namespace {

using linux_backend::GMallocPtr;
using session_test::fcitxCurrentInputMethod;
using session_test::fcitxSetCurrentInputMethod;
using session_test::run;
using session_test::secondsSince;
using ::testing::HasSubstr;

constexpr double defaultDelay = 2.0;
// The watcher looks four times a second; the rest is D-Bus and scheduling.
constexpr double switchTolerance = 0.3;

void sleepFor(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

template <typename Condition> bool waitUntil(Condition condition, double seconds)
{
    const gint64 start = g_get_monotonic_time();
    while (!condition()) {
        if (secondsSince(start) > seconds)
            return false;
        sleepFor(0.01);
    }
    return true;
}

std::string currentInputMethod()
{
    return fcitxCurrentInputMethod().value_or("<no fcitx5>");
}

void typeText(const std::string& text)
{
    ASSERT_EQ(run({ "xdotool", "type", "--delay", "40", text }), 0);
}

// Seconds from now until fcitx5 reports keyboard-us, or nothing within
// `seconds`.
std::optional<double> secondsUntilAlphanumeric(double seconds)
{
    const gint64 start = g_get_monotonic_time();
    if (!waitUntil([] { return currentInputMethod() == "keyboard-us"; }, seconds))
        return std::nullopt;
    return secondsSince(start);
}

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        GMallocPtr<gchar> dir(g_dir_make_tmp("lullswitch-config-XXXXXX", nullptr));
        configHome = dir.get();
        ASSERT_TRUE(inputContext.waitUntilFocused());
    }
    void TearDown() override
    {
        agent.reset();
        run({ "rm", "-rf", configHome });
    }

    std::string preferencesPath() const { return configHome + "/lullswitch/preferences.ini"; }

    void startAgent(const AgentProcess::Environment& extra = {})
    {
        AgentProcess::Environment environment = { { "XDG_CONFIG_HOME", configHome } };
        environment.insert(environment.end(), extra.begin(), extra.end());
        agent = std::make_unique<AgentProcess>(environment);
        // Launching owns the item's name, then starts the watcher.
        const std::string name = "org.kde.StatusNotifierItem-" + std::to_string(agent->pid()) + "-1";
        ASSERT_TRUE(waitUntil([&] { return nameHasOwner(name); }, 10)) << "the agent did not launch";
    }

    void startAgentWithItem()
    {
        startAgent();
        ASSERT_TRUE(host->waitForItems(1, 10)) << "the item did not register";
        ASSERT_TRUE(waitUntil([&] { return host->lastLayoutRevision().has_value(); }, 5));
    }

    bool nameHasOwner(const std::string& name) const
    {
        auto reply = host->call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
            g_variant_new("(s)", name.c_str()), "(b)");
        gboolean hasOwner = FALSE;
        g_variant_get(reply.get(), "(b)", &hasOwner);
        return hasOwner;
    }

    std::string title() const
    {
        auto value = host->itemProperty("Title");
        return g_variant_get_string(value.get(), nullptr);
    }

    // Japanese input on, a few keys typed, then hands off the keyboard:
    // seconds until the agent switched back, measured from the last key.
    std::optional<double> typeInJapaneseThenPause(double waitSeconds = defaultDelay + 2)
    {
        EXPECT_TRUE(fcitxSetCurrentInputMethod("anthy"));
        EXPECT_EQ(currentInputMethod(), "anthy");
        typeText("nihongo");
        return secondsUntilAlphanumeric(waitSeconds);
    }

    std::unique_ptr<TestTrayHost> host = std::make_unique<TestTrayHost>();
    session_test::InputContextHolder inputContext;
    std::string configHome;
    std::unique_ptr<AgentProcess> agent;
};

TEST_F(AgentTest, QuitFromTheMenuExitsWithZero)
{
    startAgentWithItem();
    host->click("終了");
    EXPECT_EQ(agent->waitForExit(5), 0);
}

class AgentSignalTest : public AgentTest, public ::testing::WithParamInterface<int> { };

TEST_P(AgentSignalTest, SignalExitsWithZero)
{
    startAgentWithItem();
    agent->signal(GetParam());
    EXPECT_EQ(agent->waitForExit(5), 0);
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, AgentSignalTest, ::testing::Values(SIGTERM, SIGINT));

// Each idle period switches again, never before the delay.
TEST_F(AgentTest, SwitchesToAlphanumericOnceTheDelayHasPassed)
{
    startAgentWithItem();
    EXPECT_EQ(title(), "戻");
    for (int period = 0; period < 2; ++period) {
        const auto seconds = typeInJapaneseThenPause();
        ASSERT_TRUE(seconds) << "no switch in period " << period << "; input method " << currentInputMethod();
        EXPECT_GE(*seconds, defaultDelay - 0.1) << "switched before the delay";
        EXPECT_LE(*seconds, defaultDelay + switchTolerance) << "period " << period;
    }
}

TEST_F(AgentTest, RegistersAgainWhenThePanelRestarts)
{
    startAgentWithItem();
    host->stopWatcher();
    sleepFor(0.3);
    host->startWatcher();
    ASSERT_TRUE(host->waitForItems(1, 5));
    EXPECT_EQ(host->registrationCount(), 2);
    EXPECT_EQ(title(), "戻");
}

TEST_F(AgentTest, SwitchesAgainAfterFcitxRestarts)
{
    startAgentWithItem();
    ASSERT_TRUE(typeInJapaneseThenPause());
    ASSERT_TRUE(session_test::controlFcitx("restart"));
    ASSERT_TRUE(inputContext.waitUntilFocused(10));
    const auto seconds = typeInJapaneseThenPause();
    ASSERT_TRUE(seconds);
    EXPECT_LE(*seconds, defaultDelay + switchTolerance);
    EXPECT_TRUE(agent->isRunning());
}

TEST_F(AgentTest, WithoutAPanelItStillSwitchesAndAppearsWhenOneStarts)
{
    host->stopWatcher();
    startAgent();
    const auto seconds = typeInJapaneseThenPause();
    ASSERT_TRUE(seconds);
    EXPECT_LE(*seconds, defaultDelay + switchTolerance);

    host->startWatcher();
    ASSERT_TRUE(host->waitForItems(1, 5));
    EXPECT_EQ(title(), "戻");
}

TEST_F(AgentTest, ASecondStartLeavesTheFirstAgentAlone)
{
    startAgentWithItem();
    const auto [status, text] = AgentProcess::runToEnd({ { "XDG_CONFIG_HOME", configHome } }, 10);
    EXPECT_EQ(status, 0);
    EXPECT_THAT(text, HasSubstr("lullswitch: already running"));
    EXPECT_EQ(host->items().size(), 1u);
    EXPECT_TRUE(agent->isRunning());
    host->click("終了");
    ASSERT_EQ(agent->waitForExit(5), 0);
    // Once the first has gone, a new start runs.
    startAgentWithItem();
}

struct StartupCase {
    const char* name;
    AgentProcess::Environment environment;
    int status;
    const char* advice;
};

class AgentStartupTest : public ::testing::TestWithParam<StartupCase> { };

TEST_P(AgentStartupTest, SaysWhatIsMissingAndExitsWithItsOwnStatus)
{
    const auto& c = GetParam();
    const auto [status, text] = AgentProcess::runToEnd(c.environment, 10);
    EXPECT_EQ(status, c.status);
    EXPECT_THAT(text, HasSubstr(c.advice));
    EXPECT_THAT(text, HasSubstr("lullswitch: "));
}

INSTANTIATE_TEST_SUITE_P(Missing, AgentStartupTest,
    ::testing::Values(StartupCase { "NoSessionBus", { { "DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus" } }, 4,
                          "cannot connect to the D-Bus session bus" },
        // No address and no $XDG_RUNTIME_DIR/bus: no bus of its own is started.
        StartupCase { "NoSessionBusAddress",
            { { "DBUS_SESSION_BUS_ADDRESS", std::nullopt }, { "XDG_RUNTIME_DIR", "/nonexistent" } }, 4,
            "cannot connect to the D-Bus session bus" }),
    [](const ::testing::TestParamInfo<StartupCase>& param) { return std::string(param.param.name); });

// Hand edits of the preferences file reach the screen as the same menu
// choices would.
TEST_F(AgentTest, HandEditsTakeEffect)
{
    startAgentWithItem();
    const struct {
        const char* contents;
        const char* title;
        const char* checkedDelay;
    } edits[] = {
        { "[Lullswitch]\nisEnabled=false\ndelaySeconds=5\n", "休", "5秒" },
        { "[Lullswitch]\nisEnabled=true\ndelaySeconds=1\n", "戻", "1秒" },
    };
    for (const auto& edit : edits) {
        std::ofstream(preferencesPath() + ".new") << edit.contents;
        ASSERT_EQ(std::rename((preferencesPath() + ".new").c_str(), preferencesPath().c_str()), 0);
        EXPECT_TRUE(waitUntil([&] { return title() == edit.title; }, 2)) << edit.contents;
        EXPECT_TRUE(waitUntil([&] { return host->menu().find(edit.checkedDelay).printed("toggle-state") == "1"; }, 2));
    }
}

} // namespace
} // namespace lullswitch::tray_test
