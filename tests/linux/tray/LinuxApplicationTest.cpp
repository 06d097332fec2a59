// The application object and its alerts on Linux, in this process: launch and
// termination order, signals through the main loop, and a modal alert that
// waits for its dialog while the main context keeps running.
#include "platform/linux/LinuxApplication.h"
#include "SessionSupport.h"
#include "platform/linux/GLibRegistrations.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace lullswitch::linux_backend {
namespace {

using session_test::iterateUntil;
using session_test::sessionBus;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class RecordingDelegate final : public platform::ApplicationDelegate {
public:
    void applicationDidFinishLaunching() override
    {
        log.push_back("launch");
        onLaunch();
    }
    void applicationWillTerminate() override { log.push_back("terminate"); }

    std::vector<std::string> log;
    std::function<void()> onLaunch = [] {};
};

// 0: terminate() twice from a timer in the loop; -1: terminate() before run;
// otherwise that signal, raised once launched; a hangup is outlived, and
// terminate() from the timer ends the loop.
TEST(LinuxApplicationTest, QuitsOnceThroughTheLoopAfterLaunchAndRunReturns)
{
    for (const int quit : { 0, -1, SIGINT, SIGTERM, SIGHUP }) {
        LinuxApplication application(nullptr);
        RecordingDelegate delegate;
        ScheduledCall later;
        delegate.onLaunch = [&] {
            EXPECT_GT(g_main_depth(), 0) << "launch runs from the loop";
            if (quit > 0)
                raise(quit);
            if (quit <= 0 || quit == SIGHUP)
                later = ScheduledCall::after(10, [&] {
                    application.terminate();
                    application.terminate();
                });
        };
        if (quit < 0)
            application.terminate();
        application.run(delegate);
        const std::vector<std::string> launched = { "launch", "terminate" };
        EXPECT_EQ(delegate.log, quit < 0 ? std::vector<std::string>() : launched) << quit;
        EXPECT_TRUE(application.isTerminating());
    }
}

// Calls `check` every few milliseconds on the default context while the source lives.
GSourcePtr tick(std::function<void()> check)
{
    GSourcePtr source(g_timeout_source_new(10));
    setCallback(source.get(), std::move(check), true);
    g_source_attach(source.get(), nullptr);
    return source;
}

// A dialog program in a directory of its own, put first on PATH: it records
// its pid and arguments, then, while held, waits until the test lets it go.
class FakeDialog {
public:
    FakeDialog(const std::string& name, bool held)
    {
        const std::string script = dir_ + "/" + name;
        std::ofstream(script) << "#!/bin/sh\n"
                                 "PATH=/usr/bin:/bin\n"
                                 "dir=$(dirname \"$0\")\n"
                                 "echo $$ >> \"$dir/starts\"\n"
                                 "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$dir/args\"\n"
                                 "while [ -e \"$dir/held\" ]; do sleep 0.02; done\n";
        chmod(script.c_str(), 0755);
        if (held)
            std::ofstream(dir_ + "/held");
        g_setenv("PATH", dir_.c_str(), TRUE);
    }
    ~FakeDialog()
    {
        release();
        g_setenv("PATH", savedPath_.c_str(), TRUE);
        session_test::run({ "rm", "-rf", dir_ });
    }

