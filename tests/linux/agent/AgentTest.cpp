// The lullswitch executable as a process, in the virtual session: start-up,
// a second instance, starting over in place and hand edits. Signals are shown in-process by
// LinuxApplicationTest, a panel's restart by TrayItemTest, the switch itself
// and fcitx5 restarts end to end by sway-e2e.
#include "AgentProcess.h"
#include "SessionSupport.h"
#include "TestTrayHost.h"
#include "platform/linux/OversizedMessageGuard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

namespace lullswitch::tray_test {
namespace {

using linux_backend::GMallocPtr;
using session_test::iterateUntil;
using ::testing::HasSubstr;

class AgentTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        agent.reset();
        session_test::run({ "rm", "-rf", configHome });
    }

    void startAgentWithItem()
    {
        agent = std::make_unique<AgentProcess>(AgentProcess::Environment { { "XDG_CONFIG_HOME", configHome } });
        ASSERT_TRUE(iterateUntil([&] { return !host->items().empty() && host->lastLayoutRevision(); }, 15))
            << "the item did not register and send its menu";
    }

    std::string title() const { return g_variant_get_string(host->itemProperty("Title").get(), nullptr); }

    std::unique_ptr<TestTrayHost> host = std::make_unique<TestTrayHost>();
    std::string configHome = GMallocPtr<gchar>(g_dir_make_tmp("lullswitch-config-XXXXXX", nullptr)).get();
    std::unique_ptr<AgentProcess> agent;
};

TEST_F(AgentTest, ASecondStartLeavesTheFirstAloneAndABigMessageStartsItOver)
{
    startAgentWithItem();
    const auto [status, text] = AgentProcess::runToEnd({ { "XDG_CONFIG_HOME", configHome } }, 10);
    EXPECT_EQ(status, 0);
    EXPECT_THAT(text, HasSubstr("lullswitch: already running"));
    // A message big enough to pin memory is refused at once, and the agent
    // starts over in its own process, its item back from a new connection.
    const std::string big(linux_backend::OversizedMessageGuard::maximumBodyBytes, 'x');
    GVariant* event = g_variant_new("(isvu)", 0, big.c_str(), g_variant_new_int32(0), 0u);
    EXPECT_THROW(host->call(host->items()[0], "/MenuBar", "com.canonical.dbusmenu", "Event", event, "()"), TrayError);
    EXPECT_TRUE(iterateUntil([&] { return host->items().size() == 2; }, 15) && !agent->waitForExit(0));
}

TEST(AgentStartupTest, WithoutASessionBusSaysSoAndExitsWithFour)
{
    // A bad address, then none and no $XDG_RUNTIME_DIR/bus: no bus of its own is started.
    for (const AgentProcess::Environment& environment :
        { AgentProcess::Environment { { "DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus" } },
            AgentProcess::Environment {
                { "DBUS_SESSION_BUS_ADDRESS", std::nullopt }, { "XDG_RUNTIME_DIR", "/nonexistent" } } }) {
        const auto [status, text] = AgentProcess::runToEnd(environment, 10);
        EXPECT_EQ(status, 4);
        EXPECT_THAT(text, HasSubstr("lullswitch: cannot connect to the D-Bus session bus"));
    }
}

// Hand edits of the preferences file reach the screen as the same menu
// choices would.
TEST_F(AgentTest, HandEditsTakeEffect)
{
    startAgentWithItem();
    const std::string path = configHome + "/lullswitch/preferences.ini";
    std::ofstream(path + ".new") << "[Lullswitch]\nisEnabled=false\ndelaySeconds=5\n";
    ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
    EXPECT_TRUE(iterateUntil([&] { return title() == "休"; }, 2));
    EXPECT_TRUE(iterateUntil([&] { return host->menu().find("5秒").printed("toggle-state") == "1"; }, 2));
}

} // namespace
} // namespace lullswitch::tray_test
