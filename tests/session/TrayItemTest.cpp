// The tray item and its menu, in this process, against the test tray host on
// the virtual session's bus: what a panel sees and what its clicks do. The
// menu is made through the status bar as the menu controller makes it; what
// the controller puts in it is that suite's concern.
#include "SessionSupport.h"
#include "TestTrayHost.h"
#include "platform/linux/DBusMenuExporter.h"
#include "platform/linux/LinuxStatusBar.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace lullswitch::tray_test {
namespace {

using linux_backend::GMallocPtr;
using platform::MenuAction;
using session_test::iterateFor;
using session_test::iterateUntil;
using session_test::sessionBus;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// Runs a blocking host call on another thread while this thread iterates the
// default main context, where the in-process item answers it.
template <typename F> auto pump(F&& call) -> decltype(call())
{
    auto result = std::async(std::launch::async, std::forward<F>(call));
    while (result.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        while (g_main_context_iteration(nullptr, FALSE)) { }
    return result.get();
}

class TrayItemTest : public ::testing::Test, public platform::MenuTarget {
protected:
    TrayItemTest()
    {
        item->setMenu(menu);
        item->button()->setTitle("戻");
        item->button()->setToolTip("Lullswitch & <b>");
        build();
    }

    // A disabled header, a submenu of check items, a separator and entries
    // with keys; made afresh after every choice, as the controller does.
    void build()
    {
        menu->removeAllItems();
        auto add = [this](auto& to, const char* title, std::optional<MenuAction> action, const char* key = "") {
            auto entry = bar.createMenuItem(title, action, key);
            entry->setTarget(this);
            to->addItem(entry);
            return entry;
        };
        add(menu, "Lullswitch", MenuAction::about)->setEnabled(false);
        auto delays = bar.createMenu();
        for (const double seconds : { 2.0, 3.0 }) {
            auto choice = add(delays, seconds == 2 ? "2秒" : "3秒", MenuAction::selectDelay);
            choice->setRepresentedObject(seconds);
            choice->setState(seconds == checked ? platform::ControlState::on : platform::ControlState::off);
        }
        add(menu, "待ち時間", std::nullopt)->setSubmenu(delays);
        menu->addItem(bar.createSeparatorItem());
        add(menu, "snake_case", MenuAction::about, "q");
        add(menu, "__", MenuAction::about, "Q");
    }

    void perform(MenuAction action, platform::MenuItem& sender) override
    {
        if (action == MenuAction::about)
            return onAbout();
        checked = std::get<double>(sender.representedObject());
        chosen.push_back(checked);
        build();
    }

    // Waits until the item has registered and its first layout was sent.
    void SetUp() override
    {
        ASSERT_TRUE(iterateUntil([&] { return host.items().size() == 1 && host.lastLayoutRevision(); }, 5));
    }

    // A call on this process's tray objects: the printed reply, or the error's text.
    std::string call(const char* method, const std::string& parameters, const char* replyType,
        const char* path = "/MenuBar", const char* interface = "com.canonical.dbusmenu")
    {
        try {
            auto reply = pump([&] {
                return host.call(g_dbus_connection_get_unique_name(sessionBus()), path, interface, method,
                    g_variant_new_parsed(parameters.c_str()), replyType);
            });
            return GMallocPtr<gchar>(g_variant_print(reply.get(), FALSE)).get();
        } catch (const TrayError& error) {
            return error.what();
        }
    }

    TestTrayHost host;
    linux_backend::LinuxStatusBar bar { sessionBus() };
    std::unique_ptr<platform::StatusItem> item = bar.statusItemWithLength(platform::variableStatusItemLength);
    std::shared_ptr<platform::Menu> menu = bar.createMenu();
    double checked = 2;
    std::vector<double> chosen;
    std::function<void()> onAbout = [] { ADD_FAILURE() << "about chosen"; };
};

// The item as hosts find it, drawn once (no text label beside the icon), a
// click answered as a menu's; changes within one iteration reach hosts as one
// signal of each kind, and only what changed is announced.
TEST_F(TrayItemTest, RegistersByUniqueNameAndAnnouncesEachChangeOnce)
{
    EXPECT_EQ(host.items().front(), g_dbus_connection_get_unique_name(sessionBus()));
    EXPECT_THROW(bar.statusItemWithLength(platform::variableStatusItemLength), std::logic_error) << "one item";
    const auto all = call("GetAll", "('org.kde.StatusNotifierItem',)", "(a{sv})", "/StatusNotifierItem",
        "org.freedesktop.DBus.Properties");
    for (const char* expected : { "'Category': <'ApplicationStatus'>", "'Id': <'lullswitch'>", "'Title': <'戻'>",
             "'Status': <'Active'>", "'Menu': <objectpath '/MenuBar'>", "'ItemIsMenu': <true>",
             "'ToolTip': <('', @a(iiay) [], 'Lullswitch &amp; &lt;b&gt;', '')>" })
        EXPECT_THAT(all, HasSubstr(expected));
    EXPECT_THAT(all, Not(HasSubstr("XAyatanaLabel")));
    // An error from Activate is what makes Plasma and GNOME open the menu at once.
    for (const auto& [method, parameters, expected] : { std::tuple { "Activate", "(1, 2)", "UnknownMethod" },
             { "SecondaryActivate", "(1, 2)", "()" }, { "ProvideXdgActivationToken", "('t',)", "()" } })
        EXPECT_THAT(
            call(method, parameters, "()", "/StatusNotifierItem", "org.kde.StatusNotifierItem"), HasSubstr(expected))
            << method;
    iterateFor(0.3); // the first title's own announcements arrive first
    const auto on = pump([&] { return host.itemProperty("IconPixmap"); });
    const char* signals[] = { "NewTitle", "NewIcon", "NewToolTip", "LayoutUpdated" };
    auto* button = item->button();
    const struct {
        std::function<void()> change;
        std::vector<int> added; // to each of `signals`
    } steps[] = {
        { [&] {
             button->setTitle("休");
             button->setTitle("休");
             build();
             build();
         },
            { 1, 1, 0, 1 } },
        { [&] { button->setTitle("休"); }, { 0, 0, 0, 0 } },
        { [&] { button->setToolTip("Lullswitch"); }, { 0, 0, 1, 0 } },
    };
    for (std::size_t step = 0; step < std::size(steps); ++step) {
        auto before = host.signalCounts();
        steps[step].change();
        iterateFor(0.3);
        auto after = host.signalCounts();
        for (std::size_t i = 0; i < std::size(signals); ++i)
            EXPECT_EQ(after[signals[i]] - before[signals[i]], steps[step].added[i]) << step << signals[i];
    }
    EXPECT_STREQ(g_variant_get_string(pump([&] { return host.itemProperty("Title"); }).get(), nullptr), "休");
    // Each pixmap is (w, h, w·h·4 bytes of A,R,G,B).
    const auto off = pump([&] { return host.itemProperty("IconPixmap"); });
    EXPECT_FALSE(g_variant_equal(on.get(), off.get())) << "戻 and 休 look alike";
    ASSERT_GT(g_variant_n_children(off.get()), 0u);
    GVariantIter pixmaps;
    g_variant_iter_init(&pixmaps, off.get());
    gint32 width, height;
    GVariant* argb;
    while (g_variant_iter_loop(&pixmaps, "(ii@ay)", &width, &height, &argb))
        EXPECT_EQ(g_variant_n_children(argb), static_cast<gsize>(width * height * 4));
}

// Version 3 of the protocol: ids, depth, parents and property names as
// GetLayout takes them; unknown ids are errors, in the group forms per id; a
// group is bounded, and names each item once.
TEST_F(TrayItemTest, MenuCallsAreAnsweredAsTheProtocolSays)
{
    const auto revision = *host.lastLayoutRevision();
    const auto root = pump([&] { return host.menu(); });
    std::map<std::string, std::string> id; // by label; "" the separator
    for (const char* label : { "Lullswitch", "待ち時間", "2秒", "3秒", "", "snake__case", "____" })
        id[label] = std::to_string(root.find(label).id);
    std::string tooMany = "[";
    for (std::size_t i = 0; i <= linux_backend::DBusMenuExporter::maximumGroupEvents; ++i)
        tooMany += "(0, 'hovered', <0>, uint32 0),";
    tooMany.back() = ']';
    const std::string click = ", 'clicked', <0>, uint32 0)";
    const struct {
        const char* method;
        std::string parameters;
        const char* replyType;
        std::string expected; // in the printed reply, or the error's text
    } cases[] = {
        { "GetLayout", "(0, 0, @as [])", "(u(ia{sv}av))", ", (0, {'children-display': <'submenu'>}, []))" },
        { "GetLayout", "(0, 1, ['type'])", "(u(ia{sv}av))", "<(" + id["待ち時間"] + ", @a{sv} {}, @av [])>" },
        { "GetLayout", "(" + id["待ち時間"] + ", -1, ['label'])", "(u(ia{sv}av))",
            ", (" + id["待ち時間"] + ", {'label': <'待ち時間'>}, [<(" + id["2秒"]
                + ", {'label': <'2秒'>}, @av [])>, <(" },
        { "GetLayout", "(987654, -1, @as [])", "(u(ia{sv}av))", "No menu item has the id 987654" },
        { "GetProperty", "(" + id["snake__case"] + ", 'shortcut')", "(v)", "(<[['Control', 'q']]>,)" },
        { "GetProperty", "(" + id["____"] + ", 'shortcut')", "(v)", "(<[['Control', 'Shift', 'Q']]>,)" },
        { "GetProperty", "(" + id["snake__case"] + ", 'toggle-type')", "(v)", "has no property toggle-type" },
        { "GetProperty", "(" + id["2秒"] + ", 'toggle-state')", "(v)", "(<1>,)" },
        { "GetProperty", "(" + id["3秒"] + ", 'toggle-type')", "(v)", "(<'checkmark'>,)" },
        { "GetProperty", "(" + id["3秒"] + ", 'toggle-state')", "(v)", "(<0>,)" },
        { "GetProperty", "(" + id[""] + ", 'type')", "(v)", "(<'separator'>,)" },
        { "GetProperty", "(" + id["待ち時間"] + ", 'children-display')", "(v)", "(<'submenu'>,)" },
        { "GetProperty", "(987654, 'label')", "(v)", "No menu item has the id 987654" },
        { "GetGroupProperties", "([" + id["Lullswitch"] + ", 987654, " + id["Lullswitch"] + "], ['enabled'])",
            "(a(ia{sv}))", "([(" + id["Lullswitch"] + ", {'enabled': <false>})],)" },
        { "GetGroupProperties", "(@ai [], ['type'])", "(a(ia{sv}))", "([(0, {}), (" },
        { "AboutToShow", "(0,)", "(b)", "(false,)" },
        { "AboutToShow", "(987654,)", "(b)", "No menu item has the id 987654" },
        { "AboutToShowGroup", "([0, 987654],)", "(aiai)", "([], [987654])" },
        { "Event", "(987654" + click, "()", "No menu item has the id 987654" },
        { "Event", "(" + id["3秒"] + ", 'hovered', <0>, uint32 0)", "()", "()" },
        { "Event", "(" + id["Lullswitch"] + click, "()", "()" },
        { "EventGroup", "(" + tooMany + ",)", "(ai)", "at most 64 are taken" },
        { "EventGroup", "([(987654" + click + ", (" + id["3秒"] + click + ", (" + id["3秒"] + click + "],)", "(ai)",
            "([987654],)" },
    };
    for (const auto& c : cases)
        EXPECT_THAT(call(c.method, c.parameters, c.replyType), HasSubstr(c.expected))
            << c.method << c.parameters.substr(0, 60);
    EXPECT_EQ(call("GetAll", "('com.canonical.dbusmenu',)", "(a{sv})", "/MenuBar", "org.freedesktop.DBus.Properties"),
        "({'Version': <uint32 3>, 'TextDirection': <'ltr'>, 'Status': <'normal'>, 'IconThemePath': <@as []>},)");

    // Hovering and disabled entries do nothing; two clicks in one group act
    // once, and the rebuild that follows is a new revision with new ids: a
    // click on an id from the earlier layout is an error and does nothing.
    ASSERT_TRUE(iterateUntil([&] { return host.lastLayoutRevision() != revision; }, 5));
    EXPECT_THAT(
        call("GetLayout", "(0, 0, @as [])", "(u(ia{sv}av))"), HasSubstr("(" + std::to_string(revision + 1) + ", (0,"));
    EXPECT_THAT(call("Event", "(" + id["3秒"] + click, "()"), HasSubstr("No menu item has the id"));
    iterateFor(0.2);
    EXPECT_THAT(chosen, ElementsAre(3.0));
    // Entries that stay keep their ids when another comes.
    const auto before = pump([&] { return host.menu(); });
    menu->addItem(bar.createSeparatorItem());
    iterateFor(0.2);
    EXPECT_EQ(pump([&] { return host.menu(); }).find("____").id, before.find("____").id);
}

TEST_F(TrayItemTest, EventIsAnsweredBeforeAModalActionRuns)
{
    std::atomic<bool> replied = false;
    bool sawReplyWhileRunning = false;
    onAbout = [&] { sawReplyWhileRunning = iterateUntil([&] { return replied.load(); }, 5); };
    pump([&] {
        host.click("snake__case");
        replied = true;
        return 0;
    });
    ASSERT_TRUE(iterateUntil([&] { return sawReplyWhileRunning; }, 6));
}

TEST_F(TrayItemTest, ItemReappearsWhenAPanelRestartsEvenIfItRefusesAtFirst)
{
    host.stopWatcher();
    iterateFor(0.5);
    // A watcher that has its name but does not serve yet refuses at first:
    // the item retries until it is taken.
    host.refuseRegistrations(2);
    host.startWatcher();
    ASSERT_TRUE(iterateUntil([&] { return host.items().size() == 1; }, 5));
    iterateFor(0.5);
    EXPECT_EQ(host.items().size(), 1u) << "once with the new watcher";
}

} // namespace
} // namespace lullswitch::tray_test
