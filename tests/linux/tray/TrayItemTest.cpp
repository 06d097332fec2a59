// The tray item and its menu, in this process, against the test tray host on
// the virtual session's bus: what a panel sees and what its clicks do.
#include "SessionSupport.h"
#include "TrayTestSupport.h"
#include "app/AppDelegate.h"
#include "fakes/FakeApplication.h"
#include "fakes/FakeInputSources.h"
#include "fakes/FakeKeyboardEventClock.h"
#include "fakes/FakeMainLoop.h"
#include "fakes/FakeUserDefaults.h"
#include "menu/StatusMenuController.h"
#include "platform/Platform.h"
#include "platform/linux/DBusMenuExporter.h"
#include "platform/linux/LinuxStatusBar.h"
#include "platform/linux/StatusIconPixmaps.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
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
                ++toggles;
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
            [this] { ++switches; }, [this] { onAbout(); }, [this] { ++quits; });
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
    int toggles = 0;
    int switches = 0;
    int quits = 0;
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
    auto text = [&](const char* name) {
        auto value = pump([&] { return host.itemProperty(name); });
        return std::string(g_variant_get_string(value.get(), nullptr));
    };
    EXPECT_EQ(text("Category"), "ApplicationStatus");
    EXPECT_EQ(text("Id"), "lullswitch");
    EXPECT_EQ(text("Title"), "戻");
    EXPECT_EQ(text("XAyatanaLabel"), "戻");
    EXPECT_EQ(text("Status"), "Active");
    EXPECT_EQ(text("Menu"), "/MenuBar");
    auto itemIsMenu = pump([&] { return host.itemProperty("ItemIsMenu"); });
    EXPECT_TRUE(g_variant_get_boolean(itemIsMenu.get()));
    auto toolTip = pump([&] { return host.itemProperty("ToolTip"); });
    const gchar* toolTipTitle;
    const gchar* toolTipText;
    g_variant_get(toolTip.get(), "(&sa(iiay)&s&s)", nullptr, nullptr, &toolTipTitle, &toolTipText);
    EXPECT_STREQ(toolTipTitle, "Lullswitch");
    EXPECT_STREQ(toolTipText, "");
    // No Activate: a plain click opens the menu.
    const auto xml = pump([&] { return host.introspectItem(); });
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

TEST_F(TrayItemTest, IconIsTheTitleGlyphInEveryTraySize)
{
    makeController();
    waitForItem();
    auto on = pixmaps(pump([&] { return host.itemProperty("IconPixmap"); }).get());
    const int icons = host.signalCount("NewIcon");

    fakes::FakeUserDefaults::standard().setBool(false, "isEnabled");
    controller->rebuildMenu();
    ASSERT_TRUE(iterateUntil([&] { return host.signalCount("NewIcon") > icons; }, 5));
    auto off = pixmaps(pump([&] { return host.itemProperty("IconPixmap"); }).get());

    std::vector<int> sizes;
    for (std::size_t i = 0; i < on.size(); ++i) {
        const auto& [width, height, argb] = on[i];
        sizes.push_back(width);
        EXPECT_EQ(width, height);
        ASSERT_EQ(argb.size(), static_cast<std::size_t>(width * height * 4));
        std::set<unsigned char> alphas;
        for (std::size_t p = 0; p < argb.size(); p += 4)
            alphas.insert(static_cast<unsigned char>(argb[p]));
        // Ink on a transparent ground.
        EXPECT_TRUE(alphas.contains(0)) << width;
        EXPECT_GE(*alphas.rbegin(), 200) << width;
        EXPECT_NE(argb, std::get<2>(off.at(i))) << "戻 and 休 look alike at " << width;
    }
    EXPECT_THAT(sizes, ElementsAre(16, 22, 24, 32, 48));
}

