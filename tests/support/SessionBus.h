#pragma once

// D-Bus calls shared by the session tests and their tools (header only, so
// that lullswitch_test_ic can use it too).

#include "platform/linux/GLibHandles.h"

#include <string>

namespace lullswitch::session_test {

// A synchronous call that never starts its destination on demand; nothing
// when it failed.
inline linux_backend::GVariantPtr callOn(GDBusConnection* bus, const char* name, const char* path,
    const char* interface, const char* method, GVariant* parameters = nullptr, const char* replyType = nullptr)
{
    return linux_backend::GVariantPtr(g_dbus_connection_call_sync(bus, name, path, interface, method, parameters,
        replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000, nullptr, nullptr));
}

// A connection of its own to the message bus at `address`; null when it
// cannot connect.
inline linux_backend::GObjectPtr<GDBusConnection> connectTo(const char* address)
{
    return linux_backend::GObjectPtr<GDBusConnection>(g_dbus_connection_new_for_address_sync(address,
        GDBusConnectionFlags(
            G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr));
}

// A new fcitx5 input context, owned by `bus` (fcitx5 takes its calls from
// that connection only), with the focus; its object path, "" on failure.
inline std::string focusNewFcitxContext(GDBusConnection* bus, const char* program)
{
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a(ss)"));
    g_variant_builder_add(&properties, "(ss)", "program", program);
    g_variant_builder_add(&properties, "(ss)", "display", "x11:");
    const auto reply = callOn(bus, "org.fcitx.Fcitx5", "/org/freedesktop/portal/inputmethod",
        "org.fcitx.Fcitx.InputMethod1", "CreateInputContext", g_variant_new("(a(ss))", &properties), "(oay)");
    const gchar* path = nullptr;
    if (reply)
        g_variant_get(reply.get(), "(&o@ay)", &path, nullptr);
    if (!path || !callOn(bus, "org.fcitx.Fcitx5", path, "org.fcitx.Fcitx.InputContext1", "FocusIn"))
        return "";
    return path;
}

} // namespace lullswitch::session_test
