// The keytime addon inside a real, headless fcitx5 (dbus frontend only), fed
// keys through an input context of the test's own connection. Runs inside
// scripts/virtual-session --no-fcitx: the test starts each fcitx5 itself.
#include "SessionBus.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using namespace lullswitch::linux_backend;
using lullswitch::session_test::callOn;

constexpr const char* fcitxName = "org.fcitx.Fcitx5";
constexpr const char* keyTimePath = "/app/lullswitch/KeyTime";
constexpr const char* keyTimeInterface = "app.lullswitch.KeyTime1";

GDBusConnection* bus()
{
    static GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    return connection;
}

GVariantPtr call(const char* path, const char* interface, const char* method, GVariant* parameters = nullptr)
{
    return callOn(bus(), fcitxName, path, interface, method, parameters);
}

void iterateFor(gint64 microseconds)
{
    const gint64 end = g_get_monotonic_time() + microseconds;
    while (g_get_monotonic_time() < end) {
        while (g_main_context_iteration(nullptr, FALSE)) { }
        g_usleep(1000);
    }
}

// One fcitx5 with a keyboard-us group, with or without the addon, and one
// focused input context of this process.
class Fcitx {
public:
    explicit Fcitx(bool withAddon)
    {
        const std::string addonDir = std::string(g_get_user_data_dir()) + "/fcitx5/addon";
        g_mkdir_with_parents(addonDir.c_str(), 0700);
        g_file_set_contents((addonDir + "/lullswitch-keytime.conf").c_str(), addonConf().c_str(), -1, nullptr);
        std::string enable
            = std::string("--enable=keyboard,dbus,dbusfrontend") + (withAddon ? ",lullswitch-keytime" : "");
        const char* argv[] = { "fcitx5", "--disable=all", enable.c_str(), nullptr };
        g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr,
            GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL
                | G_SPAWN_STDERR_TO_DEV_NULL),
            nullptr, nullptr, &pid_, nullptr);
        for (int i = 0; i < 200 && context_.empty(); ++i, g_usleep(50'000))
            context_ = lullswitch::session_test::focusNewFcitxContext(bus(), "keytime-test");
    }
    ~Fcitx()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return !context_.empty(); }

    void keyEvent(bool release)
    {
        call(context_.c_str(), "org.fcitx.Fcitx.InputContext1", "ProcessKeyEvent",
            g_variant_new("(uuubu)", 0x61u, 38u, 0u, release, 0u));
    }

    // Sends `count` key events at once, the replies awaited together; the
    // seconds until the last reply.
    double flood(int count)
    {
        int pending = count;
        const gint64 start = g_get_monotonic_time();
        for (int i = 0; i < count; ++i)
            g_dbus_connection_call(
                bus(), fcitxName, context_.c_str(), "org.fcitx.Fcitx.InputContext1", "ProcessKeyEvent",
                g_variant_new("(uuubu)", 0x61u, 38u, 0u, i % 2 == 1, 0u), nullptr, G_DBUS_CALL_FLAGS_NONE, 20000,
                nullptr, [](GObject*, GAsyncResult*, gpointer left) { --*static_cast<int*>(left); }, &pending);
        while (pending > 0)
            g_main_context_iteration(nullptr, TRUE);
        return static_cast<double>(g_get_monotonic_time() - start) / G_USEC_PER_SEC;
    }

private:
    static std::string addonConf()
    {
        gchar* text = nullptr;
        g_file_get_contents(LULLSWITCH_KEYTIME_CONF, &text, nullptr, nullptr);
        const GMallocPtr<gchar> owned(text);
        return text ? text : "";
    }

    GPid pid_ = 0;
    std::string context_;
};

struct Announcement {
    std::uint64_t lastKeyUs, saidAtUs;
};

class KeyTimeAddonTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fcitx_.ready());
        subscription_ = g_dbus_connection_signal_subscribe(
            bus(), nullptr, keyTimeInterface, "KeyActivity", keyTimePath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                gpointer self) {
                Announcement said {};
                g_variant_get(parameters, "(tt)", &said.lastKeyUs, &said.saidAtUs);
                static_cast<KeyTimeAddonTest*>(self)->heard_.push_back(said);
            },
            this, nullptr);
    }
    void TearDown() override { g_dbus_connection_signal_unsubscribe(bus(), subscription_); }

    std::uint64_t readLastKey()
    {
        const auto reply = call(keyTimePath, keyTimeInterface, "LastKeyTime");
        std::uint64_t last = 0, now = 0;
        if (reply)
            g_variant_get(reply.get(), "(tt)", &last, &now);
        return last;
    }

    Fcitx fcitx_ { true };
    guint subscription_ = 0;
    std::vector<Announcement> heard_;
};