TEST_F(TrayItemTest, TitleChangeIsAnnouncedOnceAndOnlyWhenItChanges)
{
    makeController();
    waitForItem();
    const int titles = host.signalCount("NewTitle");
    const int labels = host.signalCount("XAyatanaNewLabel");

    controller->rebuildMenu();
    iterateFor(0.3);
    EXPECT_EQ(host.signalCount("NewTitle"), titles);

    fakes::FakeUserDefaults::standard().setBool(false, "isEnabled");
    controller->rebuildMenu();
    controller->rebuildMenu();
    ASSERT_TRUE(iterateUntil([&] { return host.signalCount("XAyatanaNewLabel") > labels; }, 5));
    iterateFor(0.3);
    EXPECT_EQ(host.signalCount("NewTitle"), titles + 1);
    EXPECT_EQ(host.signalCount("XAyatanaNewLabel"), labels + 1);
    auto title = pump([&] { return host.itemProperty("Title"); });
    EXPECT_STREQ(g_variant_get_string(title.get(), nullptr), "休");
}

struct ExpectedEntry {
    std::string label;
    std::string type;
    bool isEnabled;
    int toggleState;
    std::string shortcut;
    std::string childrenDisplay;
};

TEST_F(TrayItemTest, LayoutShowsEveryEntryAsTheMenuHasIt)
{
    fakes::FakeUserDefaults::standard().setDouble(3.0, "delaySeconds");
    makeController();
    waitForItem();
    const auto [revision, root] = pump([&] { return host.layout(); });

    EXPECT_EQ(root.id, 0);
    EXPECT_EQ(root.childrenDisplay(), "submenu");
    const std::vector<ExpectedEntry> expected = {
        { "Lullswitch", "standard", false, -1, "", "" },
        { "", "separator", true, -1, "", "" },
        { "動作中：ON", "standard", true, -1, "", "" },
        { "待ち時間", "standard", true, -1, "", "submenu" },
        { "今すぐ英数へ戻す", "standard", true, -1, "", "" },
        { "", "separator", true, -1, "", "" },
        { "監視方式：軽量タイマー", "standard", false, -1, "", "" },
        { "入力内容は記録・送信しません", "standard", false, -1, "", "" },
        { "このアプリについて", "standard", true, -1, "", "" },
        { "", "separator", true, -1, "", "" },
        { "終了", "standard", true, -1, "Control+q", "" },
    };
    ASSERT_EQ(root.children.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& entry = root.children[i];
        SCOPED_TRACE("entry " + std::to_string(i + 1) + " " + expected[i].label);
        EXPECT_EQ(entry.label(), expected[i].label);
        EXPECT_EQ(entry.type(), expected[i].type);
        EXPECT_EQ(entry.isEnabled(), expected[i].isEnabled);
        EXPECT_EQ(entry.toggleState(), expected[i].toggleState);
        EXPECT_EQ(entry.shortcut(), expected[i].shortcut);
        EXPECT_EQ(entry.childrenDisplay(), expected[i].childrenDisplay);
    }
    const auto& delayItems = root.children[3].children;
    ASSERT_EQ(delayItems.size(), 4u);
    const std::vector<std::pair<std::string, int>> delayEntries
        = { { "1秒", 0 }, { "2秒", 0 }, { "3秒", 1 }, { "5秒", 0 } };
    for (std::size_t i = 0; i < delayItems.size(); ++i) {
        EXPECT_EQ(delayItems[i].label(), delayEntries[i].first);
        EXPECT_EQ(delayItems[i].toggleType(), "checkmark");
        EXPECT_EQ(delayItems[i].toggleState(), delayEntries[i].second) << delayItems[i].label();
        EXPECT_TRUE(delayItems[i].isEnabled());
    }
    std::set<std::int32_t> ids;
    for (const auto& entry : root.children)
        ids.insert(entry.id);
    for (const auto& entry : delayItems)
        ids.insert(entry.id);
    EXPECT_EQ(ids.size(), 15u) << "ids must be distinct";
    EXPECT_FALSE(ids.contains(0));
}

