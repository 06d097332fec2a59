#include "app/AppDelegate.h"
#include "app/LullswitchApp.h"
#include "fakes/FakePlatform.h"
#include "settings/SettingsStore.h"

#include <gtest/gtest.h>

namespace lullswitch {
namespace {

using fakes::FakeSource;
using platform::StoredObject;
using Strings = std::vector<std::string>;

class AppDelegateTest : public ::testing::Test {
protected:
    AppDelegateTest()
    {
        platform.inputSources.setSources({
            FakeSource { "com.apple.inputmethod.Kotoeri.RomajiTyping.Japanese", true, false },
            FakeSource { "com.apple.keylayout.ABC", true, true },
        });
        platform.inputSources.setCurrent(0);
    }

    void launch()
    {
        delegate = AppDelegate::create();
        delegate->applicationDidFinishLaunching();
    }

    void tickWithIdle(double seconds)
    {
        platform.keyboardEventClock.setIdle(seconds);
        platform.mainLoop.fire();
    }

    bool choose(std::string_view title) { return platform.statusBar.choose(title); }
    const std::string& title() { return platform.statusBar.statusItem()->title(); }
    IdleKeyboardWatcher& watcher() { return delegate->keyboardWatcher(); }
    std::size_t switchCount() { return platform.inputSources.selections().size(); }