struct Burst {
    int keyEvents;
    gint64 spacingUs;
};

// Told at a burst's first key, once a second while it lasts, and once more
// just after its last key.
TEST_F(KeyTimeAddonTest, AnnouncesABurstAtItsStartOnceASecondAndRightAfterIt)
{
    for (const Burst burst : { Burst { 1, 0 }, Burst { 30, 10'000 }, Burst { 65, 20'000 } }) {
        SCOPED_TRACE(burst.keyEvents);
        heard_.clear();
        iterateFor(200'000);
        const std::uint64_t before = readLastKey();
        gint64 lastSent = 0;
        const gint64 firstSent = g_get_monotonic_time();
        std::size_t pauses = 0; // gaps long enough to end a burst
        for (int i = 0; i < burst.keyEvents; ++i) {
            iterateFor(burst.spacingUs);
            const gint64 now = g_get_monotonic_time();
            pauses += i > 0 && now - lastSent > 40'000;
            lastSent = now;
            fcitx_.keyEvent(i % 2 == 1);
        }
        iterateFor(300'000);
        const std::uint64_t after = readLastKey();
        EXPECT_GT(after, before);
        EXPECT_GE(after, static_cast<std::uint64_t>(lastSent));
        // Counted against the burst's real length: a loaded machine stretches
        // it, and then it is announced once more a second.
        const auto seconds = static_cast<std::size_t>((lastSent - firstSent) / 1'000'000);
        if (burst.keyEvents == 1)
            ASSERT_EQ(heard_.size(), 1u);
        else if (pauses == 0)
            ASSERT_EQ(heard_.size(), 2 + seconds) << "leading, one a second, trailing";
        else
            ASSERT_LE(heard_.size(), 2 * (pauses + 1) + seconds) << pauses << " pauses";
        EXPECT_EQ(heard_.back().lastKeyUs, after);
        EXPECT_LE(heard_.back().saidAtUs - heard_.back().lastKeyUs, 50'000u);
    }
}

// One method and one signal, each giving two times, and nothing else.
TEST_F(KeyTimeAddonTest, InterfaceHasNothingButTimes)
{
    const auto reply = call(keyTimePath, "org.freedesktop.DBus.Introspectable", "Introspect");
    ASSERT_TRUE(reply);
    const gchar* xml = nullptr;
    g_variant_get(reply.get(), "(&s)", &xml);
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(xml, nullptr);
    ASSERT_NE(node, nullptr);
    const GDBusInterfaceInfo* info = g_dbus_node_info_lookup_interface(node, keyTimeInterface);
    ASSERT_NE(info, nullptr);
    std::string shape;
    const auto add = [&](const char* name, GDBusArgInfo** args) {
        for (shape += std::string(" ") + name + ":"; args && *args; ++args)
            shape += (*args)->signature;
    };
    for (auto** method = info->methods; method && *method; ++method) {
        add((*method)->name, (*method)->in_args);
        add((*method)->name, (*method)->out_args);
    }
    for (auto** signal = info->signals; signal && *signal; ++signal)
        add((*signal)->name, (*signal)->args);
    EXPECT_EQ(shape, " LastKeyTime: LastKeyTime:tt KeyActivity:tt");
    EXPECT_TRUE(!info->properties || !info->properties[0]);
    g_dbus_node_info_unref(node);
}

// The best of three floods of 10 000 key events each way, taking turns.
TEST(KeyTimeAddonCost, FloodOfKeysTakesFcitxNoLongerWithTheAddon)
{
    double with = 1e9, without = 1e9;
    for (int round = 0; round < 3; ++round) {
        for (const bool addon : { true, false }) {
            Fcitx fcitx(addon);
            ASSERT_TRUE(fcitx.ready());
            const double seconds = fcitx.flood(10'000);
            (addon ? with : without) = std::min(addon ? with : without, seconds);
        }
    }
    RecordProperty("with_addon_s", std::to_string(with));
    RecordProperty("without_addon_s", std::to_string(without));
    // Loose on purpose: a busy machine moves both by tens of percent, while an
    // addon that did work per key (a signal each) costs a multiple.
    EXPECT_LE(with, without * 1.3 + 0.3);
}

} // namespace
