// The application object and its alerts on Linux, in this process: launch and
// termination order, signals through the main loop, and a modal alert that
// waits for its dialog while the main context keeps running.
#include "platform/linux/LinuxApplication.h"
#include "SessionBus.h"
#include "SessionSupport.h"
#include "platform/linux/GLibMainLoop.h"
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
using ::testing::HasSubstr;
using Strings = std::vector<std::string>;

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
        EXPECT_EQ(delegate.log, (quit < 0 ? Strings {} : Strings { "launch", "terminate" })) << quit;
        EXPECT_TRUE(application.isTerminating());
    }
}

// A dialog program in a directory of its own, put first on PATH: it records
// its pid and arguments, then, while held, waits until the test lets it go.
class FakeDialog {
public:
    FakeDialog(const std::string& name, bool held)
    {
        const std::string script = dir_ + "/" + name;
        std::ofstream(script)
            << "#!/bin/sh\nPATH=/usr/bin:/bin; dir=$(dirname \"$0\"); echo $$ >> \"$dir/starts\"\n"
               "printf '%s\\0' \"$@\" > \"$dir/args\"; while [ -e \"$dir/held\" ]; do sleep 0.02; done\n";
        chmod(script.c_str(), 0755);
        if (held)
            hold();
        g_setenv("PATH", dir_.c_str(), TRUE);
    }
    ~FakeDialog()
    {
        release();
        g_setenv("PATH", savedPath_.c_str(), TRUE);
        session_test::run({ "rm", "-rf", dir_ });
    }

    // This dialog and every later one end at once, or wait.
    void release() const { std::remove((dir_ + "/held").c_str()); }
    void hold() const { std::ofstream(dir_ + "/held"); }
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
    const auto zenity = [](const char* kind, const std::string& text) {
        return Strings { kind, "--title=Lullswitch", "--text=<b>Lullswitch</b>" + text, "--ok-label=OK",
            "--width=420" };
    };
    using enum platform::AlertStyle;
    const struct {
        const char* program;
        platform::AlertStyle style;
        std::string informative;
        Strings arguments; // after the program's path
    } cases[] = {
        { "zenity", informational, "Two.\n\nLines.", zenity("--info", "\n\nTwo.\n\nLines.") },
        { "zenity", critical, bait,
            zenity("--error", "\n\na &quot;quoted&quot; $(touch pwned) &amp; &lt;b&gt;not bold&lt;/b&gt;") },
        { "zenity", warning, "", zenity("--warning", "") },
        { "kdialog", informational, bait,
            { "--title", "Lullswitch", "--msgbox", "Lullswitch\n\n" + bait, "--ok-label", "OK" } },
    };
    for (const auto& c : cases) {
        FakeDialog dialog(c.program, false);
        LinuxApplication application(nullptr);
        EXPECT_EQ(makeAlert(application, c.informative, c.style)->runModal(), DesktopAlert::firstButtonReturn);
        EXPECT_EQ(dialog.read("args", '\0'), c.arguments) << c.program;
    }
}

// The alert is released from a timer's fifth run: the main context kept
// running. Shown again once dismissed, it waits anew, ends with termination,
// and its dialog with it.
TEST(DesktopAlertTest, WaitsWhileTimersRunRefusesASecondAlertAndEndsOnTermination)
{
    FakeDialog dialog("zenity", true);
    LinuxApplication application(nullptr);
    RecordingDelegate delegate;
    int ticks = 0;
    std::optional<long> refused;
    std::vector<long> responses;
    const auto ticker = GLibMainLoop().scheduleRepeating(0.01, [&] {
        if (dialog.starts() == 1 && ++ticks == 5) {
            refused = makeAlert(application)->runModal();
            dialog.release();
        }
        if (dialog.starts() == 2)
            application.terminate();
    });
    delegate.onLaunch = [&] {
        const auto alert = makeAlert(application);
        responses.push_back(alert->runModal());
        dialog.hold();
        responses.push_back(alert->runModal());
    };
    application.run(delegate);

    EXPECT_EQ(responses, (std::vector<long> { DesktopAlert::firstButtonReturn, DesktopAlert::abortReturn }));
    EXPECT_EQ(refused, DesktopAlert::abortReturn);
    EXPECT_EQ(delegate.log, (Strings { "launch", "terminate" }));
    ASSERT_EQ(dialog.starts(), 2u) << "one dialog at a time";
    // Gone, or a zombie: the state follows the command's closing parenthesis.
    EXPECT_TRUE(iterateUntil(
        [&] {
            std::string stat;
            std::getline(std::ifstream("/proc/" + dialog.read("starts", '\n').back() + "/stat"), stat);
            return stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z";
        },
        5));
}

// org.freedesktop.Notifications on this process's own connection, answered
// from GDBus's worker thread: the alert calls it synchronously from this one.
class FakeNotificationServer {
public:
    static constexpr std::uint32_t id = 7;

    FakeNotificationServer() : filter_(g_dbus_connection_add_filter(sessionBus(), onMessage, this, nullptr))
    {
        session_test::callOn(sessionBus(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", name, 4u));
    }
    ~FakeNotificationServer()
    {
        session_test::callOn(sessionBus(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "ReleaseName", g_variant_new("(s)", name));
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
