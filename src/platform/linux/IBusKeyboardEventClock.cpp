#include "platform/linux/IBusKeyboardEventClock.h"

#include <array>
#include <atomic>
#include <cstring>
#include <limits>

namespace lullswitch::linux_backend {

namespace {

using platform::KeyboardEventType;

bool isModifier(guint keyval)
{
    return (keyval >= IBUS_KEY_Shift_L && keyval <= IBUS_KEY_Hyper_R)
        || (keyval >= IBUS_KEY_ISO_Lock && keyval <= IBUS_KEY_ISO_Level5_Lock) || keyval == IBUS_KEY_Mode_switch
        || keyval == IBUS_KEY_Num_Lock;
}

} // namespace

class IBusKeyboardEventClock::Watch final : public IBusConnection::Watcher {
public:
    Watch()
    {
        for (auto& time : lastEvent_)
            time = g_get_monotonic_time();
    }

    bool consume(GDBusMessage* message) override
    {
        if (g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL)
            return false;
        GVariant* body = g_dbus_message_get_body(message);
        if (g_strcmp0(g_dbus_message_get_member(message), "ProcessKeyEvent") == 0 && body
            && g_variant_is_of_type(body, G_VARIANT_TYPE("(uuu)"))) {
            // (keyval, keycode, state): the key is classified here and forgotten.
            guint keyval = 0;
            guint state = 0;
            g_variant_get_child(body, 0, "u", &keyval);
            g_variant_get_child(body, 2, "u", &state);
            const gint64 now = g_get_monotonic_time();
            const bool released = (state & IBUS_RELEASE_MASK) != 0;
            if (isModifier(keyval))
                lastEvent_[index(KeyboardEventType::flagsChanged)] = now;
            lastEvent_[index(released ? KeyboardEventType::keyUp : KeyboardEventType::keyDown)] = now;
        }
        // Every call that reaches this connection is a copy: never answered.
        return true;
    }

    void restart() override { }

    double secondsSince(KeyboardEventType type) const
    {
        return static_cast<double>(g_get_monotonic_time() - lastEvent_[index(type)]) / G_USEC_PER_SEC;
    }

private:
    static std::size_t index(KeyboardEventType type) { return static_cast<std::size_t>(type); }

    std::array<std::atomic<gint64>, 3> lastEvent_;
};

IBusKeyboardEventClock::IBusKeyboardEventClock()
    : watch_(std::make_shared<Watch>()),
      connection_(
          watch_, { "type='method_call',interface='org.freedesktop.IBus.InputContext',member='ProcessKeyEvent'" })
{
}

IBusKeyboardEventClock::~IBusKeyboardEventClock() = default;

double IBusKeyboardEventClock::secondsSinceLastEvent(platform::KeyboardEventType type)
{
    if (!connection_.isConnected())
        return std::numeric_limits<double>::quiet_NaN();
    return watch_->secondsSince(type);
}

} // namespace lullswitch::linux_backend
