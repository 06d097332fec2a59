#include "app/AppDelegate.h"
#include "app/LullswitchApp.h"
#include "fakes/FakePlatform.h"

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

    void launch()
    {
        delegate = AppDelegate::create();
        delegate->applicationDidFinishLaunching();
    }
    IdleKeyboardWatcher& watcher() { return delegate->keyboardWatcher(); }
    std::size_t switchCount() { return platform.inputSources.selections().size(); }

    fakes::FakePlatform platform;
    std::shared_ptr<AppDelegate> delegate;
};

// Idle time is measured against the delay stored at that moment.
TEST_F(AppDelegateTest, IdlePastTheStoredDelaySwitchesAJapaneseSourceOnly)
{
    platform.userDefaults.put("delaySeconds", 5.0);
    launch();
    platform.tick(4.0);
    EXPECT_EQ(switchCount(), 0u);
    platform.userDefaults.put("delaySeconds", 3.0);
    platform.tick(4.0);
    EXPECT_EQ(platform.inputSources.selections(), Strings { "com.apple.keylayout.ABC" });
    platform.tick(0.0);
    platform.tick(4.0); // now alphanumeric
    EXPECT_EQ(switchCount(), 1u);
    platform.userDefaults.put("isEnabled", false);
    const int copies = platform.inputSources.currentCopyCount();
    watcher().onIdle(); // while off, the source is not even asked
    EXPECT_EQ(platform.inputSources.currentCopyCount(), copies);
}

// The toggle and another writer's change take effect alike.
TEST_F(AppDelegateTest, TheSwitchTakesEffectWhetherToggledOrChangedOutside)
{
    const struct {
        StoredObject atLaunch;
        const char* choice; // nullptr: another writer stores `after`
        StoredObject after;
        const char* title;
    } cases[] = { { true, "動作中：ON", false, "休" }, { false, "停止中：OFF", true, "戻" },
        { false, nullptr, true, "戻" }, { true, nullptr, false, "休" } };
    for (const auto& c : cases) {
        platform.userDefaults.put("isEnabled", c.atLaunch);
        launch();
        EXPECT_EQ(watcher().isRunning(), c.atLaunch == StoredObject(true));
        if (c.choice)
            ASSERT_TRUE(platform.statusBar.choose(c.choice));
        else
            platform.userDefaults.putExternally("isEnabled", c.after);
        EXPECT_EQ(watcher().isRunning(), c.after == StoredObject(true));
        EXPECT_EQ(platform.statusBar.statusItem().title(), c.title);
    }
}

// On or off alike: while off the restarted watcher's ticks do nothing.
TEST_F(AppDelegateTest, ChoosingADelayStoresItAndRestartsTheWatcher)
{
    for (const auto& [isEnabled, choice] : { std::pair(true, "3秒"), std::pair(false, "1秒") }) {
        platform.userDefaults.put("isEnabled", isEnabled);
        launch();
        const int timers = platform.mainLoop.timersCreated();
        ASSERT_TRUE(platform.statusBar.choose(choice));
        EXPECT_EQ(platform.statusBar.item(choice).state(), platform::ControlState::on);
        EXPECT_EQ(platform.mainLoop.timersCreated(), timers + 1);
    }
}

// Also when off or already alphanumeric.
TEST_F(AppDelegateTest, SwitchNowIsUnconditionalAndLeavesTheLatch)
{
    platform.inputSources.setCurrent(1);
    launch();
    platform.tick(10.0);
    ASSERT_TRUE(platform.statusBar.choose("今すぐ英数へ戻す"));
    EXPECT_TRUE(watcher().hasFiredForCurrentIdlePeriod());
    platform.userDefaults.put("isEnabled", false);
    ASSERT_TRUE(platform.statusBar.choose("今すぐ英数へ戻す"));
    EXPECT_EQ(switchCount(), 2u);
}

// Also when repeated.
TEST_F(AppDelegateTest, TerminationOnlyStopsTheWatcher)
{
    launch();
    const int writes = platform.userDefaults.writeCount();
    delegate->applicationWillTerminate();
    delegate->applicationWillTerminate();
    EXPECT_FALSE(watcher().isRunning());
    EXPECT_EQ(platform.statusBar.statusItemCount(), 1);
    EXPECT_EQ(platform.userDefaults.writeCount(), writes);
}

// Construction touches nothing. Every handler outliving its delegate: each
// still does its store or application step and skips the delegate's.
TEST_F(AppDelegateTest, HandlersWithAGoneDelegateSkipOnlyTheirDelegateSteps)
{
    delegate = AppDelegate::create();
    EXPECT_EQ(platform.userDefaults.readCount(), 0);
    EXPECT_TRUE(platform.log.empty());
    auto handlers = AppDelegate::makeCommandHandlers(delegate);
    auto onIdle = AppDelegate::makeIdleCallback(delegate);
    delegate.reset();
    handlers.onToggleEnabled();
    EXPECT_EQ(platform.userDefaults.stored("isEnabled"), StoredObject(false));
    handlers.onSetDelay(0.1);
    EXPECT_EQ(platform.userDefaults.stored("delaySeconds"), StoredObject(0.5));
    handlers.onSwitchNow();
    handlers.onAbout();
    platform.userDefaults.put("isEnabled", true);
    onIdle();
    handlers.onQuit();
    EXPECT_EQ(switchCount(), 0u);
    EXPECT_EQ(platform.log, Strings { "terminate" });
}

// Launching runs its steps in order; About shows its fixed alert once;
// quitting stops the watcher before terminating; the status item goes with
// the delegate.
TEST(LullswitchAppTest, RunsOneDelegateFromLaunchToTermination)
{
    fakes::FakePlatform platform;
    platform.application.openWindows({ "settings", "other" });
    platform.application.whileRunning = [&] {
        platform.statusBar.choose("このアプリについて");
        platform.statusBar.choose("終了");
    };
    EXPECT_EQ(LullswitchApp::main(), 0);
    EXPECT_EQ(platform.log,
        (Strings { "activation policy 1", "window closed settings", "window closed other", "status item created",
            "timer scheduled",
            "alert "
            "Lullswitch|2秒間キーボード操作がないとき、日本語入力から英数入力へ戻す軽量メニューバーアプリです。\n\n"
            "入力内容は記録・保存・送信しません。|1|OK",
            "timer cancelled", "terminate" }));
    EXPECT_EQ(platform.statusBar.statusItemCount(), 0);
}

} // namespace
} // namespace lullswitch
