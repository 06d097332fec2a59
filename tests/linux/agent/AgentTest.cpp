// The lullswitch executable end to end, in the virtual session: a test panel
// (watcher and menu client), fcitx5 with keyboard-us and anthy and a focused
// input context, key presses and pointer motion from xdotool.
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

using linux_backend::GErrorPtr;
using linux_backend::GKeyFilePtr;
using linux_backend::GMallocPtr;
using linux_backend::GVariantPtr;
using session_test::fcitxCurrentInputMethod;
using session_test::fcitxSetCurrentInputMethod;
using session_test::run;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr double defaultDelay = 2.0;
// The watcher looks four times a second; the rest is D-Bus and scheduling.
constexpr double switchTolerance = 0.3;

double secondsSince(gint64 start)
{
    return session_test::secondsSince(start);
}

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

// One key, as a person types it; returns when the X server has it.
void pressKey()
{
    ASSERT_EQ(run({ "xdotool", "key", "a" }), 0);
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

    std::optional<double> storedDelay() const
    {
        GKeyFilePtr file(g_key_file_new());
        if (!g_key_file_load_from_file(file.get(), preferencesPath().c_str(), G_KEY_FILE_NONE, nullptr))
            return std::nullopt;
        GError* rawError = nullptr;
        const double value = g_key_file_get_double(file.get(), "Lullswitch", "delaySeconds", &rawError);
        GErrorPtr error(rawError);
        if (error)
            return std::nullopt;
        return value;
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

TEST_F(AgentTest, RegistersItsItemWithTheExactMenu)
{
    startAgentWithItem();
    EXPECT_EQ(title(), "戻");
    const auto menu = host->menu();
    std::vector<std::string> labels;
    for (const auto& entry : menu.children)
        labels.push_back(entry.type() == "separator" ? "---" : entry.label());
    EXPECT_THAT(labels,
        ElementsAre("Lullswitch", "---", "動作中：ON", "待ち時間", "今すぐ英数へ戻す", "---", "監視方式：軽量タイマー",
            "入力内容は記録・送信しません", "このアプリについて", "---", "終了"));
    std::vector<bool> enabled;
    for (const auto& entry : menu.children)
        if (entry.type() != "separator")
            enabled.push_back(entry.isEnabled());
    EXPECT_THAT(enabled, ElementsAre(false, true, true, true, false, false, true, true));
    EXPECT_EQ(menu.find("終了").shortcut(), "Control+q");
    EXPECT_EQ(menu.find("待ち時間").childrenDisplay(), "submenu");
    std::vector<std::pair<std::string, int>> delays;
    for (const auto& entry : menu.find("待ち時間").children)
        delays.emplace_back(entry.label(), entry.toggleState());
    EXPECT_THAT(delays,
        ElementsAre(std::pair<std::string, int>("1秒", 0), std::pair<std::string, int>("2秒", 1),
            std::pair<std::string, int>("3秒", 0), std::pair<std::string, int>("5秒", 0)));
}

TEST_F(AgentTest, ChoosingThreeSecondsStoresItAndMovesTheCheckMark)
{
    startAgentWithItem();
    host->click("3秒");
    ASSERT_TRUE(waitUntil([&] { return storedDelay() == 3.0; }, 5)) << "stored " << storedDelay().value_or(-1);
    ASSERT_TRUE(waitUntil([&] { return host->menu().find("3秒").toggleState() == 1; }, 5));
    EXPECT_EQ(host->menu().find("2秒").toggleState(), 0);

    // And the watcher uses it: no switch before three seconds.
    const auto seconds = typeInJapaneseThenPause(3.0 + 2);
    ASSERT_TRUE(seconds);
    EXPECT_GE(*seconds, 3.0 - 0.1);
    EXPECT_LE(*seconds, 3.0 + switchTolerance);
}

TEST_F(AgentTest, SwitchedOffItShowsRestAndDoesNotSwitch)
{
    startAgentWithItem();
    host->click("動作中：ON");
    ASSERT_TRUE(waitUntil([&] { return title() == "休"; }, 5));
    EXPECT_NO_THROW(host->menu().find("停止中：OFF"));

    EXPECT_FALSE(typeInJapaneseThenPause(defaultDelay + 1.5)) << "switched while off";
    EXPECT_EQ(currentInputMethod(), "anthy");

    host->click("停止中：OFF");
    ASSERT_TRUE(waitUntil([&] { return title() == "戻"; }, 5));
    EXPECT_TRUE(typeInJapaneseThenPause());
}

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

TEST_F(AgentTest, SwitchesToAlphanumericOnceTheDelayHasPassed)
{
    startAgentWithItem();
    const auto seconds = typeInJapaneseThenPause();
    ASSERT_TRUE(seconds) << "no switch; input method " << currentInputMethod();
    EXPECT_GE(*seconds, defaultDelay - 0.1) << "switched before the delay";
    EXPECT_LE(*seconds, defaultDelay + switchTolerance);
}

TEST_F(AgentTest, TypingEveryHalfSecondKeepsJapaneseInput)
{
    startAgentWithItem();
    ASSERT_TRUE(fcitxSetCurrentInputMethod("anthy"));
    for (int i = 0; i < 10; ++i) {
        pressKey();
        sleepFor(0.5);
        ASSERT_EQ(currentInputMethod(), "anthy") << "switched while typing, after key " << i;
    }
    const auto seconds = secondsUntilAlphanumeric(defaultDelay + 2);
    ASSERT_TRUE(seconds);
    EXPECT_LE(*seconds, defaultDelay + switchTolerance - 0.5 + 0.05);
}

TEST_F(AgentTest, EachIdlePeriodSwitchesAgain)
{
    startAgentWithItem();
    for (int period = 0; period < 2; ++period) {
        const auto seconds = typeInJapaneseThenPause();
        ASSERT_TRUE(seconds) << "period " << period;
        EXPECT_LE(*seconds, defaultDelay + switchTolerance) << "period " << period;
    }
}

TEST_F(AgentTest, PointerMotionDoesNotPostponeTheSwitch)
{
    startAgentWithItem();
    ASSERT_TRUE(fcitxSetCurrentInputMethod("anthy"));
    typeText("kana");
    const gint64 lastKey = g_get_monotonic_time();
    for (int i = 0; currentInputMethod() != "keyboard-us" && secondsSince(lastKey) < defaultDelay + 2; ++i) {
        ASSERT_EQ(run({ "xdotool", "mousemove", std::to_string(100 + (i % 50) * 10), "300" }), 0);
        sleepFor(0.05);
    }
    ASSERT_EQ(currentInputMethod(), "keyboard-us");
    EXPECT_LE(secondsSince(lastKey), defaultDelay + switchTolerance + 0.05);
}

TEST_F(AgentTest, RegistersAgainWhenThePanelRestarts)
{
    startAgentWithItem();
    host->stopWatcher();
    sleepFor(0.3);
    host->startWatcher();
    ASSERT_TRUE(host->waitForItems(1, 5));
    EXPECT_EQ(host->registrationCount(), 2);
    EXPECT_EQ(host->menu().children.size(), 11u);
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

TEST_F(AgentTest, GarbagePreferencesReadAsDefaults)
{
    ASSERT_EQ(run({ "mkdir", "-p", configHome + "/lullswitch" }), 0);
    {
        std::ofstream garbage(preferencesPath(), std::ios::binary);
        garbage << "\xff\xfe[Lullswitch\nisEnabled=maybe\n\0\0delaySeconds=[[[\n=\n";
        for (int i = 0; i < 4096; ++i)
            garbage << static_cast<char>((i * 7919) % 251);
    }
    startAgentWithItem();
    EXPECT_EQ(title(), "戻");
    const auto menu = host->menu();
    EXPECT_NO_THROW(menu.find("動作中：ON"));
    EXPECT_EQ(menu.find("2秒").toggleState(), 1);
    const auto seconds = typeInJapaneseThenPause();
    ASSERT_TRUE(seconds);
    EXPECT_LE(*seconds, defaultDelay + switchTolerance);
    EXPECT_TRUE(agent->isRunning());
}

std::vector<std::string> windowsNamed(const std::string& name)
{
    gchar* output = nullptr;
    gchar* argv[] = { const_cast<gchar*>("xdotool"), const_cast<gchar*>("search"), const_cast<gchar*>("--name"),
        const_cast<gchar*>(name.c_str()), nullptr };
    g_spawn_sync(nullptr, argv, nullptr, static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL),
        nullptr, nullptr, &output, nullptr, nullptr, nullptr);
    GMallocPtr<gchar> owned(output);
    std::vector<std::string> ids;
    gchar** lines = g_strsplit(output ? output : "", "\n", -1);
    for (gchar** line = lines; *line; ++line)
        if (**line)
            ids.emplace_back(*line);
    g_strfreev(lines);
    return ids;
}

TEST_F(AgentTest, AboutShowsOneDialogWhileTheAgentKeepsWorking)
{
    startAgentWithItem();
    host->click("このアプリについて");
    ASSERT_TRUE(waitUntil([] { return !windowsNamed("^Lullswitch$").empty(); }, 15)) << "no dialog window";
    host->click("このアプリについて");
    sleepFor(1.0);
    const auto dialogs = windowsNamed("^Lullswitch$");
    EXPECT_EQ(dialogs.size(), 1u) << "a second About opened a second dialog";

    // The timer runs on while the dialog waits.
    const auto seconds = typeInJapaneseThenPause();
    ASSERT_TRUE(seconds) << "no switch while the About dialog showed";
    EXPECT_LE(*seconds, defaultDelay + switchTolerance);

    ASSERT_FALSE(dialogs.empty());
    ASSERT_EQ(run({ "xdotool", "windowfocus", "--sync", dialogs.front(), "key", "Return" }), 0);
    ASSERT_TRUE(waitUntil([] { return windowsNamed("^Lullswitch$").empty(); }, 10)) << "the dialog did not close";

    // The menu answers again once the dialog is gone.
    host->click("5秒");
    EXPECT_TRUE(waitUntil([&] { return storedDelay() == 5.0; }, 5));
    EXPECT_TRUE(agent->isRunning());
}

TEST_F(AgentTest, QuitWhileAboutShowsClosesTheDialogAndExitsWithZero)
{
    startAgentWithItem();
    host->click("このアプリについて");
    ASSERT_TRUE(waitUntil([] { return !windowsNamed("^Lullswitch$").empty(); }, 15)) << "no dialog window";
    host->click("終了");
    EXPECT_EQ(agent->waitForExit(5), 0);
    EXPECT_TRUE(waitUntil([] { return windowsNamed("^Lullswitch$").empty(); }, 5)) << "the dialog outlived the agent";
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
        EXPECT_TRUE(waitUntil([&] { return host->menu().find(edit.checkedDelay).toggleState() == 1; }, 2));
    }
}

} // namespace
} // namespace lullswitch::tray_test
