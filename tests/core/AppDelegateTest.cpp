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
        platform.inputSources.setSources({ FakeSource { "com.apple.inputmethod.Kotoeri.RomajiTyping.Japanese" },
            FakeSource { "com.apple.keylayout.ABC", true, true } });
        platform.inputSources.setCurrent(0);
    }

    void launch(std::optional<bool> isEnabled = std::nullopt)
    {
        if (isEnabled)
            platform.userDefaults.put("isEnabled", *isEnabled);
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
    StoredObject stored(const char* key) { return platform.userDefaults.stored(key); }

    fakes::FakePlatform platform;
    std::shared_ptr<AppDelegate> delegate;
};

TEST_F(AppDelegateTest, ConstructionTouchesNothingAndLaunchRunsItsStepsInOrder)
{
    platform.application.openWindows({ "settings", "other" });
    delegate = AppDelegate::create();
    EXPECT_EQ(platform.userDefaults.readCount("isEnabled") + platform.userDefaults.readCount("delaySeconds"), 0);
    EXPECT_TRUE(platform.log.empty());
    EXPECT_EQ(delegate->statusMenuController(), nullptr);
    EXPECT_FALSE(watcher().onIdle);
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(platform.log,
        (Strings { "activation policy 1", "window closed settings", "window closed other", "status item created",
            "timer scheduled" }));
    EXPECT_NE(delegate->statusMenuController(), nullptr);
}

TEST_F(AppDelegateTest, DisabledAtLaunchDoesNotWatch)
{
    launch(false);
    EXPECT_FALSE(watcher().isRunning());
    EXPECT_EQ(title(), "休");
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
    tickWithIdle(9.0);
    EXPECT_EQ(switchCount(), 1u);
    tickWithIdle(0.1);
    tickWithIdle(2.1);
    EXPECT_EQ(switchCount(), 2u);
}

TEST_F(AppDelegateTest, IdleSwitchesNeitherANonJapaneseSourceNorWhileOff)
{
    platform.inputSources.setCurrent(1);
    launch();
    tickWithIdle(5.0);
    EXPECT_EQ(switchCount(), 0u);
    platform.userDefaults.put("isEnabled", false);
    platform.inputSources.setCurrent(0);
    const int copies = platform.inputSources.currentCopyCount();
    watcher().onIdle();
    EXPECT_EQ(platform.inputSources.currentCopyCount(), copies);
    EXPECT_EQ(switchCount(), 0u);
}

TEST_F(AppDelegateTest, TheDelayIsReadFromTheStoreEveryTime)
{
    platform.userDefaults.put("delaySeconds", 5.0);
    launch();
    tickWithIdle(4.0);
    EXPECT_EQ(switchCount(), 0u);
    platform.userDefaults.put("delaySeconds", 3.0);
    tickWithIdle(4.0);
    EXPECT_EQ(switchCount(), 1u);
}

TEST_F(AppDelegateTest, ToggleFlipsTheSwitchAnUnreadableOneTurningOff)
{
    const struct {
        StoredObject atLaunch, after;
        const char *choice, *title;
        std::size_t switchesAfterIdle;
    } cases[] = {
        { StoredObject(true), StoredObject(false), "動作中：ON", "休", 0 },
        { StoredObject(false), StoredObject(true), "停止中：OFF", "戻", 1 },
        { StoredObject(std::string("maybe")), StoredObject(false), "動作中：ON", "休", 1 },
    };
    for (const auto& c : cases) { // switch counts add up
        platform.inputSources.setCurrent(0);
        platform.userDefaults.put("isEnabled", c.atLaunch);
        launch();
        ASSERT_TRUE(choose(c.choice));
        EXPECT_EQ(stored("isEnabled"), c.after);
        EXPECT_EQ(watcher().isRunning(), c.after == StoredObject(true));
        EXPECT_EQ(title(), c.title);
        tickWithIdle(10.0);
        EXPECT_EQ(switchCount(), c.switchesAfterIdle);
    }
}