TEST_F(TrayItemTest, GetLayoutHonoursParentDepthAndPropertyNames)
{
    makeController();
    waitForItem();
    const auto root = pump([&] { return host.menu(); });
    const std::int32_t delayParent = root.find("待ち時間").id;

    const auto shallow = pump([&] { return host.layout(0, 0); }).second;
    EXPECT_TRUE(shallow.children.empty());

    const auto oneLevel = pump([&] { return host.layout(0, 1); }).second;
    ASSERT_EQ(oneLevel.children.size(), 11u);
    EXPECT_TRUE(oneLevel.find("待ち時間").children.empty());

    const auto submenu = pump([&] { return host.layout(delayParent, -1); }).second;
    EXPECT_EQ(submenu.id, delayParent);
    EXPECT_EQ(submenu.label(), "待ち時間");
    ASSERT_EQ(submenu.children.size(), 4u);
    EXPECT_EQ(submenu.children[0].label(), "1秒");

    const auto labelsOnly = pump([&] { return host.layout(0, -1, { "label" }); }).second;
    const auto& delay = labelsOnly.find("2秒");
    EXPECT_TRUE(delay.has("label"));
    EXPECT_FALSE(delay.has("toggle-state"));
    EXPECT_FALSE(delay.has("enabled"));

    EXPECT_THROW(pump([&] { return host.layout(987654, -1); }), TrayError);
}

TEST_F(TrayItemTest, PropertiesByGroupAndOneByOne)
{
    makeController();
    waitForItem();
    const auto root = pump([&] { return host.menu(); });
    const auto header = root.find("Lullswitch").id;
    const auto threeSeconds = root.find("3秒").id;

    const auto some = pump([&] { return host.groupProperties({ header, threeSeconds, 987654 }, { "label" }); });
    ASSERT_EQ(some.size(), 2u) << "an unknown id is left out";
    EXPECT_EQ(some[0].first, header);
    EXPECT_EQ(some[0].second.size(), 1u);
    EXPECT_STREQ(g_variant_get_string(some[1].second.at("label").get(), nullptr), "3秒");

    const auto all = pump([&] { return host.groupProperties({}); });
    EXPECT_EQ(all.size(), 16u) << "the root and fifteen entries";

    auto enabled = pump([&] { return host.menuProperty(header, "enabled"); });
    EXPECT_FALSE(g_variant_get_boolean(enabled.get()));
    EXPECT_THROW(pump([&] { return host.menuProperty(987654, "label"); }), TrayError);
    EXPECT_THROW(pump([&] { return host.menuProperty(header, "no-such-property"); }), TrayError);

    const auto item = host.items().front();
    auto menuObjectProperty = [&](const char* name) {
        return pump([&] {
            return host.call(item.busName, "/MenuBar", "org.freedesktop.DBus.Properties", "Get",
                g_variant_new("(ss)", "com.canonical.dbusmenu", name), "(v)");
        });
    };
    GVariant* version;
    g_variant_get(menuObjectProperty("Version").get(), "(v)", &version);
    EXPECT_EQ(g_variant_get_uint32(version), linux_backend::DBusMenuExporter::protocolVersion);
    g_variant_unref(version);
    auto aboutToShow = pump([&] {
        return host.call(
            item.busName, "/MenuBar", "com.canonical.dbusmenu", "AboutToShow", g_variant_new("(i)", 0), "(b)");
    });
    gboolean needsUpdate = TRUE;
    g_variant_get(aboutToShow.get(), "(b)", &needsUpdate);
    EXPECT_FALSE(needsUpdate) << "the menu is redrawn on changes, not on opening";
}

TEST_F(TrayItemTest, ClickingADelayCallsItsActionAndOneLayoutUpdateMovesTheCheckMark)
{
    makeController();
    waitForItem();
    const auto before = pump([&] { return host.layout(); });
    const int updates = host.signalCount("LayoutUpdated");

    pump([&] {
        host.click("3秒");
        return 0;
    });
    ASSERT_TRUE(iterateUntil([&] { return host.signalCount("LayoutUpdated") > updates; }, 5));
    iterateFor(0.2);

    EXPECT_THAT(delays, ElementsAre(3.0));
    EXPECT_EQ(host.signalCount("LayoutUpdated"), updates + 1) << "one rebuild, one update";
    const auto after = pump([&] { return host.layout(); });
    EXPECT_EQ(after.first, before.first + 1);
    EXPECT_EQ(*host.lastLayoutRevision(), after.first);
    EXPECT_EQ(after.second.find("3秒").toggleState(), 1);
    EXPECT_EQ(after.second.find("2秒").toggleState(), 0);
}

