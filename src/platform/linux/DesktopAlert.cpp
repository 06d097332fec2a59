#include "platform/linux/DesktopAlert.h"

#include <csignal>
#include <sys/types.h>

namespace lullswitch::linux_backend {

namespace {

constexpr const char* notificationsName = "org.freedesktop.Notifications";
constexpr const char* notificationsPath = "/org/freedesktop/Notifications";

std::string findProgram(const char* name)
{
    GMallocPtr<gchar> path(g_find_program_in_path(name));
    return path ? path.get() : "";
}

// The one Notify call: `actions` and `hints` may be null; `onReply` gets the
// notification's id, or nothing when the call failed.
void sendNotification(GDBusConnection* bus, const char* icon, const std::string& summary, const std::string& body,
    GVariant* actions, GVariant* hints, gint32 timeoutMs, GCancellable* cancellable,
    GAsyncReadyCallback onReply = nullptr, gpointer self = nullptr)
{
    g_dbus_connection_call(bus, notificationsName, notificationsPath, notificationsName, "Notify",
        g_variant_new("(susss@as@a{sv}i)", "Lullswitch", 0u, icon, summary.c_str(), body.c_str(),
            actions ? actions : g_variant_new_strv(nullptr, 0),
            hints ? hints : g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0), timeoutMs),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, cancellable, onReply, self);
}

} // namespace

DesktopAlert::DesktopAlert(std::shared_ptr<ModalSession> session, GDBusConnection* sessionBus)
    : session_(std::move(session)), sessionBus_(sessionBus)
{
}

DesktopAlert::~DesktopAlert()
{
    stopShowing();
}

std::optional<std::vector<std::string>> DesktopAlert::dialogCommand() const
{
    const std::string button = buttons_.empty() ? "OK" : buttons_.front();
    if (auto zenity = findProgram("zenity"); !zenity.empty()) {
        const char* kind = style_ == platform::AlertStyle::critical ? "--error"
            : style_ == platform::AlertStyle::warning               ? "--warning"
                                                                    : "--info";
        // The message in bold above the informative text, as a Mac alert has it.
        std::string text = "<b>" + escapeMarkup(messageText_) + "</b>";
        if (!informativeText_.empty())
            text += "\n\n" + escapeMarkup(informativeText_);
        return std::vector<std::string> { zenity, kind, "--title=" + messageText_, "--text=" + text,
            "--ok-label=" + button, "--width=420" };
    }
    if (auto kdialog = findProgram("kdialog"); !kdialog.empty()) {
        const char* kind = style_ == platform::AlertStyle::critical ? "--error"
            : style_ == platform::AlertStyle::warning               ? "--sorry"
                                                                    : "--msgbox";
        std::string text = messageText_;
        if (!informativeText_.empty())
            text += "\n\n" + informativeText_;
        return std::vector<std::string> { kdialog, "--title", messageText_, kind, text, "--ok-label", button };
    }
    return std::nullopt;
}

long DesktopAlert::runModal()
{
    if (session_->isAlertShowing || session_->isTerminating)
        return abortReturn;
    isDismissed_ = hasFailed_ = false;
    const auto command = dialogCommand();
    const bool isShown = command ? startDialog(*command) : startNotification();
    if (!isShown)
        return abortReturn;

    session_->isAlertShowing = true;
    while (!isDismissed_ && !hasFailed_ && !session_->isTerminating)
        g_main_context_iteration(nullptr, TRUE);
    session_->isAlertShowing = false;
    const bool wasDismissed = isDismissed_;
    stopShowing();
    return wasDismissed ? firstButtonReturn : abortReturn;
}

// An argument vector, never a shell: the texts reach the dialog verbatim.
bool DesktopAlert::startDialog(const std::vector<std::string>& argv)
{
    std::vector<gchar*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<gchar*>(arg.c_str()));
    args.push_back(nullptr);
    const auto flags
        = static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL);
    if (!g_spawn_async(nullptr, args.data(), nullptr, flags, nullptr, nullptr, &child_, nullptr))
        return false;
    childWatch_.reset(g_child_watch_source_new(child_));
    GChildWatchFunc onExit = [](GPid pid, gint, gpointer self) {
        auto* alert = static_cast<DesktopAlert*>(self);
        g_spawn_close_pid(pid);
        alert->child_ = 0;
        alert->isDismissed_ = true;
    };
    g_source_set_callback(childWatch_.get(), G_SOURCE_FUNC(onExit), this, nullptr);
    g_source_attach(childWatch_.get(), nullptr);
    return true;
}

// Without a dialog program: a notification that stays until it is closed or
// its button is pressed.
void DesktopAlert::notify(GDBusConnection* sessionBus, const std::string& summary, const std::string& body)
{
    sendNotification(sessionBus, "dialog-warning", summary, body, nullptr, nullptr, -1, nullptr);
}

bool DesktopAlert::startNotification()
{
    if (!sessionBus_)
        return false;
    notificationSignals_ = SignalSubscription(sessionBus_,
        g_dbus_connection_signal_subscribe(sessionBus_, nullptr, notificationsName, nullptr, notificationsPath, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, onNotificationSignal, this, nullptr));
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&actions, "s", "default");
    g_variant_builder_add(&actions, "s", buttons_.empty() ? "OK" : buttons_.front().c_str());
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "resident", g_variant_new_boolean(TRUE));
    // Answered while the alert's wait iterates the main context, as
    // everything else is: a slow notification server holds up nothing.
    sendNotification(sessionBus_, "dialog-information", messageText_, informativeText_, g_variant_builder_end(&actions),
        g_variant_builder_end(&hints), 0, calls_.get(), onNotified, this);
    return true;
}

void DesktopAlert::onNotified(GObject* bus, GAsyncResult* result, gpointer self)
{
    GErrorPtr error;
    const GVariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, ErrorOut(error)));
    if (wasCancelled(error.get()))
        return;
    auto* alert = static_cast<DesktopAlert*>(self);
    if (!reply) {
        // No notification server: nothing shows, so nothing is waited for.
        alert->hasFailed_ = true;
        return;
    }
    g_variant_get(reply.get(), "(u)", &alert->notificationId_);
}

void DesktopAlert::onNotificationSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal,
    GVariant* parameters, gpointer self)
{
    auto* alert = static_cast<DesktopAlert*>(self);
    const std::string name = signal;
    if ((name != "NotificationClosed" && name != "ActionInvoked") || g_variant_n_children(parameters) < 1)
        return;
    std::uint32_t id = 0;
    g_variant_get_child(parameters, 0, "u", &id);
    if (id == alert->notificationId_)
        alert->isDismissed_ = true;
}

// Whatever still shows (termination came first) goes away with the alert.
void DesktopAlert::stopShowing()
{
    if (child_ != 0) {
        kill(child_, SIGTERM);
        childWatch_.reset();
        g_spawn_close_pid(child_);
        child_ = 0;
    }
    childWatch_.reset();
    if (notificationId_ != 0 && !isDismissed_ && sessionBus_) {
        g_dbus_connection_call(sessionBus_, notificationsName, notificationsPath, notificationsName,
            "CloseNotification", g_variant_new("(u)", notificationId_), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1,
            nullptr, nullptr, nullptr);
    }
    notificationId_ = 0;
    notificationSignals_.reset();
    calls_.cancelAll();
}

} // namespace lullswitch::linux_backend
