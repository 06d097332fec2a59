#include "platform/linux/Fcitx5KeyTimeClock.h"

#include <limits>

namespace lullswitch::linux_backend {

namespace {

constexpr const char* fcitxName = Fcitx5Presence::busName;
constexpr const char* keyTimePath = Fcitx5Presence::addonPath;
constexpr const char* keyTimeInterface = Fcitx5Presence::addonInterface;
constexpr int callTimeoutMs = 2000;

} // namespace

Fcitx5KeyTimeClock::Fcitx5KeyTimeClock(Fcitx5Presence& presence) : bus_(presence.bus())
{
    if (!bus_)
        return;
    activity_ = SignalSubscription(bus_,
        g_dbus_connection_signal_subscribe(bus_, fcitxName, keyTimeInterface, "KeyActivity", keyTimePath, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, onKeyActivity, this, nullptr));
    presence_ = presence.listen([this](bool present) { onPresence(present); });
}

double Fcitx5KeyTimeClock::secondsSinceLastEvent(platform::KeyboardEventType)
{
    if (!attached_)
        return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(g_get_monotonic_time() - lastKeyUs_) / static_cast<double>(G_USEC_PER_SEC);
}

void Fcitx5KeyTimeClock::onPresence(bool present)
{
    calls_.cancelAll();
    attached_ = false;
    if (!present)
        return;
    // Once per start of fcitx5: whether the addon is there, and its reading.
    callWithoutWaiting(bus_, fcitxName, keyTimePath, keyTimeInterface, "LastKeyTime", nullptr, "(tt)", callTimeoutMs,
        calls_, [this](GVariant* reply) {
            if (reply)
                take(reply);
        });
}

void Fcitx5KeyTimeClock::onKeyActivity(
    GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters, gpointer self)
{
    if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(tt)")))
        static_cast<Fcitx5KeyTimeClock*>(self)->take(parameters);
}

void Fcitx5KeyTimeClock::take(GVariant* reading)
{
    guint64 lastKey = 0, toldAt = 0;
    g_variant_get(reading, "(tt)", &lastKey, &toldAt);
    // The reading's age, not fcitx5's clock itself: both are monotonic, but
    // only the difference is needed. A reading comes no sooner than the time
    // it is said at, so the key is never placed earlier than it was.
    const gint64 age = toldAt >= lastKey ? static_cast<gint64>(toldAt - lastKey) : 0;
    lastKeyUs_ = g_get_monotonic_time() - age;
    attached_ = true;
}

} // namespace lullswitch::linux_backend