// A change made outside the menu takes effect as the same menu choice would.
TEST_F(AppDelegateTest, ExternalChangesTakeEffectAsMenuChoicesWould)
{
    const struct {
        bool isEnabledAtLaunch;
        const char* key;
        StoredObject value;
        bool isWatching;
        const char *title, *checkedDelay;
    } cases[] = {
        { false, "isEnabled", StoredObject(true), true, "戻", "2秒" },
        { true, "isEnabled", StoredObject(false), false, "休", "2秒" },
        { true, "delaySeconds", StoredObject(5.0), true, "戻", "5秒" },
    };
    for (const auto& c : cases) {
        platform.userDefaults.put("delaySeconds", 2.0);
        launch(c.isEnabledAtLaunch);
        platform.userDefaults.putExternally(c.key, c.value);
        EXPECT_EQ(watcher().isRunning(), c.isWatching) << c.key;
        EXPECT_EQ(title(), c.title);
        EXPECT_EQ(platform.statusBar.item(c.checkedDelay).state(), platform::ControlState::on);
    }
}

TEST_F(AppDelegateTest, ChoosingADelayStoresItAndRestartsTheWatcher)
{
    launch();
    tickWithIdle(10.0);
    ASSERT_EQ(switchCount(), 1u);
    platform.inputSources.setCurrent(0);
    ASSERT_TRUE(choose("3秒"));
    EXPECT_EQ(stored("delaySeconds"), StoredObject(3.0));
    EXPECT_EQ(platform.statusBar.item("3秒").state(), platform::ControlState::on);
    EXPECT_EQ(platform.mainLoop.timersCreated(), 2);
    EXPECT_EQ(platform.mainLoop.liveTimerCount(), 1);
    tickWithIdle(10.0); // the latch was cleared
    EXPECT_EQ(switchCount(), 2u);
}

TEST_F(AppDelegateTest, ChoosingADelayWhileOffRestartsTheTimerButSwitchesNothing)
{
    launch(false);
    ASSERT_TRUE(choose("1秒"));
    EXPECT_TRUE(watcher().isRunning());
    tickWithIdle(10.0);
    EXPECT_EQ(switchCount(), 0u);
    EXPECT_EQ(platform.keyboardEventClock.readCount(), 0);
}

TEST_F(AppDelegateTest, SwitchNowIsUnconditionalAndLeavesTheLatch)
{
    for (bool isEnabled : { false, true }) {
        platform.inputSources.setCurrent(1); // already alphanumeric
        launch(isEnabled);
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
    EXPECT_EQ(alert.style, platform::AlertStyle::informational);
    EXPECT_EQ(alert.buttons, Strings { "OK" });
}

// Termination only stops the watcher, also when repeated; quitting stops it
// before terminating.
TEST_F(AppDelegateTest, TerminationStopsTheWatcherAndQuitDoesSoFirst)
{
    launch();
    tickWithIdle(10.0);
    const int writes = platform.userDefaults.writeCount();
    for (int i = 0; i < 2; ++i) {
        delegate->applicationWillTerminate();
        EXPECT_FALSE(watcher().isRunning());
        EXPECT_FALSE(watcher().hasFiredForCurrentIdlePeriod());
    }
    EXPECT_NE(platform.statusBar.statusItem(), nullptr);
    EXPECT_EQ(platform.userDefaults.writeCount(), writes);
    launch();
    platform.log.clear();
    ASSERT_TRUE(choose("終了"));
    EXPECT_EQ(platform.log, (Strings { "timer cancelled", "terminate" }));
}

// Every handler outliving its delegate: each still does its store or
// application step and skips the delegate's.
TEST_F(AppDelegateTest, HandlersWithAGoneDelegateSkipOnlyTheirDelegateSteps)
{
    launch();
    auto handlers = AppDelegate::makeCommandHandlers(delegate);
    auto onIdle = AppDelegate::makeIdleCallback(delegate);
    delegate.reset();
    EXPECT_EQ(platform.statusBar.statusItem(), nullptr);
    platform.log.clear();
    handlers.onToggleEnabled();
    EXPECT_EQ(stored("isEnabled"), StoredObject(false));
    handlers.onSetDelay(0.1);
    EXPECT_EQ(stored("delaySeconds"), StoredObject(0.5));
    handlers.onSwitchNow();
    handlers.onAbout();
    platform.userDefaults.put("isEnabled", true);
    onIdle();
    handlers.onQuit();
    EXPECT_TRUE(platform.application.alerts().empty());
    EXPECT_EQ(switchCount(), 0u);
    EXPECT_EQ(platform.log, Strings { "terminate" });
}

TEST(LullswitchAppTest, RunsOneDelegateFromLaunchToTermination)
{
    fakes::FakePlatform platform;
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