// Version 3 of the protocol: events and opening for several entries at once.
TEST_F(TrayItemTest, GroupMethodsReportUnknownIdsAndCarryOutTheRest)
{
    makeController();
    waitForItem();
    const auto root = pump([&] { return host.menu(); });
    const auto item = host.items().front();
    GVariantBuilder events;
    g_variant_builder_init(&events, G_VARIANT_TYPE("a(isvu)"));
    g_variant_builder_add(&events, "(isvu)", root.find("5秒").id, "clicked", g_variant_new_int32(0), 0u);
    g_variant_builder_add(&events, "(isvu)", 987654, "clicked", g_variant_new_int32(0), 0u);
    auto eventErrors = pump([&] {
        return host.call(item.busName, "/MenuBar", "com.canonical.dbusmenu", "EventGroup",
            g_variant_new("(a(isvu))", &events), "(ai)");
    });
    GMallocPtr<gchar> eventText(g_variant_print(eventErrors.get(), FALSE));
    EXPECT_STREQ(eventText.get(), "([987654],)");
    EXPECT_TRUE(iterateUntil([&] { return delays == std::vector<double> { 5.0 }; }, 5));

    auto opened = pump([&] {
        return host.call(item.busName, "/MenuBar", "com.canonical.dbusmenu", "AboutToShowGroup",
            g_variant_new_parsed("([0, 987654],)"), "(aiai)");
    });
    GMallocPtr<gchar> openedText(g_variant_print(opened.get(), FALSE));
    EXPECT_STREQ(openedText.get(), "([], [987654])");
}

TEST_F(TrayItemTest, ManyChangesInOneIterationBecomeOneLayoutUpdate)
{
    makeController();
    waitForItem();
    iterateFor(0.1);
    const int updates = host.signalCount("LayoutUpdated");
    const auto revision = *host.lastLayoutRevision();

    for (int i = 0; i < 5; ++i)
        controller->rebuildMenu();
    iterateFor(0.3);

    EXPECT_EQ(host.signalCount("LayoutUpdated"), updates + 1);
    EXPECT_EQ(*host.lastLayoutRevision(), revision + 1);
}

TEST_F(TrayItemTest, ClickOnAnIdFromAnEarlierLayoutDoesNothing)
{
    makeController();
    waitForItem();
    const auto staleId = pump([&] { return host.menu(); }).find("3秒").id;
    controller->rebuildMenu();
    iterateFor(0.1);

    EXPECT_THROW(pump([&] {
        host.event(staleId);
        return 0;
    }),
        TrayError);
    iterateFor(0.1);
    EXPECT_TRUE(delays.empty());

    const auto freshId = pump([&] { return host.menu(); }).find("3秒").id;
    EXPECT_NE(freshId, staleId);
    pump([&] {
        host.event(freshId);
        return 0;
    });
    EXPECT_TRUE(iterateUntil([&] { return delays.size() == 1; }, 5));
}

