// The application object and its alerts on Linux, in this process: launch and
// termination order, signals through the main loop, and a modal alert that
// waits for its dialog while the main context keeps running.
#include "platform/linux/LinuxApplication.h"
#include "SessionSupport.h"
#include "platform/linux/GLibMainLoop.h"
#include "platform/linux/GLibRegistrations.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/stat.h>

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

// org.freedesktop.Notifications on this process's own connection: Notify is
// answered with `id`, its printed arguments kept.
class FakeNotificationServer {
public:
    static constexpr std::uint32_t id = 7;

    void close(std::uint32_t notification) const
    {
        g_dbus_connection_emit_signal(sessionBus(), nullptr, "/org/freedesktop/Notifications", name,
            "NotificationClosed", g_variant_new("(uu)", notification, 2u), nullptr);
    }

    std::string notified;

private:
    static constexpr const char* name = "org.freedesktop.Notifications";

    static void onNotify(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
        GDBusMethodInvocation* invocation, gpointer self)
    {
        static_cast<FakeNotificationServer*>(self)->notified
            = GMallocPtr<gchar>(g_variant_print(parameters, FALSE)).get();
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", id));
    }

    static constexpr GDBusInterfaceVTable vtable { onNotify, nullptr, nullptr, {} };
    ObjectRegistration registration_ = exportObject(sessionBus(), "/org/freedesktop/Notifications",
        "<node><interface name='org.freedesktop.Notifications'><method name='Notify'><arg type='s'/><arg type='u'/>"
        "<arg type='s'/><arg type='s'/><arg type='s'/><arg type='as'/><arg type='a{sv}'/><arg type='i'/>"
        "<arg type='u' direction='out'/></method></interface></node>",
        vtable, this);
    // Asked before any call to it, on the same connection: the bus handles them in order.
    BusNameHandle name_ { g_bus_own_name_on_connection(
                              sessionBus(), name, G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr, nullptr, nullptr),
        g_bus_unown_name };
};

// Without a dialog program a notification stands in until it is closed, not
// another, and never expires by itself; with neither, nothing.
TEST(DesktopAlertTest, WithoutADialogProgramANotificationStandsInUntilClosed)
{
    FakeDialog noDialog("not-a-dialog", false);
    LinuxApplication application(sessionBus());
    EXPECT_EQ(makeAlert(application)->runModal(), DesktopAlert::abortReturn);
    FakeNotificationServer server;
    int ticks = 0;
    const auto closer = GLibMainLoop().scheduleRepeating(0.01, [&] {
        if (!server.notified.empty() && ++ticks % 10 == 1)
            server.close(ticks == 1 ? FakeNotificationServer::id + 1 : FakeNotificationServer::id);
    });
    EXPECT_EQ(makeAlert(application)->runModal(), DesktopAlert::firstButtonReturn);
    EXPECT_GT(ticks, 10) << "another notification's closing does not end it";
    EXPECT_THAT(server.notified,
        HasSubstr("('Lullswitch', 0, 'dialog-information', 'Lullswitch', 'Two.\\n\\nLines.', ['default', 'OK'], "
                  "{'resident': <true>}, 0)"));
}

} // namespace
} // namespace lullswitch::linux_backend
