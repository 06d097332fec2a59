// The tray item and its menu, in this process, against the test tray host on
// the virtual session's bus: what a panel sees and what its clicks do.
#include "SessionSupport.h"
#include "TrayTestSupport.h"
#include "fakes/FakeApplication.h"
#include "fakes/FakeInputSources.h"
#include "fakes/FakeKeyboardEventClock.h"
#include "fakes/FakeMainLoop.h"
#include "fakes/FakeUserDefaults.h"
#include "menu/StatusMenuController.h"
#include "platform/Platform.h"
#include "platform/linux/DBusMenuExporter.h"
#include "platform/linux/LinuxStatusBar.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>

namespace lullswitch::tray_test {
namespace {

using linux_backend::GMallocPtr;
using linux_backend::GVariantPtr;
using session_test::iterateFor;
using session_test::iterateUntil;
using session_test::sessionBus;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// The real tray status bar; every other service a fake.
class TrayItemTest : public ::testing::Test {
protected:
    TrayItemTest() { fakes::FakeUserDefaults::standard().reset(); }

    // A controller whose callbacks record and redraw, as the delegate's do.
    void makeController()
    {
        controller = std::make_unique<StatusMenuController>(
            [this] {
                ++otherActions;
                auto& defaults = fakes::FakeUserDefaults::standard();
                const auto stored = defaults.object("isEnabled");
                defaults.setBool(stored.boolean() ? !*stored.boolean() : false, "isEnabled");
                controller->rebuildMenu();
            },
            [this](double seconds) {
                delays.push_back(seconds);
                fakes::FakeUserDefaults::standard().setDouble(seconds, "delaySeconds");
                controller->rebuildMenu();
            },
            [this] { ++otherActions; }, [this] { onAbout(); }, [this] { ++otherActions; });
    }

    // Waits until the item has registered and its first layout was sent.
    void waitForItem()
    {
        ASSERT_TRUE(iterateUntil([&] { return host.items().size() == 1 && host.lastLayoutRevision(); }, 5));
    }

