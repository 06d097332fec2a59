#pragma once

#include "platform/Application.h"
#include "platform/linux/GLibRegistrations.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lullswitch::linux_backend {

// What the alerts of one application share: one alert shows at a time, and
// termination ends any alert's wait.
struct ModalSession {
    bool isAlertShowing = false;
    bool isTerminating = false;
};

// A modal message on the desktop: a zenity or kdialog dialog when either is
// installed, otherwise a desktop notification with the button as its action.
// runModal returns when the user dismisses it, iterating the main context
// meanwhile so that timers and D-Bus keep running. An alert asked to run
// while another is showing returns at once: the user already has the same
// window in front of them, and a second copy would only stack up.
class DesktopAlert final : public platform::Alert {
public:
    static constexpr long firstButtonReturn = 1000;
    static constexpr long abortReturn = -1001;

    DesktopAlert(std::shared_ptr<ModalSession> session, GDBusConnection* sessionBus);
    DesktopAlert(const DesktopAlert&) = delete;
    DesktopAlert& operator=(const DesktopAlert&) = delete;
    ~DesktopAlert() override;

    void setMessageText(std::string_view text) override { messageText_ = text; }
    void setInformativeText(std::string_view text) override { informativeText_ = text; }
    void setAlertStyle(platform::AlertStyle style) override { style_ = style; }
    void addButtonWithTitle(std::string_view title) override { buttons_.emplace_back(title); }
    long runModal() override;

    // A desktop notification that asks nothing and is not waited for.
    static void notify(GDBusConnection* sessionBus, const std::string& summary, const std::string& body);

    // The dialog program's argument vector, found on PATH; none when neither
    // zenity nor kdialog is installed.
    std::optional<std::vector<std::string>> dialogCommand() const;

private:
    bool startDialog(const std::vector<std::string>& argv);
    bool startNotification();
    static void onNotified(GObject* bus, GAsyncResult* result, gpointer self);
    static void onNotificationSignal(GDBusConnection*, const gchar* sender, const gchar* path, const gchar* interface,
        const gchar* signal, GVariant* parameters, gpointer self);
    void stopShowing();

    std::shared_ptr<ModalSession> session_;
    GDBusConnection* sessionBus_;
    std::string messageText_;
    std::string informativeText_;
    platform::AlertStyle style_ = platform::AlertStyle::warning;
    std::vector<std::string> buttons_;

    bool isDismissed_ = false;
    bool hasFailed_ = false;
    GPid child_ = 0;
    GSourcePtr childWatch_;
    std::uint32_t notificationId_ = 0;
    SignalSubscription notificationSignals_;
    PendingCalls calls_;
};

} // namespace lullswitch::linux_backend
