#include "menu/StatusMenuController.h"
#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

namespace lullswitch {
namespace {

using platform::MenuAction;
using platform::MenuTreeItem;
using S = platform::ControlState;
using Strings = std::vector<std::string>;

class StatusMenuControllerTest : public ::testing::Test {
protected:
    std::unique_ptr<StatusMenuController> makeController()
    {
        return std::make_unique<StatusMenuController>([this] { calls.push_back("toggle"); },
            [this](double d) { calls.push_back(std::to_string(d)); }, [this] { calls.push_back("switch"); },
            [this] { calls.push_back("about"); }, [this] { calls.push_back("quit"); });
    }

    // The menu as a person reads it, an entry a line, a submenu's entries
    // indented under their parent, "-" a separator; then the action when
    // `target` performs it, (disabled), ^key, and [x] or [ ] for a check state.
    Strings shown(const StatusMenuController& target)
    {
        static const char* const actions[] = { " >toggle", " >delay", " >switch", " >about", " >quit" };
        Strings lines;
        const auto show = [&](const MenuTreeItem& item, std::string line) {
            line += item.isSeparator() ? "-" : item.title();
            if (item.action() && item.target() == &target)
                line += actions[static_cast<int>(*item.action())];
            if (!item.isEnabled())
                line += " (disabled)";
            if (!item.keyEquivalent().empty())
                line += " ^" + item.keyEquivalent();
            if (item.hasState())
                line += item.state() == S::on ? " [x]" : " [ ]";
            lines.push_back(line);
        };
        for (const auto& item : platform.statusBar.menu().items()) {
            show(*item, "");
            if (auto* submenu = item->treeSubmenu())
                for (const auto& child : submenu->items())
                    show(*child, "  ");
        }
        return lines;
    }

    fakes::FakePlatform platform;
    Strings calls;
};

// The whole menu: the one place its contents are written down. A status item
// without a button gets the same menu.
TEST_F(StatusMenuControllerTest, FirstStartMenu)
{
    for (bool hasButton : { true, false }) {
        platform.statusBar.setGivesButtons(hasButton);
        auto controller = makeController();
        EXPECT_EQ(platform.statusBar.lastLength(), platform::variableStatusItemLength);
        EXPECT_EQ(platform.statusBar.statusItem().title(), hasButton ? "戻" : "");
        EXPECT_EQ(platform.statusBar.statusItem().toolTip(), hasButton ? "Lullswitch" : "");
        EXPECT_EQ(shown(*controller),
            (Strings { "Lullswitch (disabled)", "-", "動作中：ON >toggle", "待ち時間", "  1秒 >delay [ ]",
                "  2秒 >delay [x]", "  3秒 >delay [ ]", "  5秒 >delay [ ]", "今すぐ英数へ戻す >switch", "-",
                "監視方式：軽量タイマー (disabled)", "入力内容は記録・送信しません (disabled)",
                "このアプリについて >about", "-", "終了 >quit ^q" }));
        EXPECT_FALSE(platform.statusBar.choose("Lullswitch"));
    }
    EXPECT_EQ(platform.statusBar.statusItemCount(), 0); // gone with its controller
}

// Each rebuild reads the store afresh and replaces every entry; only a delay
// exactly equal to a choice is checked.
TEST_F(StatusMenuControllerTest, RebuildShowsTheStoredSwitchAndDelay)
{
    auto controller = makeController();
    const std::pair<double, Strings> cases[]
        = { { 5.0, { "  5秒 >delay [x]" } }, { 1.0, { "  1秒 >delay [x]" } }, { 4.0, {} }, { 3.0000000000000004, {} } };
    for (const auto& [stored, checked] : cases) {
        platform.userDefaults.put("delaySeconds", stored);
        controller->rebuildMenu();
        Strings lines = shown(*controller);
        std::erase_if(lines, [](const std::string& line) { return !line.ends_with("[x]"); });
        EXPECT_EQ(lines, checked) << stored;
    }
}

// Which entry calls which callback is shown above and, through the real
// handlers, by AppDelegateTest. A delay choice needs a number.
TEST_F(StatusMenuControllerTest, ADelayChoiceCallsItsCallbackWithItsNumberOnly)
{
    auto controller = makeController();
    ASSERT_TRUE(platform.statusBar.choose("5秒"));
    for (const auto& object : { platform::RepresentedObject {},
             platform::RepresentedObject { platform::OtherObject {} }, platform::RepresentedObject { 4.5 } }) {
        MenuTreeItem sender("x", MenuAction::selectDelay, "");
        sender.setRepresentedObject(object);
        controller->perform(MenuAction::selectDelay, sender);
    }
    EXPECT_EQ(calls, (Strings { "5.000000", "4.500000" }));
}

// Each change to an entry, a menu or a status item is announced once: a tray
// sends what changed.
TEST(MenuTreeTest, EveryChangeIsAnnouncedOnce)
{
    int changes = 0;
    const auto count = [&] { ++changes; };
    MenuTreeItem item("x", MenuAction::quit, "", count);
    platform::MenuTreeMenu menu(count);
    platform::MenuTreeStatusItem statusItem(true, count);
    const std::function<void()> changesMade[] = { [&] { item.setTarget(nullptr); }, [&] { item.setEnabled(false); },
        [&] { item.setState(S::on); }, [&] { item.setRepresentedObject({}); },
        [&] { item.setSubmenu(std::make_shared<platform::MenuTreeMenu>()); },
        [&] { menu.addItem(MenuTreeItem::separator()); }, [&] { menu.removeAllItems(); },
        [&] { statusItem.setMenu(nullptr); }, [&] { statusItem.button()->setTitle("t"); },
        [&] { statusItem.button()->setToolTip("t"); } };
    for (const auto& change : changesMade) {
        const int before = changes;
        change();
        EXPECT_EQ(changes, before + 1) << &change - changesMade;
    }
}

} // namespace
} // namespace lullswitch