    fakes::FakePlatform platform;
    std::shared_ptr<AppDelegate> delegate;
};

TEST_F(AppDelegateTest, ConstructionTouchesNeitherSettingsNorUserInterface)
{
    delegate = AppDelegate::create();
    EXPECT_EQ(platform.userDefaults.readCount("isEnabled"), 0);
    EXPECT_EQ(platform.userDefaults.readCount("delaySeconds"), 0);
    EXPECT_TRUE(platform.log.empty()) << platform.log.front();
    EXPECT_EQ(delegate->statusMenuController(), nullptr);
    EXPECT_FALSE(watcher().isRunning());
    EXPECT_FALSE(watcher().onIdle);
}

TEST_F(AppDelegateTest, LaunchRunsItsStepsInOrder)
{
    platform.application.openWindows({ "settings", "other" });
    launch();
    EXPECT_EQ(platform.log,
        (Strings {
            "activation policy 1", "window closed settings", "window closed other", "status item created",
            "menu created", // the status menu
            "menu created", // its first delay submenu
            "timer scheduled",
            "menu created", // built a second time
        }));
    EXPECT_EQ(platform.application.openWindowCount(), 0);
    EXPECT_NE(delegate->statusMenuController(), nullptr);
    EXPECT_TRUE(watcher().isRunning());
}

TEST_F(AppDelegateTest, FirstRunSeedsTheStoreAndStartsWatching)
{
    // A fresh process: the launch makes the shared settings store.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            fakes::FakePlatform fresh;
            auto app = AppDelegate::create();
            app->applicationDidFinishLaunching();
            const bool ok = fresh.userDefaults.stored("isEnabled") == StoredObject(true)
                && fresh.userDefaults.stored("delaySeconds") == StoredObject(2.0) && app->keyboardWatcher().isRunning()
                && fresh.statusBar.statusItem()->title() == "戻";
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(AppDelegateTest, DisabledAtLaunchShowsTheMenuButDoesNotWatch)
{
    platform.userDefaults.put("isEnabled", false);
    launch();
    EXPECT_FALSE(watcher().isRunning());
    EXPECT_EQ(title(), "休");
    EXPECT_EQ(platform.statusBar.menu().items().size(), 11u);
}

TEST_F(AppDelegateTest, IdlePastTheDelaySwitchesOncePerIdlePeriod)
{
    launch();
    tickWithIdle(1.0);
    EXPECT_EQ(switchCount(), 0u);
    tickWithIdle(2.0);
    EXPECT_EQ(platform.inputSources.selections(), Strings { "com.apple.keylayout.ABC" });
    // Back in Japanese without typing: the same idle period does not switch.
    platform.inputSources.setCurrent(0);
    tickWithIdle(2.25);
    tickWithIdle(9.0);
    EXPECT_EQ(switchCount(), 1u);
    // A key press ends the period; the next one switches again.
    tickWithIdle(0.1);
    tickWithIdle(2.1);
    EXPECT_EQ(switchCount(), 2u);
}

TEST_F(AppDelegateTest, IdleDoesNotSwitchANonJapaneseSource)
{
    platform.inputSources.setCurrent(1);
    launch();
    tickWithIdle(5.0);
    EXPECT_EQ(switchCount(), 0u);
}

TEST_F(AppDelegateTest, DelayCallbackReadsTheStoreEveryTime)
{
    platform.userDefaults.put("delaySeconds", 5.0);
    launch();
    tickWithIdle(4.0);
    EXPECT_EQ(switchCount(), 0u);
    platform.userDefaults.put("delaySeconds", 3.0);
    tickWithIdle(4.0);
    EXPECT_EQ(switchCount(), 1u);
    platform.userDefaults.put("delaySeconds", -1.0); // reads as 2
    platform.inputSources.setCurrent(0);
    tickWithIdle(1.0);
    tickWithIdle(2.0);
    EXPECT_EQ(switchCount(), 2u);
}

TEST_F(AppDelegateTest, IdleCallbackWhileOffAsksNothing)
{
    launch();
    platform.userDefaults.put("isEnabled", false);
    const int copies = platform.inputSources.currentCopyCount();
    watcher().onIdle();
    EXPECT_EQ(platform.inputSources.currentCopyCount(), copies);
    EXPECT_EQ(switchCount(), 0u);
}

TEST_F(AppDelegateTest, ToggleTwice)
{
    launch();
    ASSERT_TRUE(choose("動作中：ON"));
    EXPECT_EQ(platform.userDefaults.stored("isEnabled"), StoredObject(false));
    EXPECT_FALSE(watcher().isRunning());
    EXPECT_EQ(title(), "休");
    tickWithIdle(10.0);
    EXPECT_EQ(switchCount(), 0u);

    ASSERT_TRUE(choose("停止中：OFF"));
    EXPECT_EQ(platform.userDefaults.stored("isEnabled"), StoredObject(true));
    EXPECT_TRUE(watcher().isRunning());
    EXPECT_EQ(title(), "戻");
    tickWithIdle(10.0);
    EXPECT_EQ(switchCount(), 1u);
}

TEST_F(AppDelegateTest, ToggleOfAnUnreadableSwitchTurnsItOff)
{
    platform.userDefaults.put("isEnabled", std::string("maybe"));
    launch();
    ASSERT_TRUE(watcher().isRunning());
    ASSERT_TRUE(choose("動作中：ON"));
    EXPECT_EQ(platform.userDefaults.stored("isEnabled"), StoredObject(false));
    EXPECT_FALSE(watcher().isRunning());
}

// A change made outside the menu takes effect as the same menu choice would.
TEST_F(AppDelegateTest, ExternalChangesTakeEffectAsMenuChoicesWould)
{
    const struct {
        bool isEnabledAtLaunch;
        const char* key;
        StoredObject value;
        bool isWatching;
        const char* title;
        const char* checkedDelay;
    } cases[] = {
        { false, "isEnabled", StoredObject(true), true, "戻", "2秒" },
        { true, "isEnabled", StoredObject(false), false, "休", "2秒" },
        { true, "delaySeconds", StoredObject(5.0), true, "戻", "5秒" },
    };
    for (const auto& c : cases) {
        platform.userDefaults.put("isEnabled", c.isEnabledAtLaunch);
        platform.userDefaults.put("delaySeconds", 2.0);
        launch();
        platform.userDefaults.putExternally(c.key, c.value);
        EXPECT_EQ(watcher().isRunning(), c.isWatching) << c.key;
        EXPECT_EQ(title(), c.title);
        EXPECT_EQ(platform.statusBar.item(c.checkedDelay).state(), platform::ControlState::on);
    }
}

TEST_F(AppDelegateTest, ChosenDelaysAreStoredAndBounded)
{
    launch();
    for (const char* choice : { "1秒", "2秒", "3秒", "5秒" }) {
        ASSERT_TRUE(choose(choice));
        const double expected = choice[0] - '0';
        EXPECT_EQ(platform.userDefaults.stored("delaySeconds"), StoredObject(expected));
        EXPECT_EQ(platform.statusBar.item(choice).state(), platform::ControlState::on);
    }
    auto handlers = AppDelegate::makeCommandHandlers(delegate);
    handlers.onSetDelay(0.1);
    EXPECT_EQ(platform.userDefaults.stored("delaySeconds"), StoredObject(0.5));
    handlers.onSetDelay(45.0);
    EXPECT_EQ(platform.userDefaults.stored("delaySeconds"), StoredObject(30.0));
}

TEST_F(AppDelegateTest, ChoosingADelayRestartsTheWatcherAndClearsTheLatch)
{
    launch();
    tickWithIdle(10.0);
    ASSERT_EQ(switchCount(), 1u);
    platform.inputSources.setCurrent(0);
    ASSERT_TRUE(choose("3秒"));
    EXPECT_EQ(platform.mainLoop.timersCreated(), 2);
    EXPECT_EQ(platform.mainLoop.liveTimerCount(), 1);
    tickWithIdle(10.0);
    EXPECT_EQ(switchCount(), 2u);
}

TEST_F(AppDelegateTest, ChoosingADelayWhileOffRestartsTheTimerButSwitchesNothing)
{
    platform.userDefaults.put("isEnabled", false);
    launch();
    ASSERT_FALSE(watcher().isRunning());
    ASSERT_TRUE(choose("1秒"));
    EXPECT_TRUE(watcher().isRunning());
    tickWithIdle(10.0);
    EXPECT_EQ(switchCount(), 0u);
    EXPECT_EQ(platform.keyboardEventClock.readCount(), 0);
}

TEST_F(AppDelegateTest, SwitchNowIsUnconditional)
{
    for (bool isEnabled : { false, true }) {
        platform.userDefaults.put("isEnabled", isEnabled);
        platform.inputSources.setCurrent(1); // already alphanumeric
        launch();
        tickWithIdle(10.0);
        const bool latch = watcher().hasFiredForCurrentIdlePeriod();
        const auto before = switchCount();
        ASSERT_TRUE(choose("今すぐ英数へ戻す"));
        EXPECT_EQ(switchCount(), before + 1);
        EXPECT_EQ(watcher().hasFiredForCurrentIdlePeriod(), latch);
    }
}

TEST_F(AppDelegateTest, AboutShowsTheFixedAlertOnce)
{
    launch();
    ASSERT_TRUE(choose("このアプリについて"));
    ASSERT_EQ(platform.application.alerts().size(), 1u);
    const auto& alert = platform.application.alerts()[0];
    EXPECT_EQ(alert.messageText, "Lullswitch");
    EXPECT_EQ(alert.informativeText,
        "2秒間キーボード操作がないとき、日本語入力から英数入力へ戻す軽量メニューバーアプリです。\n\n"
        "入力内容は記録・保存・送信しません。");
    EXPECT_EQ(alert.informativeText.size(), 186u);
    EXPECT_NE(alert.informativeText.back(), '\n');
    EXPECT_EQ(alert.style, platform::AlertStyle::informational);
    EXPECT_EQ(static_cast<int>(*alert.style), 1);
    EXPECT_EQ(alert.buttons, Strings { "OK" });
    EXPECT_EQ(alert.runModalCount, 1);
}

TEST_F(AppDelegateTest, QuitStopsTheWatcherBeforeTerminating)
{
    launch();
    platform.log.clear();
    ASSERT_TRUE(choose("終了"));
    EXPECT_EQ(platform.log, (Strings { "timer cancelled", "terminate" }));
    EXPECT_EQ(platform.application.terminateCount(), 1);
}

TEST_F(AppDelegateTest, TerminationOnlyStopsTheWatcher)
{
    launch();
    tickWithIdle(10.0);
    const int writes = platform.userDefaults.writeCount();
    delegate->applicationWillTerminate();
    EXPECT_FALSE(watcher().isRunning());
    EXPECT_FALSE(watcher().hasFiredForCurrentIdlePeriod());
    EXPECT_NE(platform.statusBar.statusItem(), nullptr);
    EXPECT_EQ(platform.userDefaults.writeCount(), writes);
    delegate->applicationWillTerminate();
    EXPECT_FALSE(watcher().isRunning());
}

TEST_F(AppDelegateTest, HandlersWithAGoneDelegateSkipOnlyTheirDelegateSteps)
{
    launch();
    auto handlers = AppDelegate::makeCommandHandlers(delegate);
    auto onIdle = AppDelegate::makeIdleCallback(delegate);
    delegate.reset();
    EXPECT_EQ(platform.statusBar.statusItem(), nullptr);
    platform.log.clear();

    handlers.onToggleEnabled();
    EXPECT_EQ(platform.userDefaults.stored("isEnabled"), StoredObject(false));
    handlers.onSetDelay(0.1);
    EXPECT_EQ(platform.userDefaults.stored("delaySeconds"), StoredObject(0.5));
    handlers.onSwitchNow();
    handlers.onAbout();
    EXPECT_TRUE(platform.application.alerts().empty());
    EXPECT_EQ(switchCount(), 0u);

    platform.userDefaults.put("isEnabled", true);
    onIdle();
    EXPECT_EQ(switchCount(), 0u);

    handlers.onQuit();
    EXPECT_EQ(platform.application.terminateCount(), 1);
    EXPECT_EQ(platform.log, Strings { "terminate" });
}

TEST(LullswitchAppTest, RunsOneDelegateFromLaunchToTermination)
{
    fakes::FakePlatform platform;
    platform.inputSources.setSources({ FakeSource { "com.apple.keylayout.US", true, true } });
    bool wasRunning = false;
    platform.application.whileRunning = [&] {
        wasRunning = platform.mainLoop.liveTimerCount() == 1 && platform.statusBar.statusItem() != nullptr;
        platform.statusBar.choose("終了");
    };
    EXPECT_EQ(LullswitchApp::main(), 0);
    EXPECT_TRUE(wasRunning);
    EXPECT_EQ(platform.statusBar.statusItemCount(), 0);
    EXPECT_EQ(platform.application.terminateCount(), 1);
    EXPECT_EQ(platform.mainLoop.liveTimerCount(), 0);
}

} // namespace
} // namespace lullswitch