TEST_F(TrayItemTest, DisabledAndSeparatorEntriesAndOtherEventsCallNothing)
{
    makeController();
    waitForItem();
    const auto root = pump([&] { return host.menu(); });
    for (const auto& entry : root.children) {
        if (entry.isEnabled() && entry.type() != "separator")
            pump([&] {
                host.event(entry.id, "hovered");
                return 0;
            });
        else
            pump([&] {
                host.event(entry.id);
                return 0;
            });
    }
    iterateFor(0.3);
    EXPECT_EQ(toggles + switches + quits, 0);
    EXPECT_TRUE(delays.empty());
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

TEST_F(TrayItemTest, ItemAppearsWhenAPanelStartsAndAgainWhenItRestarts)
{
    host.stopWatcher();
    makeController();
    iterateFor(0.5);
    EXPECT_TRUE(host.items().empty());

    host.startWatcher();
    ASSERT_TRUE(iterateUntil([&] { return host.items().size() == 1; }, 5));

    host.stopWatcher();
    iterateFor(0.2);
    host.startWatcher();
    ASSERT_TRUE(iterateUntil([&] { return host.items().size() == 1; }, 5));
    EXPECT_EQ(host.registrationCount(), 2);
    const auto root = pump([&] { return host.menu(); });
    EXPECT_EQ(root.children.size(), 11u);
}

TEST_F(TrayItemTest, RegistrationRefusedByAWatcherStillStartingIsRetried)
{
    host.refuseRegistrations(2);
    makeController();
    ASSERT_TRUE(iterateUntil([&] { return host.items().size() == 1; }, 5));
    EXPECT_EQ(host.registrationCount(), 1);
}

TEST_F(TrayItemTest, ASecondItemRegistersByItsObjectPath)
{
    auto first = statusBar.statusItemWithLength(platform::variableStatusItemLength);
    auto second = statusBar.statusItemWithLength(platform::variableStatusItemLength);
    first->button()->setTitle("戻");
    second->button()->setTitle("休");
    ASSERT_TRUE(iterateUntil([&] { return host.items().size() == 2; }, 5));
    std::set<std::string> paths;
    for (const auto& item : host.items()) {
        EXPECT_EQ(item.busName, g_dbus_connection_get_unique_name(sessionBus()));
        paths.insert(item.objectPath);
    }
    EXPECT_EQ(paths, (std::set<std::string> { "/StatusNotifierItem", "/StatusNotifierItem/2" }));
    auto menuPath = pump([&] {
        return host.call(host.items().back().busName, "/StatusNotifierItem/2", "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", "org.kde.StatusNotifierItem", "Menu"), "(v)");
    });
    GVariant* path;
    g_variant_get(menuPath.get(), "(v)", &path);
    EXPECT_STREQ(g_variant_get_string(path, nullptr), "/MenuBar/2");
    g_variant_unref(path);
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
        { "quit", "q", "quit", "Control+q" },
        { "Quit", "Q", "Quit", "Control+Shift+Q" },
    };
    for (const auto& c : cases)
        menu->addItem(statusBar.createMenuItem(c.title, platform::MenuAction::quit, c.key));
    ASSERT_TRUE(iterateUntil([&] { return host.items().size() == 1 && host.lastLayoutRevision(); }, 5));

    const auto root = pump([&] { return host.menu(); });
    ASSERT_EQ(root.children.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(root.children[i].label(), cases[i].label);
        EXPECT_EQ(root.children[i].shortcut(), cases[i].shortcut) << cases[i].title;
        EXPECT_EQ(root.children[i].toggleType(), "") << "no state was ever set";
    }
}

TEST_F(TrayItemTest, TheWholeDelegateDrivesTheTray)
{
    auto delegate = AppDelegate::create();
    delegate->applicationDidFinishLaunching();
    waitForItem();

    pump([&] {
        host.click("動作中：ON");
        return 0;
    });
    ASSERT_TRUE(iterateUntil(
        [&] {
            auto title = pump([&] { return host.itemProperty("Title"); });
            return std::string(g_variant_get_string(title.get(), nullptr)) == "休";
        },
        5));
    EXPECT_EQ(fakes::FakeUserDefaults::standard().stored("isEnabled"), platform::StoredObject(false));
    EXPECT_NO_THROW(pump([&] { return host.menu(); }).find("停止中：OFF"));
    EXPECT_EQ(mainLoop.liveTimerCount(), 0) << "the watcher stopped";

    pump([&] {
        host.click("終了");
        return 0;
    });
    ASSERT_TRUE(iterateUntil([&] { return application.terminateCount() == 1; }, 5));
}

} // namespace
} // namespace lullswitch::tray_test
