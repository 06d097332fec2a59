// The application object and the About alert on Linux, in this process:
// launch and termination order, signals through the main loop, and a modal
// alert that waits for its dialog while the main context keeps running.
#include "platform/linux/LinuxApplication.h"
#include "SessionSupport.h"
#include "platform/linux/GLibRegistrations.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <future>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace lullswitch::linux_backend {
namespace {

using session_test::iterateUntil;
using session_test::sessionBus;
using ::testing::ElementsAre;

class RecordingDelegate final : public platform::ApplicationDelegate {
public:
    void applicationDidFinishLaunching() override
    {
        log.push_back("launch");
        if (onLaunch)
            onLaunch();
    }
    void applicationWillTerminate() override { log.push_back("terminate"); }

    std::vector<std::string> log;
    std::function<void()> onLaunch;
};

TEST(LinuxApplicationTest, LaunchesInTheLoopAndTerminatesOnceAfterWhichRunReturns)
{
    LinuxApplication application(nullptr);
    RecordingDelegate delegate;
    ScheduledCall later;
    delegate.onLaunch = [&] {
        EXPECT_TRUE(g_main_depth() > 0) << "launch runs from the loop";
        later = ScheduledCall::after(10, [&] {
            application.terminate();
            application.terminate();
        });
    };
    application.run(delegate);
    EXPECT_THAT(delegate.log, ElementsAre("launch", "terminate"));
    EXPECT_TRUE(application.isTerminating());
}

TEST(LinuxApplicationTest, InterruptAndTerminateSignalsTakeTheQuitPathThroughTheLoop)
{
    for (const int signal : { SIGINT, SIGTERM }) {
        LinuxApplication application(nullptr);
        RecordingDelegate delegate;
        delegate.onLaunch = [&] { raise(signal); };
        application.run(delegate);
        EXPECT_THAT(delegate.log, ElementsAre("launch", "terminate")) << signal;
    }
}

TEST(LinuxApplicationTest, TerminateBeforeRunMeansNoLaunchAndAnAgentHasNoWindows)
{
    LinuxApplication application(nullptr);
    RecordingDelegate delegate;
    application.terminate();
    application.run(delegate);
    EXPECT_TRUE(delegate.log.empty());
    application.setActivationPolicy(platform::ActivationPolicy::accessory);
    EXPECT_EQ(application.activationPolicy(), platform::ActivationPolicy::accessory);
    EXPECT_TRUE(application.windows().empty());
}

// Calls `check` every few milliseconds on the default context while it lives.
class Ticker {
public:
    explicit Ticker(std::function<void()> check) : source_(g_timeout_source_new(10))
    {
        setCallback(source_.get(), std::move(check), true);
        g_source_attach(source_.get(), nullptr);
    }

private:
    GSourcePtr source_;
};

// A dialog program in a directory of its own, put first on PATH: it records
// its arguments and pid, then waits until the test lets it go.
class FakeDialog {
public:
    explicit FakeDialog(const std::string& name)
    {
        GMallocPtr<gchar> dir(g_dir_make_tmp("lullswitch-dialog-XXXXXX", nullptr));
        dir_ = dir.get();
        const std::string script = dir_ + "/" + name;
        std::ofstream(script) << "#!/bin/sh\n"
                                 "PATH=/usr/bin:/bin\n"
                                 "dir=$(dirname \"$0\")\n"
                                 "echo $$ >> \"$dir/starts\"\n"
                                 "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$dir/args.tmp\"\n"
                                 "mv \"$dir/args.tmp\" \"$dir/args\"\n"
                                 "while [ ! -e \"$dir/release\" ]; do sleep 0.02; done\n";
        chmod(script.c_str(), 0755);
        if (const char* path = g_getenv("PATH"))
            savedPath_ = path;
        g_setenv("PATH", dir_.c_str(), TRUE);
    }
    ~FakeDialog()
    {
        release();
        g_setenv("PATH", savedPath_.c_str(), TRUE);
        session_test::run({ "rm", "-rf", dir_ });
    }

