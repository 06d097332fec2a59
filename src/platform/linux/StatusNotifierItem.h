#pragma once

#include "platform/linux/GLibRegistrations.h"

#include <string>
#include <string_view>

namespace lullswitch::linux_backend {

// The tray item over the StatusNotifierItem protocol. It is exported first and
// then registered with whichever process owns org.kde.StatusNotifierWatcher,
// again each time that owner changes (a panel restarting), so the item
// appears as soon as a tray host starts. Without a host it simply waits.
class StatusNotifierItem {
public:
    static constexpr const char* watcherName = "org.kde.StatusNotifierWatcher";
    // Where every host looks when an item registers by its bus name.
    static constexpr const char* objectPath = "/StatusNotifierItem";

    StatusNotifierItem(GDBusConnection* connection, std::string menuPath);
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;
    ~StatusNotifierItem();

    // Shown as title and drawn as the icon.
    void setTitle(std::string_view title);
    void setToolTip(std::string_view toolTip);

private:
    static void onMethodCall(GDBusConnection*, const gchar* sender, const gchar* path, const gchar* interface,
        const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self);
    static GVariant* onGetProperty(GDBusConnection*, const gchar* sender, const gchar* path, const gchar* interface,
        const gchar* property, GError** error, gpointer self);
    void onWatcherAppeared(const char* owner);
    void onWatcherVanished();
    static void onRegisterReply(GObject* connection, GAsyncResult* result, gpointer self);

    GVariant* property(const std::string& name) const;
    void registerWithWatcher();
    void scheduleSignals();
    void emit(const char* signal, GVariant* parameters);

    GObjectPtr<GDBusConnection> connection_;
    std::string menuPath_;
    std::string title_;
    std::string toolTip_;
    bool isTitleChanged_ = false;
    bool isToolTipChanged_ = false;
    std::string watcherOwner_;
    int registerAttempts_ = 0;
    ScheduledCall signals_;
    ScheduledCall retry_;
    PendingCalls pendingCalls_;
    ObjectRegistration registration_;
    BusNameHandle wellKnownName_;
    BusNameHandle watcherWatch_;
};

} // namespace lullswitch::linux_backend
