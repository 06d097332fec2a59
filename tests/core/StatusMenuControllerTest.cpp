#include "menu/StatusMenuController.h"
#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace lullswitch {
namespace {

using platform::ControlState;
using platform::MenuAction;
using platform::MenuTreeItem;
using platform::MenuTreeMenu;

static_assert(!std::is_default_constructible_v<StatusMenuController>);

class StatusMenuControllerTest : public ::testing::Test {
protected:
    std::unique_ptr<StatusMenuController> makeController()
    {
        return std::make_unique<StatusMenuController>([this] { calls.push_back("toggle"); },
            [this](double d) { delays.push_back(d); }, [this] { calls.push_back("switch"); },
            [this] { calls.push_back("about"); }, [this] { calls.push_back("quit"); });
    }

    MenuTreeMenu& menu() { return platform.statusBar.menu(); }
    MenuTreeMenu& delayMenu() { return dynamic_cast<MenuTreeMenu&>(*platform.statusBar.item("待ち時間").submenu()); }
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

struct Entry {
    const char* title; // nullptr: a separator
    std::optional<MenuAction> action;
    const char* key;
    bool targeted;
    bool enabled;
};

TEST_F(StatusMenuControllerTest, FirstStartMenu)
{
    auto controller = makeController();
    EXPECT_EQ(platform.statusBar.lastLength(), -1.0);
    auto* item = platform.statusBar.statusItem();
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->title(), "戻");
    EXPECT_EQ(item->toolTip(), "Lullswitch");

    const Entry expected[] = {
        { "Lullswitch", std::nullopt, "", false, false },
        { nullptr, std::nullopt, "", false, true },
        { "動作中：ON", MenuAction::toggleEnabled, "", true, true },
        { "待ち時間", std::nullopt, "", false, true },
        { "今すぐ英数へ戻す", MenuAction::switchNow, "", true, true },
        { nullptr, std::nullopt, "", false, true },
        { "監視方式：軽量タイマー", std::nullopt, "", false, false },
        { "入力内容は記録・送信しません", std::nullopt, "", false, false },
        { "このアプリについて", MenuAction::about, "", true, true },
        { nullptr, std::nullopt, "", false, true },
        { "終了", MenuAction::quit, "q", true, true },
    };
    ASSERT_EQ(menu().items().size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const auto& e = expected[i];
        const MenuTreeItem* entry = menu().itemAt(i);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->isSeparator(), e.title == nullptr) << i;
        if (e.title) {
            EXPECT_EQ(entry->title(), e.title) << i;
        }
        EXPECT_EQ(entry->action(), e.action) << i;
        EXPECT_EQ(entry->keyEquivalent(), e.key) << i;
        EXPECT_EQ(entry->target() == controller.get(), e.targeted) << i;
        EXPECT_EQ(entry->isEnabled(), e.enabled) << i;
        EXPECT_EQ(entry->submenu() != nullptr, i == 3) << i;
    }

    const char* delayTitles[] = { "1秒", "2秒", "3秒", "5秒" };
    const double delayValues[] = { 1.0, 2.0, 3.0, 5.0 };
    ASSERT_EQ(delayMenu().items().size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        const MenuTreeItem* entry = delayMenu().itemAt(i);
        EXPECT_EQ(entry->title(), delayTitles[i]);
        EXPECT_EQ(entry->action(), MenuAction::selectDelay);
        EXPECT_EQ(entry->keyEquivalent(), "");
        EXPECT_EQ(entry->target(), controller.get());
        EXPECT_EQ(entry->representedObject(), platform::RepresentedObject(delayValues[i]));
    }
    EXPECT_EQ(
        delayStates(), (std::vector { ControlState::off, ControlState::on, ControlState::off, ControlState::off }));
}

TEST_F(StatusMenuControllerTest, TitlesAreTheExactBytes)
{
    auto controller = makeController();
    // Full-width colon U+FF1A and katakana middle dot U+30FB.
    EXPECT_EQ(platform.statusBar.item("動作中：ON").title(), "\xe5\x8b\x95\xe4\xbd\x9c\xe4\xb8\xad\xef\xbc\x9aON");
    EXPECT_EQ(platform.statusBar.item("監視方式：軽量タイマー").title(),
        "\xe7\x9b\xa3\xe8\xa6\x96\xe6\x96\xb9\xe5\xbc\x8f\xef\xbc\x9a\xe8\xbb\xbd\xe9\x87\x8f\xe3\x82\xbf\xe3\x82"
        "\xa4\xe3\x83\x9e\xe3\x83\xbc");
    EXPECT_EQ(platform.statusBar.item("入力内容は記録・送信しません").title(),
        "\xe5\x85\xa5\xe5\x8a\x9b\xe5\x86\x85\xe5\xae\xb9\xe3\x81\xaf\xe8\xa8\x98\xe9\x8c\xb2\xe3\x83\xbb\xe9\x80"
        "\x81\xe4\xbf\xa1\xe3\x81\x97\xe3\x81\xbe\xe3\x81\x9b\xe3\x82\x93");
    EXPECT_EQ(platform.statusBar.statusItem()->title(), "\xe6\x88\xbb");
    platform.userDefaults.put("isEnabled", false);
    controller->rebuildMenu();
    EXPECT_EQ(platform.statusBar.statusItem()->title(), "\xe4\xbc\x91");
    EXPECT_EQ(menu().itemAt(2)->title(), "\xe5\x81\x9c\xe6\xad\xa2\xe4\xb8\xad\xef\xbc\x9aOFF");
    EXPECT_EQ(menu().itemAt(10)->title(), "\xe7\xb5\x82\xe4\xba\x86");
    EXPECT_EQ(delayMenu().itemAt(3)->title(), "5\xe7\xa7\x92");
}