    fakes::FakeKeyboardEventClock clock;
    fakes::FakeMainLoop mainLoop;
    fakes::FakeInputSources inputSources;
    fakes::FakeApplication application;
    linux_backend::LinuxStatusBar statusBar { sessionBus() };
    platform::Platform platform { fakes::FakeUserDefaults::standard(), clock, mainLoop, inputSources, statusBar,
        application };
    platform::ScopedPlatform installed { platform };
    TestTrayHost host;
    std::unique_ptr<StatusMenuController> controller;
    int otherActions = 0; // toggle, switch, quit
    std::vector<double> delays;
    std::function<void()> onAbout = [] {};
};

TEST_F(TrayItemTest, RegistersByUniqueNameWithTheItemProperties)
{
    makeController();
    waitForItem();

    const auto item = host.items().front();
    EXPECT_EQ(item.busName, g_dbus_connection_get_unique_name(sessionBus()));
    EXPECT_EQ(item.objectPath, "/StatusNotifierItem");
    const std::pair<const char*, const char*> properties[] = { { "Category", "'ApplicationStatus'" },
        { "Id", "'lullswitch'" }, { "Title", "'戻'" }, { "XAyatanaLabel", "'戻'" }, { "Status", "'Active'" },
        { "Menu", "'/MenuBar'" }, { "ItemIsMenu", "true" }, { "ToolTip", "('', [], 'Lullswitch', '')" } };
    for (const auto& [name, expected] : properties) {
        auto value = pump([&] { return host.itemProperty(name); });
        EXPECT_STREQ(GMallocPtr<gchar>(g_variant_print(value.get(), FALSE)).get(), expected) << name;
    }
    // No Activate: a plain click opens the menu.
    const auto reply = pump([&] {
        return host.call(
            item.busName, item.objectPath, "org.freedesktop.DBus.Introspectable", "Introspect", nullptr, "(s)");
    });
    const gchar* xml;
    g_variant_get(reply.get(), "(&s)", &xml);
    EXPECT_THAT(xml, HasSubstr("org.kde.StatusNotifierItem"));
    EXPECT_THAT(xml, Not(HasSubstr("\"Activate\"")));
}

// Each entry: (w, h, bytes) with w·h·4 bytes of A,R,G,B.
std::vector<std::tuple<int, int, std::string>> pixmaps(GVariant* list)
{
    std::vector<std::tuple<int, int, std::string>> result;
    for (gsize i = 0, n = g_variant_n_children(list); i < n; ++i) {
        gint32 width;
        gint32 height;
        GVariant* bytes;
        g_variant_get_child(list, i, "(ii@ay)", &width, &height, &bytes);
        gsize size;
        const auto* data = static_cast<const char*>(g_variant_get_fixed_array(bytes, &size, 1));
        result.emplace_back(width, height, std::string(data, size));
        g_variant_unref(bytes);
    }
    return result;
}

// Title, label and icon change together, announced once and only when the
// title changes; rebuilds within one iteration send one layout update.
TEST_F(TrayItemTest, TitleChangeIsAnnouncedOnceAndOnlyWhenItChanges)
{
    makeController();
    waitForItem();
    iterateFor(0.3); // the first title's own announcements arrive first
    auto on = pixmaps(pump([&] { return host.itemProperty("IconPixmap"); }).get());
    const std::map<std::string, int> before
        = { { "NewTitle", host.signalCount("NewTitle") }, { "XAyatanaNewLabel", host.signalCount("XAyatanaNewLabel") },
              { "NewIcon", host.signalCount("NewIcon") }, { "LayoutUpdated", host.signalCount("LayoutUpdated") } };

    fakes::FakeUserDefaults::standard().setBool(false, "isEnabled");
    controller->rebuildMenu();
    controller->rebuildMenu();
    ASSERT_TRUE(iterateUntil([&] { return host.signalCount("NewIcon") > before.at("NewIcon"); }, 5));
    iterateFor(0.3);
    for (const auto& [signal, count] : before)
        EXPECT_EQ(host.signalCount(signal), count + 1) << signal;
    EXPECT_STREQ(g_variant_get_string(pump([&] { return host.itemProperty("Title"); }).get(), nullptr), "休");
    auto off = pixmaps(pump([&] { return host.itemProperty("IconPixmap"); }).get());
    std::vector<int> sizes;
    for (std::size_t i = 0; i < on.size(); ++i) {
        const auto& [width, height, argb] = on[i];
        sizes.push_back(width);
        EXPECT_EQ(width, height);
        ASSERT_EQ(argb.size(), static_cast<std::size_t>(width * height * 4));
        EXPECT_NE(argb, std::get<2>(off.at(i))) << "戻 and 休 look alike at " << width;
    }
    EXPECT_THAT(sizes, ElementsAre(16, 22, 24, 32, 48));
}

// Ids, depth, parents and property names as GetLayout takes them; what the
// entries say is the menu controller's concern.
TEST_F(TrayItemTest, GetLayoutHonoursParentDepthAndPropertyNames)
{
    makeController();
    waitForItem();
    const auto root = pump([&] { return host.menu(); });
    EXPECT_EQ(root.id, 0);
    EXPECT_EQ(root.printed("children-display"), "'submenu'");
    std::set<std::int32_t> ids;
    std::function<void(const MenuEntry&)> collect = [&](const MenuEntry& entry) {
        for (const auto& child : entry.children) {
            EXPECT_TRUE(ids.insert(child.id).second) << "id " << child.id << " twice";
            collect(child);
        }
    };
    collect(root);
    EXPECT_FALSE(ids.contains(0));
    const auto& delay = root.find("待ち時間");
    EXPECT_EQ(delay.printed("children-display"), "'submenu'");

    EXPECT_TRUE(pump([&] { return host.layout(0, 0); }).second.children.empty());
    const auto oneLevel = pump([&] { return host.layout(0, 1); }).second;
    EXPECT_EQ(oneLevel.children.size(), root.children.size());
    EXPECT_TRUE(oneLevel.find("待ち時間").children.empty());
    const auto submenu = pump([&] { return host.layout(delay.id, -1); }).second;
    EXPECT_EQ(submenu.id, delay.id);
    EXPECT_EQ(submenu.children.size(), delay.children.size());
    const auto labelsOnly = pump([&] { return host.layout(0, -1, { "label" }); }).second;
    EXPECT_EQ(g_variant_n_children(labelsOnly.find("2秒").properties.get()), 1u);
    EXPECT_THROW(pump([&] { return host.layout(987654, -1); }), TrayError);
}

// A click acts (other events, disabled entries and separators do nothing) and
// the rebuild it causes is a new revision with new ids: a click on an id from
// the earlier layout is an error and does nothing.
TEST_F(TrayItemTest, ClickActsOnceAndIdsFromAnEarlierLayoutAreRefused)
{
    makeController();
    waitForItem();
    const auto before = pump([&] { return host.layout(); });
    const int updates = host.signalCount("LayoutUpdated");
    pump([&] { host.event(before.second.find("3秒").id, "hovered"); });
    for (const auto& entry : before.second.children)
        if (entry.printed("enabled") == "false" || entry.printed("type") == "'separator'")
            pump([&] { host.event(entry.id); });
    iterateFor(0.2);
    EXPECT_EQ(host.signalCount("LayoutUpdated"), updates);

    pump([&] { host.click("3秒"); });
    ASSERT_TRUE(iterateUntil([&] { return host.signalCount("LayoutUpdated") > updates; }, 5));
    const auto after = pump([&] { return host.layout(); });
    EXPECT_EQ(after.first, before.first + 1);
    EXPECT_EQ(*host.lastLayoutRevision(), after.first);
    const auto staleId = before.second.find("3秒").id;
    EXPECT_NE(after.second.find("3秒").id, staleId);
    EXPECT_THROW(pump([&] { host.event(staleId); }), TrayError);
    iterateFor(0.2);
    EXPECT_THAT(delays, ElementsAre(3.0));
    EXPECT_EQ(otherActions, 0);
}

// Version 3 of the protocol: unknown ids are errors, in the group forms per
// id; a group is bounded, and its repeated clicks on one item act once.
TEST_F(TrayItemTest, CallsOnUnknownIdsAndGroupsAreAnsweredAsTheProtocolSays)
{
    makeController();
    waitForItem();
    const auto root = pump([&] { return host.menu(); });
    const auto fiveSeconds = std::to_string(root.find("5秒").id);
    const auto header = std::to_string(root.find("Lullswitch").id);
    std::string tooMany = "[";
    for (std::size_t i = 0; i <= linux_backend::DBusMenuExporter::maximumGroupEvents; ++i)
        tooMany += "(0, 'hovered', <0>, uint32 0),";
    tooMany.back() = ']';
    const std::string click = ", 'clicked', <0>, uint32 0)";
    const struct {
        const char* method;
        std::string parameters;
        const char* replyType;
        std::string expected; // the printed reply, or the error's text
    } cases[] = {
        { "GetGroupProperties", "([" + header + ", 987654], ['enabled'])", "(a(ia{sv}))",
            "([(" + header + ", {'enabled': <false>})],)" },
        { "GetGroupProperties", "(@ai [], ['type'])", "(a(ia{sv}))", "([(0, {}), (" },
        { "GetProperty", "(" + header + ", 'enabled')", "(v)", "(<false>,)" },
        { "GetProperty", "(987654, 'label')", "(v)", "No menu item has the id 987654" },
        { "GetProperty", "(" + header + ", 'no-such-property')", "(v)", "has no property no-such-property" },
        { "AboutToShow", "(0,)", "(b)", "(false,)" },
        { "AboutToShow", "(987654,)", "(b)", "No menu item has the id 987654" },
        { "AboutToShowGroup", "([0, 987654],)", "(aiai)", "([], [987654])" },
        { "Event", "(987654, 'clicked', <0>, uint32 0)", "()", "No menu item has the id 987654" },
        { "EventGroup", "([(" + fiveSeconds + click + ", (" + fiveSeconds + click + ", (987654" + click + "],)", "(ai)",
            "([987654],)" },
        { "EventGroup", "(" + tooMany + ",)", "(ai)", "at most 64 are taken" },
    };
    const auto item = host.items().front();
    for (const auto& c : cases) {
        std::string reply;
        try {
            auto value = pump([&] {
                return host.call(item.busName, "/MenuBar", "com.canonical.dbusmenu", c.method,
                    g_variant_new_parsed(c.parameters.c_str()), c.replyType);
            });
            reply = GMallocPtr<gchar>(g_variant_print(value.get(), FALSE)).get();
        } catch (const TrayError& error) {
            reply = error.what();
        }
        EXPECT_THAT(reply, HasSubstr(c.expected)) << c.method << c.parameters.substr(0, 60);
    }
    iterateFor(0.2);
    EXPECT_THAT(delays, ElementsAre(5.0)) << "two clicks in one group act once";
    auto version = pump([&] {
        return host.call(item.busName, "/MenuBar", "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", "com.canonical.dbusmenu", "Version"), "(v)");
    });
    EXPECT_STREQ(GMallocPtr<gchar>(g_variant_print(version.get(), FALSE)).get(), "(<uint32 3>,)");
}

TEST_F(TrayItemTest, EventIsAnsweredBeforeAModalActionRuns)
{
    makeController();
    waitForItem();
    std::atomic<bool> replied = false;
    bool sawReplyWhileRunning = false;
    onAbout = [&] { sawReplyWhileRunning = iterateUntil([&] { return replied.load(); }, 5); };

    pump([&] {
        host.click("このアプリについて");
        replied = true;
        return 0;
    });
    ASSERT_TRUE(iterateUntil([&] { return sawReplyWhileRunning; }, 6));
}

TEST_F(TrayItemTest, ItemAppearsWhenAPanelStartsEvenIfItRefusesAtFirst)
{
    host.stopWatcher();
    makeController();
    iterateFor(0.5);
    EXPECT_TRUE(host.items().empty());

    // A watcher that has its name but does not serve yet refuses at first:
    // the item retries until it is taken.
    host.refuseRegistrations(2);
    host.startWatcher();
    ASSERT_TRUE(iterateUntil([&] { return host.items().size() == 1; }, 5));
    EXPECT_NO_THROW(pump([&] { return host.menu(); }));
}

// Menus made directly through the status bar: what the bar itself decides.
TEST_F(TrayItemTest, LabelsEscapeUnderscoresAndKeysGetTheDefaultModifier)
{
    auto item = statusBar.statusItemWithLength(platform::variableStatusItemLength);
    auto menu = statusBar.createMenu();
    item->setMenu(menu);
    item->button()->setTitle("戻");
    struct Case {
        std::string title;
        std::string key;
        std::string label;
        std::string shortcut;
    };
    const std::vector<Case> cases = {
        { "snake_case", "", "snake__case", "" },
        { "__", "", "____", "" },
        { "quit", "q", "quit", "[['Control', 'q']]" },
        { "Quit", "Q", "Quit", "[['Control', 'Shift', 'Q']]" },
    };
    for (const auto& c : cases)
        menu->addItem(statusBar.createMenuItem(c.title, platform::MenuAction::quit, c.key));
    ASSERT_TRUE(iterateUntil([&] { return host.items().size() == 1 && host.lastLayoutRevision(); }, 5));

    const auto root = pump([&] { return host.menu(); });
    ASSERT_EQ(root.children.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(root.children[i].label(), cases[i].label);
        EXPECT_EQ(root.children[i].printed("shortcut"), cases[i].shortcut) << cases[i].title;
        EXPECT_EQ(root.children[i].printed("toggle-type"), "") << "no state was ever set";
    }
}

} // namespace
} // namespace lullswitch::tray_test