    void release() const { std::ofstream(dir_ + "/release"); }
    bool hasStarted() const { return g_file_test((dir_ + "/args").c_str(), G_FILE_TEST_EXISTS); }
    std::vector<std::string> arguments() const
    {
        std::ifstream in(dir_ + "/args");
        std::vector<std::string> args;
        std::string arg;
        while (std::getline(in, arg, '\0'))
            args.push_back(arg);
        return args;
    }
    std::vector<int> starts() const
    {
        std::ifstream in(dir_ + "/starts");
        std::vector<int> pids;
        int pid;
        while (in >> pid)
            pids.push_back(pid);
        return pids;
    }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    std::string savedPath_;
};

const std::string aboutText = "二行の説明。\n\n入力内容は記録・保存・送信しません。";

std::unique_ptr<platform::Alert> aboutAlert(LinuxApplication& application, const std::string& informative = aboutText,
    platform::AlertStyle style = platform::AlertStyle::informational)
{
    auto alert = application.createAlert();
    alert->setMessageText("Lullswitch");
    alert->setInformativeText(informative);
    alert->setAlertStyle(style);
    alert->addButtonWithTitle("OK");
    return alert;
}

struct DialogCase {
    const char* program;
    platform::AlertStyle style;
    std::string informative;
    std::vector<std::string> arguments; // after the program's path
};

class DialogCommandTest : public ::testing::TestWithParam<DialogCase> { };

TEST_P(DialogCommandTest, TextsReachTheDialogVerbatimThroughAnArgumentVector)
{
    const auto& c = GetParam();
    FakeDialog dialog(c.program);
    LinuxApplication application(nullptr);
    auto alert = aboutAlert(application, c.informative, c.style);
    std::thread releaser([&] {
        while (!dialog.hasStarted())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        dialog.release();
    });
    EXPECT_EQ(alert->runModal(), DesktopAlert::firstButtonReturn);
    releaser.join();

    EXPECT_EQ(dialog.arguments(), c.arguments);
    EXPECT_EQ(dialog.starts().size(), 1u);
}

const std::string shellBait = "a \"quoted\" $(touch pwned) & <b>not bold</b>";

INSTANTIATE_TEST_SUITE_P(Programs, DialogCommandTest,
    ::testing::Values(DialogCase { "zenity", platform::AlertStyle::informational, aboutText,
                          { "--info", "--title=Lullswitch", "--text=<b>Lullswitch</b>\n\n" + aboutText, "--ok-label=OK",
                              "--width=420" } },
        DialogCase { "zenity", platform::AlertStyle::critical, shellBait,
            { "--error", "--title=Lullswitch",
                "--text=<b>Lullswitch</b>\n\na &quot;quoted&quot; $(touch pwned) &amp; &lt;b&gt;not bold&lt;/b&gt;",
                "--ok-label=OK", "--width=420" } },
        DialogCase { "zenity", platform::AlertStyle::warning, "",
            { "--warning", "--title=Lullswitch", "--text=<b>Lullswitch</b>", "--ok-label=OK", "--width=420" } },
        DialogCase { "kdialog", platform::AlertStyle::informational, shellBait,
            { "--title", "Lullswitch", "--msgbox", "Lullswitch\n\n" + shellBait, "--ok-label", "OK" } }));

TEST(DesktopAlertTest, WaitsForDismissalWhileTimersRunAndRefusesASecondAlert)
{
    FakeDialog dialog("zenity");
    LinuxApplication application(nullptr);
    auto first = aboutAlert(application);
    int ticks = 0;
    std::optional<long> secondResponse;
    auto ticker = std::make_unique<Ticker>([&] {
        if (dialog.hasStarted() && ++ticks == 5) {
            secondResponse = aboutAlert(application)->runModal();
            dialog.release();
        }
    });

    EXPECT_EQ(first->runModal(), DesktopAlert::firstButtonReturn);
    EXPECT_GE(ticks, 5) << "the main context kept running during the alert";
    EXPECT_EQ(secondResponse, DesktopAlert::abortReturn);
    EXPECT_EQ(dialog.starts().size(), 1u) << "one dialog only";
    ticker.reset();

    // Once dismissed, the next About shows again.
    std::thread releaser([&] {
        while (dialog.starts().size() < 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        dialog.release();
    });
    session_test::run({ "rm", "-f", dialog.dir() + "/release" });
    EXPECT_EQ(aboutAlert(application)->runModal(), DesktopAlert::firstButtonReturn);
    releaser.join();
}

bool processIsGone(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto close = text.rfind(')');
    return text.empty() || (close != std::string::npos && text.substr(close + 2, 1) == "Z");
}

TEST(DesktopAlertTest, TerminationEndsTheAlertAndItsDialog)
{
    FakeDialog dialog("zenity");
    LinuxApplication application(nullptr);
    RecordingDelegate delegate;
    long response = 0;
    Ticker terminateOnceShown([&] {
        if (dialog.hasStarted())
            application.terminate();
    });
    delegate.onLaunch = [&] { response = aboutAlert(application)->runModal(); };
    application.run(delegate);

    EXPECT_EQ(response, DesktopAlert::abortReturn);
    EXPECT_THAT(delegate.log, ElementsAre("launch", "terminate"));
    ASSERT_EQ(dialog.starts().size(), 1u);
    EXPECT_TRUE(iterateUntil([&] { return processIsGone(dialog.starts().front()); }, 5));
}

// org.freedesktop.Notifications on a connection and thread of its own.
class FakeNotificationServer {
public:
    FakeNotificationServer()
    {
        thread_ = std::thread([this] {
            g_main_context_push_thread_default(context_);
            GMallocPtr<gchar> address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
            connection_.reset(g_dbus_connection_new_for_address_sync(address.get(),
                static_cast<GDBusConnectionFlags>(
                    G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, nullptr));
            info_ = g_dbus_node_info_new_for_xml(R"xml(<node><interface name="org.freedesktop.Notifications">
                <method name="Notify"><arg type="s" direction="in"/><arg type="u" direction="in"/>
                <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="s" direction="in"/>
                <arg type="as" direction="in"/><arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
                <arg type="u" direction="out"/></method>
                <method name="CloseNotification"><arg type="u" direction="in"/></method>
                </interface></node>)xml",
                nullptr);
            static const GDBusInterfaceVTable vtable = { onCall, nullptr, nullptr, {} };
            g_dbus_connection_register_object(connection_.get(), "/org/freedesktop/Notifications", info_->interfaces[0],
                &vtable, this, nullptr, nullptr);
            g_dbus_connection_call_sync(connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", "org.freedesktop.Notifications", 4u),
                nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
            ready_.set_value();
            g_main_loop_run(loop_);
            g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
            connection_.reset();
            g_dbus_node_info_unref(info_);
            g_main_context_pop_thread_default(context_);
        });
        ready_.get_future().wait();
    }
    ~FakeNotificationServer()
    {
        g_main_loop_quit(loop_);
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }

    std::vector<std::string> notified() const
    {
        std::lock_guard lock(mutex_);
        return notified_;
    }
    void close(std::uint32_t notification) const
    {
        g_dbus_connection_emit_signal(connection_.get(), nullptr, "/org/freedesktop/Notifications",
            "org.freedesktop.Notifications", "NotificationClosed", g_variant_new("(uu)", notification, 2u), nullptr);
    }
    static constexpr std::uint32_t id = 7;

private:
    static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
        GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self)
    {
        auto* server = static_cast<FakeNotificationServer*>(self);
        if (std::string(method) != "Notify") {
            g_dbus_method_invocation_return_value(invocation, nullptr);
            return;
        }
        const gchar* app;
        const gchar* summary;
        const gchar* body;
        GVariant* actions;
        g_variant_get(
            parameters, "(&su&s&s&s@asa{sv}i)", &app, nullptr, nullptr, &summary, &body, &actions, nullptr, nullptr);
        GMallocPtr<gchar> actionText(g_variant_print(actions, FALSE));
        g_variant_unref(actions);
        {
            std::lock_guard lock(server->mutex_);
            server->notified_ = { app, summary, body, actionText.get() };
        }
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", id));
    }

    GMainContext* context_ = g_main_context_new();
    GMainLoop* loop_ = g_main_loop_new(context_, FALSE);
    GObjectPtr<GDBusConnection> connection_;
    GDBusNodeInfo* info_ = nullptr;
    std::promise<void> ready_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> notified_;
};

// Without a dialog program a notification stands in; with neither, nothing.
TEST(DesktopAlertTest, WithoutADialogProgramANotificationStandsInUntilClosed)
{
    FakeDialog noDialog("not-a-dialog");
    LinuxApplication application(sessionBus());
    EXPECT_EQ(aboutAlert(application)->runModal(), DesktopAlert::abortReturn);
    FakeNotificationServer server;
    auto alert = aboutAlert(application);
    std::thread closer([&] {
        while (server.notified().empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        server.close(FakeNotificationServer::id + 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        server.close(FakeNotificationServer::id);
    });
    const gint64 start = g_get_monotonic_time();
    EXPECT_EQ(alert->runModal(), DesktopAlert::firstButtonReturn);
    closer.join();
    EXPECT_GE(session_test::secondsSince(start), 0.1) << "another notification's closing does not end it";
    EXPECT_THAT(server.notified(), ElementsAre("Lullswitch", "Lullswitch", aboutText, "['default', 'OK']"));
}

} // namespace
} // namespace lullswitch::linux_backend
