#pragma once

#include "platform/KeyboardEventClock.h"
#include "platform/linux/Fcitx5Presence.h"
#include "platform/linux/GLibRegistrations.h"

namespace lullswitch::linux_backend {

// Keyboard idle readings from the lullswitch-keytime addon inside fcitx5,
// which sees every key typed into a text field on Wayland and X11 alike. The
// addon tells, no finer than its grid and never earlier than the key, when a
// stretch of typing starts and ends and which quarter seconds in between held
// keys; the reading is kept here, so reading it costs no call, and a later
// reading may move the last key back to the end of the stretch. Attached
// while fcitx5 runs with the addon loaded, and again after fcitx5 restarts;
// readings are NaN otherwise. The addon tells one time for every kind of key
// event, so all three types read the same.
class Fcitx5KeyTimeClock final : public platform::KeyboardEventClock {
public:
    // `presence` must outlive this.
    explicit Fcitx5KeyTimeClock(Fcitx5Presence& presence);
    Fcitx5KeyTimeClock(const Fcitx5KeyTimeClock&) = delete;
    Fcitx5KeyTimeClock& operator=(const Fcitx5KeyTimeClock&) = delete;

    double secondsSinceLastEvent(platform::KeyboardEventType type) override;

private:
    void onPresence(bool present);
    static void onKeyActivity(
        GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters, gpointer self);
    // A reading of the addon: the last key and the moment it was told, both
    // in fcitx5's monotonic microseconds.
    void take(GVariant* reading);

    GDBusConnection* bus_;
    bool attached_ = false;
    gint64 lastKeyUs_ = 0;
    PendingCalls calls_;
    SignalSubscription activity_;
    Fcitx5Presence::Listener presence_;
};

} // namespace lullswitch::linux_backend
