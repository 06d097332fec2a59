#include "menu/StatusMenuController.h"
#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

namespace lullswitch {
namespace {

using platform::ControlState;
using platform::MenuAction;
using platform::MenuTreeItem;
using platform::MenuTreeMenu;
using S = ControlState;

class StatusMenuControllerTest : public ::testing::Test {
protected:
    std::unique_ptr<StatusMenuController> makeController()
    {
        return std::make_unique<StatusMenuController>([this] { calls.push_back("toggle"); },
            [this](double d) { delays.push_back(d); }, [this] { calls.push_back("switch"); },
            [this] { calls.push_back("about"); }, [this] { calls.push_back("quit"); });
    }

    MenuTreeMenu& menu() { return platform.statusBar.menu(); }
    MenuTreeMenu& delayMenu() { return *platform.statusBar.item("待ち時間").treeSubmenu(); }
    std::vector<ControlState> delayStates()
    {
        std::vector<ControlState> states;
        for (std::size_t i = 0; i < delayMenu().items().size(); ++i)
            states.push_back(delayMenu().itemAt(i)->state());
        return states;
    }

    fakes::FakePlatform platform;
    std::vector<std::string> calls;
    std::vector<double> delays;
};

// The whole menu, entry by entry: the one place its contents are written down.
TEST_F(StatusMenuControllerTest, FirstStartMenu)
{
    auto controller = makeController();
    EXPECT_EQ(platform.statusBar.lastLength(), -1.0);
    EXPECT_EQ(platform.statusBar.statusItem()->title(), "戻");
    EXPECT_EQ(platform.statusBar.statusItem()->toolTip(), "Lullswitch");
    const struct {
        const char* title; // nullptr: a separator
        std::optional<MenuAction> action;
        const char* key;
        bool enabled;
    } expected[] = {
        { "Lullswitch", std::nullopt, "", false },
        { nullptr, std::nullopt, "", true },
        { "動作中：ON", MenuAction::toggleEnabled, "", true },
        { "待ち時間", std::nullopt, "", true },
        { "今すぐ英数へ戻す", MenuAction::switchNow, "", true },
        { nullptr, std::nullopt, "", true },
        { "監視方式：軽量タイマー", std::nullopt, "", false },
        { "入力内容は記録・送信しません", std::nullopt, "", false },
        { "このアプリについて", MenuAction::about, "", true },
        { nullptr, std::nullopt, "", true },
        { "終了", MenuAction::quit, "q", true },
    };
    ASSERT_EQ(menu().items().size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const auto& e = expected[i];
        const MenuTreeItem* entry = menu().itemAt(i);
        EXPECT_EQ(entry->isSeparator(), e.title == nullptr) << i;
        EXPECT_EQ(entry->title(), e.title ? e.title : "") << i;
        EXPECT_EQ(entry->action(), e.action) << i;
        EXPECT_EQ(entry->keyEquivalent(), e.key) << i;
        EXPECT_EQ(entry->target() == controller.get(), e.action.has_value()) << i;
        EXPECT_EQ(entry->isEnabled(), e.enabled) << i;
        EXPECT_EQ(entry->submenu() != nullptr, i == 3) << i;
        EXPECT_FALSE(entry->hasState()) << i;
    }
    const char* delayTitles[] = { "1秒", "2秒", "3秒", "5秒" };
    ASSERT_EQ(delayMenu().items().size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        const MenuTreeItem* entry = delayMenu().itemAt(i);
        EXPECT_EQ(entry->title(), delayTitles[i]);
        EXPECT_EQ(entry->action(), MenuAction::selectDelay);
        EXPECT_EQ(entry->keyEquivalent(), "");
        EXPECT_EQ(entry->target(), controller.get());
        EXPECT_TRUE(entry->hasState());
        EXPECT_EQ(entry->representedObject(), platform::RepresentedObject(StatusMenuController::delayChoices[i]));
    }
    EXPECT_EQ(delayStates(), (std::vector { S::off, S::on, S::off, S::off }));
}

TEST_F(StatusMenuControllerTest, OffStateAfterARebuild)
{
    auto controller = makeController();
    platform.userDefaults.put("isEnabled", false);
    controller->rebuildMenu();
    EXPECT_EQ(platform.statusBar.statusItem()->title(), "休");
    EXPECT_EQ(menu().itemAt(2)->title(), "停止中：OFF");
    EXPECT_EQ(menu().itemAt(2)->action(), MenuAction::toggleEnabled);
}

// Each rebuild reads the store afresh and replaces every entry.
TEST_F(StatusMenuControllerTest, CheckMarkFollowsTheStoredDelay)
{
    const struct {
        std::optional<double> stored;
        std::vector<S> states;
    } cases[] = {
        { 5.0, { S::off, S::off, S::off, S::on } },
        { 1.0, { S::on, S::off, S::off, S::off } },
        { 0.0, { S::off, S::on, S::off, S::off } },
        { -1.0, { S::off, S::on, S::off, S::off } },
        { std::nullopt, { S::off, S::on, S::off, S::off } },
        { 4.0, { S::off, S::off, S::off, S::off } },
        { 0.5, { S::off, S::off, S::off, S::off } },
        { 30.0, { S::off, S::off, S::off, S::off } },
        { 3.0000000000000004, { S::off, S::off, S::off, S::off } },
    };
    auto controller = makeController();
    for (const auto& c : cases) {
        platform.userDefaults.reset();
        if (c.stored)
            platform.userDefaults.put("delaySeconds", *c.stored);
        controller->rebuildMenu();
        EXPECT_EQ(delayStates(), c.states) << c.stored.value_or(-99);
    }
    EXPECT_EQ(menu().items().size(), 11u);
    EXPECT_EQ(platform.statusBar.statusItemCount(), 1);
}

// Choosing only reports the choice; nothing is written or redrawn.
TEST_F(StatusMenuControllerTest, EachChoiceCallsItsCallbackOnce)
{
    const struct {
        const char* title;
        bool acts;
        std::vector<std::string> calls;
        std::vector<double> delays;
    } cases[] = {
        { "動作中：ON", true, { "toggle" }, {} },
        { "今すぐ英数へ戻す", true, { "switch" }, {} },
        { "このアプリについて", true, { "about" }, {} },
        { "終了", true, { "quit" }, {} },
        { "3秒", true, {}, { 3.0 } },
        { "Lullswitch", false, {}, {} },
        { "監視方式：軽量タイマー", false, {}, {} },
        { "入力内容は記録・送信しません", false, {}, {} },
        { "待ち時間", false, {}, {} },
    };
    auto controller = makeController();
    const int writes = platform.userDefaults.writeCount();
    for (const auto& c : cases) {
        calls.clear();
        delays.clear();
        EXPECT_EQ(platform.statusBar.choose(c.title), c.acts) << c.title;
        EXPECT_EQ(calls, c.calls) << c.title;
        EXPECT_EQ(delays, c.delays) << c.title;
    }
    EXPECT_EQ(platform.userDefaults.writeCount(), writes);
    EXPECT_EQ(delayStates()[2], S::off);
}

TEST_F(StatusMenuControllerTest, SelectDelayIgnoresAnythingButANumber)
{
    auto controller = makeController();
    for (const auto& object : { platform::RepresentedObject {},
             platform::RepresentedObject { platform::OtherObject {} }, platform::RepresentedObject { 4.5 } }) {
        MenuTreeItem sender("x", MenuAction::selectDelay, "");
        sender.setRepresentedObject(object);
        controller->perform(MenuAction::selectDelay, sender);
    }
    EXPECT_EQ(delays, std::vector<double> { 4.5 });
}

TEST_F(StatusMenuControllerTest, ButtonlessStatusItemStillGetsTheFullMenu)
{
    platform.statusBar.setGivesButtons(false);
    auto controller = makeController();
    EXPECT_EQ(platform.statusBar.statusItem()->title(), "");
    EXPECT_EQ(menu().items().size(), 11u);
    EXPECT_EQ(delayMenu().items().size(), 4u);
    // Without a button, only the toggle line reads the switch.
    const int reads = platform.userDefaults.readCount("isEnabled");
    controller->rebuildMenu();
    EXPECT_EQ(platform.userDefaults.readCount("isEnabled") - reads, 1);
}

TEST_F(StatusMenuControllerTest, RebuildFromInsideAnActionThenDestruction)
{
    std::unique_ptr<StatusMenuController> controller;
    controller = std::make_unique<StatusMenuController>(
        [&] {
            platform.userDefaults.put("isEnabled", false);
            controller->rebuildMenu();
        },
        [&](double d) {
            platform.userDefaults.put("delaySeconds", d);
            controller->rebuildMenu();
        },
        [] {}, [] {}, [] {});
    EXPECT_TRUE(platform.statusBar.choose("動作中：ON"));
    EXPECT_EQ(menu().itemAt(2)->title(), "停止中：OFF");
    EXPECT_TRUE(platform.statusBar.choose("5秒"));
    EXPECT_EQ(delayStates()[3], S::on);
    EXPECT_EQ(menu().items().size(), 11u);
    controller.reset();
    EXPECT_EQ(platform.statusBar.statusItem(), nullptr);
}

} // namespace
} // namespace lullswitch
