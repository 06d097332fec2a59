#include "menu/StatusMenuController.h"
#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

namespace lullswitch {
namespace {

using platform::MenuAction;
using platform::MenuTreeItem;
using platform::MenuTreeMenu;
using S = platform::ControlState;

class StatusMenuControllerTest : public ::testing::Test {
protected:
    std::unique_ptr<StatusMenuController> makeController()
    {
        return std::make_unique<StatusMenuController>([this] { calls.push_back("toggle"); },
            [this](double d) { calls.push_back(std::to_string(d)); }, [this] { calls.push_back("switch"); },
            [this] { calls.push_back("about"); }, [this] { calls.push_back("quit"); });
    }

    MenuTreeMenu& menu() { return platform.statusBar.menu(); }
    MenuTreeMenu& delayMenu() { return *platform.statusBar.item("待ち時間").treeSubmenu(); }
    std::vector<S> delayStates()
    {
        std::vector<S> states;
        for (std::size_t i = 0; i < delayMenu().items().size(); ++i)
            if (auto* item = delayMenu().itemAt(i))
                states.push_back(item->state());
        return states;
    }

    fakes::FakePlatform platform;
    std::vector<std::string> calls;
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
        bool enabled = true;
    } expected[] = {
        { "Lullswitch", std::nullopt, false },
        { nullptr, std::nullopt },
        { "動作中：ON", MenuAction::toggleEnabled },
        { "待ち時間", std::nullopt },
        { "今すぐ英数へ戻す", MenuAction::switchNow },
        { nullptr, std::nullopt },
        { "監視方式：軽量タイマー", std::nullopt, false },
        { "入力内容は記録・送信しません", std::nullopt, false },
        { "このアプリについて", MenuAction::about },
        { nullptr, std::nullopt },
        { "終了", MenuAction::quit },
    };
    ASSERT_EQ(menu().items().size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const auto& e = expected[i];
        const MenuTreeItem* entry = menu().itemAt(i);
        EXPECT_EQ(entry->isSeparator(), e.title == nullptr) << i;
        EXPECT_EQ(entry->title(), e.title ? e.title : "") << i;
        EXPECT_EQ(entry->action(), e.action) << i;
        EXPECT_EQ(entry->keyEquivalent(), i == 10 ? "q" : "") << i;
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

// Each rebuild reads the store afresh and replaces every entry.
TEST_F(StatusMenuControllerTest, RebuildShowsTheStoredSwitchAndDelay)
{
    auto controller = makeController();
    platform.userDefaults.put("isEnabled", false);
    controller->rebuildMenu();
    EXPECT_EQ(platform.statusBar.statusItem()->title(), "休");
    EXPECT_EQ(platform.statusBar.item("停止中：OFF").action(), MenuAction::toggleEnabled);
    const auto none = std::vector(4, S::off);
    const std::pair<std::optional<double>, std::vector<S>> cases[]
        = { { 5.0, { S::off, S::off, S::off, S::on } }, { 1.0, { S::on, S::off, S::off, S::off } },
              { 0.0, { S::off, S::on, S::off, S::off } }, { std::nullopt, { S::off, S::on, S::off, S::off } },
              { 4.0, none }, { 0.5, none }, { 30.0, none }, { 3.0000000000000004, none } };
    for (const auto& [stored, states] : cases) {
        platform.userDefaults.reset();
        if (stored)
            platform.userDefaults.put("delaySeconds", *stored);
        controller->rebuildMenu();
        EXPECT_EQ(delayStates(), states) << stored.value_or(-99);
    }
    EXPECT_EQ(menu().items().size(), 11u);
    EXPECT_EQ(platform.statusBar.statusItemCount(), 1);
}

// Choosing only reports the choice; nothing is written or redrawn.
TEST_F(StatusMenuControllerTest, EachChoiceCallsItsCallbackOnce)
{
    const std::pair<const char*, const char*> cases[] = { { "動作中：ON", "toggle" }, { "今すぐ英数へ戻す", "switch" },
        { "このアプリについて", "about" }, { "終了", "quit" }, { "3秒", "3.000000" }, { "Lullswitch", nullptr },
        { "監視方式：軽量タイマー", nullptr }, { "入力内容は記録・送信しません", nullptr }, { "待ち時間", nullptr } };
    auto controller = makeController();
    // Seeding on the first use in a fresh process is not the choices' doing.
    const int writesBefore = platform.userDefaults.writeCount();
    for (const auto& [title, call] : cases) {
        calls.clear();
        EXPECT_EQ(platform.statusBar.choose(title), call != nullptr) << title;
        EXPECT_EQ(calls, call ? std::vector<std::string> { call } : std::vector<std::string> {}) << title;
    }
    EXPECT_EQ(platform.userDefaults.writeCount(), writesBefore);
    EXPECT_EQ(delayStates()[2], S::off);
    // A delay choice needs a number.
    calls.clear();
    for (const auto& object : { platform::RepresentedObject {},
             platform::RepresentedObject { platform::OtherObject {} }, platform::RepresentedObject { 4.5 } }) {
        MenuTreeItem sender("x", MenuAction::selectDelay, "");
        sender.setRepresentedObject(object);
        controller->perform(MenuAction::selectDelay, sender);
    }
    EXPECT_EQ(calls, std::vector<std::string> { "4.500000" });
}

TEST_F(StatusMenuControllerTest, ButtonlessStatusItemStillGetsTheMenu)
{
    platform.statusBar.setGivesButtons(false);
    auto controller = makeController();
    EXPECT_EQ(platform.statusBar.statusItem()->title(), "");
    EXPECT_EQ(menu().items().size(), 11u);
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
    EXPECT_EQ(platform.statusBar.item("停止中：OFF").action(), MenuAction::toggleEnabled);
    EXPECT_TRUE(platform.statusBar.choose("5秒"));
    EXPECT_EQ(delayStates()[3], S::on);
    controller.reset();
    EXPECT_EQ(platform.statusBar.statusItem(), nullptr);
}

} // namespace
} // namespace lullswitch