TEST_F(StatusMenuControllerTest, OffStateAfterARebuild)
{
    auto controller = makeController();
    platform.userDefaults.put("isEnabled", false);
    controller->rebuildMenu();
    EXPECT_EQ(platform.statusBar.statusItem()->title(), "休");
    EXPECT_EQ(menu().itemAt(2)->title(), "停止中：OFF");
    EXPECT_EQ(menu().itemAt(2)->action(), MenuAction::toggleEnabled);
    EXPECT_EQ(delayStates()[1], ControlState::on);
}

TEST_F(StatusMenuControllerTest, CheckMarkFollowsTheStoredDelay)
{
    using S = ControlState;
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
}

TEST_F(StatusMenuControllerTest, RebuildReadsTheSettingsAfresh)
{
    auto controller = makeController();
    const int enabledReads = platform.userDefaults.readCount("isEnabled");
    const int delayReads = platform.userDefaults.readCount("delaySeconds");
    controller->rebuildMenu();
    EXPECT_EQ(platform.userDefaults.readCount("isEnabled") - enabledReads, 2);
    EXPECT_EQ(platform.userDefaults.readCount("delaySeconds") - delayReads, 4);
}

TEST_F(StatusMenuControllerTest, RebuildsReplaceEveryEntry)
{
    auto controller = makeController();
    controller->rebuildMenu();
    controller->rebuildMenu();
    EXPECT_EQ(menu().items().size(), 11u);
    int separators = 0;
    for (std::size_t i = 0; i < menu().items().size(); ++i)
        separators += menu().itemAt(i)->isSeparator() ? 1 : 0;
    EXPECT_EQ(separators, 3);
    EXPECT_EQ(delayMenu().items().size(), 4u);
    EXPECT_EQ(platform.statusBar.statusItemCount(), 1);
}

TEST_F(StatusMenuControllerTest, EachChoiceCallsItsCallbackOnce)
{
    auto controller = makeController();
    EXPECT_TRUE(platform.statusBar.choose("動作中：ON"));
    EXPECT_TRUE(platform.statusBar.choose("今すぐ英数へ戻す"));
    EXPECT_TRUE(platform.statusBar.choose("このアプリについて"));
    EXPECT_TRUE(platform.statusBar.choose("終了"));
    EXPECT_EQ(calls, (std::vector<std::string> { "toggle", "switch", "about", "quit" }));
    EXPECT_TRUE(delays.empty());
}

TEST_F(StatusMenuControllerTest, ChoosingADelayOnlyReportsIt)
{
    auto controller = makeController();
    const int writes = platform.userDefaults.writeCount();
    EXPECT_TRUE(platform.statusBar.choose("3秒"));
    EXPECT_EQ(delays, std::vector<double> { 3.0 });
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(platform.userDefaults.writeCount(), writes);
    // Nothing redraws until rebuildMenu is called.
    EXPECT_EQ(delayStates()[2], ControlState::off);
}

TEST_F(StatusMenuControllerTest, InformationalItemsCallNothing)
{
    auto controller = makeController();
    for (const char* title : { "Lullswitch", "監視方式：軽量タイマー", "入力内容は記録・送信しません", "待ち時間" })
        EXPECT_FALSE(platform.statusBar.choose(title)) << title;
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(delays.empty());
}

TEST_F(StatusMenuControllerTest, SelectDelayIgnoresAnythingButANumber)
{
    auto controller = makeController();
    for (const auto& object :
        { platform::RepresentedObject {}, platform::RepresentedObject { platform::OtherObject {} } }) {
        MenuTreeItem sender("x", MenuAction::selectDelay, "");
        sender.setRepresentedObject(object);
        controller->selectDelay(sender);
    }
    EXPECT_TRUE(delays.empty());
    MenuTreeItem sender("x", MenuAction::selectDelay, "");
    sender.setRepresentedObject(4.5);
    controller->perform(MenuAction::selectDelay, sender);
    EXPECT_EQ(delays, std::vector<double> { 4.5 });
}

TEST_F(StatusMenuControllerTest, ButtonlessStatusItemStillGetsTheFullMenu)
{
    platform.statusBar.setGivesButtons(false);
    auto controller = makeController();
    EXPECT_EQ(platform.statusBar.statusItem()->button(), nullptr);
    EXPECT_EQ(platform.statusBar.statusItem()->title(), "");
    EXPECT_EQ(menu().items().size(), 11u);
    EXPECT_EQ(delayMenu().items().size(), 4u);
    // Without a button, only the toggle line reads the switch.
    const int reads = platform.userDefaults.readCount("isEnabled");
    controller->rebuildMenu();
    EXPECT_EQ(platform.userDefaults.readCount("isEnabled") - reads, 1);
}

TEST_F(StatusMenuControllerTest, RebuildFromInsideAnAction)
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
    EXPECT_EQ(delayStates()[3], ControlState::on);
    EXPECT_EQ(menu().items().size(), 11u);
}

TEST_F(StatusMenuControllerTest, DestructionRemovesTheStatusItem)
{
    auto controller = makeController();
    controller.reset();
    EXPECT_EQ(platform.statusBar.statusItem(), nullptr);
}

} // namespace
} // namespace lullswitch