    // This dialog and every later one end at once.
    void release() const { std::remove((dir_ + "/held").c_str()); }
    // The arguments of the latest start, or the pids of every start.
    std::vector<std::string> read(const char* file, char separator) const
    {
        std::ifstream in(dir_ + "/" + file);
        std::vector<std::string> entries;
        for (std::string entry; std::getline(in, entry, separator);)
            entries.push_back(entry);
        return entries;
    }
    std::size_t starts() const { return read("starts", '\n').size(); }

private:
    std::string dir_ = GMallocPtr<gchar>(g_dir_make_tmp("lullswitch-dialog-XXXXXX", nullptr)).get();
    std::string savedPath_ = g_getenv("PATH");
};

std::unique_ptr<platform::Alert> makeAlert(LinuxApplication& application,
    const std::string& informative = "Two.\n\nLines.", platform::AlertStyle style = platform::AlertStyle::informational)
{
    auto alert = application.createAlert();
    alert->setMessageText("Lullswitch");
    alert->setInformativeText(informative);
    alert->setAlertStyle(style);
    alert->addButtonWithTitle("OK");
    return alert;
}

TEST(DesktopAlertTest, TextsReachTheDialogVerbatimThroughAnArgumentVector)
{
    const std::string bait = "a \"quoted\" $(touch pwned) & <b>not bold</b>";
    const struct {
        const char* program;
        platform::AlertStyle style;
        std::string informative;
        std::vector<std::string> arguments; // after the program's path
    } cases[] = {
        { "zenity", platform::AlertStyle::informational, "Two.\n\nLines.",
            { "--info", "--title=Lullswitch", "--text=<b>Lullswitch</b>\n\nTwo.\n\nLines.", "--ok-label=OK",
                "--width=420" } },
        { "zenity", platform::AlertStyle::critical, bait,
            { "--error", "--title=Lullswitch",
                "--text=<b>Lullswitch</b>\n\na &quot;quoted&quot; $(touch pwned) &amp; &lt;b&gt;not bold&lt;/b&gt;",
                "--ok-label=OK", "--width=420" } },
        { "zenity", platform::AlertStyle::warning, "",
            { "--warning", "--title=Lullswitch", "--text=<b>Lullswitch</b>", "--ok-label=OK", "--width=420" } },
        { "kdialog", platform::AlertStyle::informational, bait,
            { "--title", "Lullswitch", "--msgbox", "Lullswitch\n\n" + bait, "--ok-label", "OK" } },
    };
    for (const auto& c : cases) {
        FakeDialog dialog(c.program, false);
        LinuxApplication application(nullptr);
        EXPECT_EQ(makeAlert(application, c.informative, c.style)->runModal(), DesktopAlert::firstButtonReturn);
        EXPECT_EQ(dialog.read("args", '\0'), c.arguments) << c.program;
    }
}

TEST(DesktopAlertTest, WaitsForDismissalWhileTimersRunAndRefusesASecondAlert)
{
    FakeDialog dialog("zenity", true);
    LinuxApplication application(nullptr);
    int ticks = 0;
    std::optional<long> secondResponse;
    auto ticker = tick([&] {
        if (dialog.starts() == 1 && ++ticks == 5) {
            secondResponse = makeAlert(application)->runModal();
            dialog.release();
        }
    });
    // Released from a timer's fifth run: the main context kept running.
    EXPECT_EQ(makeAlert(application)->runModal(), DesktopAlert::firstButtonReturn);
    EXPECT_EQ(secondResponse, DesktopAlert::abortReturn);
    EXPECT_EQ(dialog.starts(), 1u) << "one dialog only";
    ticker.reset();

    // Once dismissed, the next alert shows again.
    EXPECT_EQ(makeAlert(application)->runModal(), DesktopAlert::firstButtonReturn);
    EXPECT_EQ(dialog.starts(), 2u);
}

bool processIsGone(const std::string& pid)
{
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string text;
    std::getline(stat, text);
    // The state follows the command's closing parenthesis: Z, a zombie.
    return text.empty() || text.substr(text.rfind(')') + 2, 1) == "Z";
}

TEST(DesktopAlertTest, TerminationEndsTheAlertAndItsDialog)
{
    FakeDialog dialog("zenity", true);
    LinuxApplication application(nullptr);
    RecordingDelegate delegate;
    long response = 0;
    const auto terminateOnceShown = tick([&] {
        if (dialog.starts() == 1)
            application.terminate();
    });
    delegate.onLaunch = [&] { response = makeAlert(application)->runModal(); };
    application.run(delegate);

    EXPECT_EQ(response, DesktopAlert::abortReturn);
    EXPECT_THAT(delegate.log, ElementsAre("launch", "terminate"));
    ASSERT_EQ(dialog.starts(), 1u);
    EXPECT_TRUE(iterateUntil([&] { return processIsGone(dialog.read("starts", '\n').front()); }, 5));
}

// org.freedesktop.Notifications on this process's own connection, answered
// from GDBus's worker thread: the alert calls it synchronously from this one.
class FakeNotificationServer {
public:
    static constexpr std::uint32_t id = 7;

    FakeNotificationServer() : filter_(g_dbus_connection_add_filter(sessionBus(), onMessage, this, nullptr))
    {
        busCall("RequestName", g_variant_new("(su)", name, 4u));
    }
    ~FakeNotificationServer()
    {
        busCall("ReleaseName", g_variant_new("(s)", name));
        g_dbus_connection_remove_filter(sessionBus(), filter_);
    }

    // The printed arguments of the last Notify call.
    std::string notified() const
    {
        std::lock_guard lock(mutex_);
        return notified_;
    }
    void close(std::uint32_t notification) const
    {
        g_dbus_connection_emit_signal(sessionBus(), nullptr, "/org/freedesktop/Notifications", name,
            "NotificationClosed", g_variant_new("(uu)", notification, 2u), nullptr);
    }

private:
    static constexpr const char* name = "org.freedesktop.Notifications";

    static void busCall(const char* method, GVariant* parameters)
    {
        GVariantPtr(g_dbus_connection_call_sync(sessionBus(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
    }
    static GDBusMessage* onMessage(GDBusConnection* connection, GDBusMessage* message, gboolean incoming, gpointer self)
    {
        if (!incoming || g_strcmp0(g_dbus_message_get_member(message), "Notify") != 0)
            return message;
        auto* server = static_cast<FakeNotificationServer*>(self);
        {
            std::lock_guard lock(server->mutex_);
            server->notified_ = GMallocPtr<gchar>(g_variant_print(g_dbus_message_get_body(message), FALSE)).get();
        }
        GObjectPtr<GDBusMessage> reply(g_dbus_message_new_method_reply(message));
        g_dbus_message_set_body(reply.get(), g_variant_new("(u)", id));
        g_dbus_connection_send_message(connection, reply.get(), G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
        g_object_unref(message);
        return nullptr;
    }

    guint filter_;
    mutable std::mutex mutex_;
    std::string notified_;
};

// Without a dialog program a notification stands in; with neither, nothing.
TEST(DesktopAlertTest, WithoutADialogProgramANotificationStandsInUntilClosed)
{
    FakeDialog noDialog("not-a-dialog", false);
    LinuxApplication application(sessionBus());
    EXPECT_EQ(makeAlert(application)->runModal(), DesktopAlert::abortReturn);
    FakeNotificationServer server;
    std::thread closer([&] {
        while (server.notified().empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        server.close(FakeNotificationServer::id + 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        server.close(FakeNotificationServer::id);
    });
    const gint64 start = g_get_monotonic_time();
    EXPECT_EQ(makeAlert(application)->runModal(), DesktopAlert::firstButtonReturn);
    closer.join();
    EXPECT_GE(session_test::secondsSince(start), 0.1) << "another notification's closing does not end it";
    EXPECT_THAT(server.notified(),
        HasSubstr("('Lullswitch', 0, 'dialog-information', 'Lullswitch', 'Two.\\n\\nLines.', ['default', 'OK']"));
}

} // namespace
} // namespace lullswitch::linux_backend
