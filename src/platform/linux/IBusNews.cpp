#include "platform/linux/IBusNews.h"

#include "input_source/InputSourceIdentifiers.h"
#include "platform/linux/GLibHandles.h"

#include <optional>
#include <string_view>

namespace lullswitch::linux_backend {

namespace {

constexpr std::string_view contextInterface = "org.freedesktop.IBus.InputContext";
constexpr std::string_view panelInterface = "org.freedesktop.IBus.Panel";
constexpr std::string_view ibusInterface = "org.freedesktop.IBus";
// The daemon signs its signals with its own name and its calls to the panel
// with the bus's; both names are reserved to it.
constexpr std::string_view daemonSender = "org.freedesktop.IBus";
constexpr std::string_view panelCallSender = "org.freedesktop.DBus";
// An engine announces a handful of properties; a longer list is not read.
constexpr gsize maxProperties = 64;

// Serialized IBus objects: (type name, attachments, fields...).
constexpr const char* textType = "(sa{sv}sv)";
constexpr const char* propertyType = "(sa{sv}suvsvbbuvv)";
constexpr const char* propListType = "(sa{sv}av)";

std::string_view stringAt(GVariant* tuple, gsize index)
{
    const GVariantPtr child(g_variant_get_child_value(tuple, index));
    return g_variant_get_string(child.get(), nullptr);
}

// The object a variant holds, if it is a serialized `typeName` of `type`.
GVariantPtr objectIn(GVariant* variant, const char* type, std::string_view typeName)
{
    if (!variant || !g_variant_is_of_type(variant, G_VARIANT_TYPE_VARIANT))
        return nullptr;
    GVariantPtr object(g_variant_get_variant(variant));
    if (!g_variant_is_of_type(object.get(), G_VARIANT_TYPE(type)) || stringAt(object.get(), 0) != typeName)
        return nullptr;
    return object;
}

// The text of a variant holding a serialized IBusText; null if it is none.
std::optional<std::string_view> textIn(GVariant* variant, GVariantPtr& keeper)
{
    keeper = objectIn(variant, textType, "IBusText");
    if (!keeper)
        return std::nullopt;
    return stringAt(keeper.get(), 2);
}

GVariantPtr childAt(GVariant* tuple, gsize index)
{
    return GVariantPtr(g_variant_get_child_value(tuple, index));
}

// The mode an InputMode property shows by its symbol; empty for any other
// property or symbol.
std::string modeOf(GVariant* property)
{
    if (stringAt(property, 2) != "InputMode")
        return {};
    GVariantPtr keeper;
    const auto symbol = textIn(childAt(property, 11).get(), keeper);
    if (!symbol)
        return {};
    for (const auto& [shown, mode] : ibusInputModeSymbols()) {
        if (shown == *symbol)
            return mode;
    }
    return {};
}

// The mode in a (v) body holding one property or a list of them.
std::string modeInProperties(GVariant* body)
{
    if (!body || !g_variant_is_of_type(body, G_VARIANT_TYPE("(v)")))
        return {};
    const GVariantPtr wrapped(childAt(body, 0));
    if (const auto property = objectIn(wrapped.get(), propertyType, "IBusProperty"))
        return modeOf(property.get());
    const auto list = objectIn(wrapped.get(), propListType, "IBusPropList");
    if (!list)
        return {};
    const GVariantPtr properties(childAt(list.get(), 2));
    const gsize count = g_variant_n_children(properties.get());
    if (count > maxProperties)
        return {};
    for (gsize i = 0; i < count; ++i) {
        const GVariantPtr entry(childAt(properties.get(), i));
        if (const auto property = objectIn(entry.get(), propertyType, "IBusProperty")) {
            if (std::string mode = modeOf(property.get()); !mode.empty())
                return mode;
        }
    }
    return {};
}

IBusNews inputMode(GVariant* body, bool isCopiedCall)
{
    IBusNews news;
    news.isCopiedCall = isCopiedCall;
    news.value = modeInProperties(body);
    if (!news.value.empty())
        news.kind = IBusNews::Kind::inputMode;
    return news;
}

// A preedit's body starts with its text; only whether it is empty is read.
IBusNews composition(GVariant* body, const char* type, bool isCopiedCall)
{
    IBusNews news;
    news.isCopiedCall = isCopiedCall;
    if (!body || !g_variant_is_of_type(body, G_VARIANT_TYPE(type)))
        return news;
    GVariantPtr keeper;
    const auto text = textIn(childAt(body, 0).get(), keeper);
    if (!text)
        return news;
    news.kind = IBusNews::Kind::composition;
    news.composing = !text->empty();
    return news;
}

IBusNews fromContext(std::string_view member, GVariant* body)
{
    if (member == "RegisterProperties" || member == "UpdateProperty")
        return inputMode(body, false);
    if (member == "UpdatePreeditText")
        return composition(body, "(vub)", false);
    if (member == "UpdatePreeditTextWithMode")
        return composition(body, "(vubu)", false);
    // What was committed is not even looked at: that it came is enough.
    if (member == "CommitText" && body && g_variant_is_of_type(body, G_VARIANT_TYPE("(v)"))) {
        IBusNews news;
        news.kind = IBusNews::Kind::composition;
        return news;
    }
    return {};
}

IBusNews fromPanelCall(std::string_view member, GVariant* body)
{
    if (member == "RegisterProperties" || member == "UpdateProperty")
        return inputMode(body, true);
    if (member == "UpdatePreeditText")
        return composition(body, "(vub)", true);
    return {};
}

std::string_view orEmpty(const char* text)
{
    return text ? text : "";
}

} // namespace

IBusNews IBusNews::read(GDBusMessage* message)
{
    const auto type = g_dbus_message_get_message_type(message);
    const std::string_view interface = orEmpty(g_dbus_message_get_interface(message));
    const std::string_view member = orEmpty(g_dbus_message_get_member(message));
    const std::string_view sender = orEmpty(g_dbus_message_get_sender(message));
    GVariant* body = g_dbus_message_get_body(message);
    if (type == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
        // Applications' keys on their way to the daemon: only that one came.
        if (interface == contextInterface && member == "ProcessKeyEvent")
            return { Kind::keyEvent, {}, false, true };
        if (interface == panelInterface && sender == panelCallSender)
            return fromPanelCall(member, body);
        return {};
    }
    if (type != G_DBUS_MESSAGE_TYPE_SIGNAL || sender != daemonSender)
        return {};
    if (interface == contextInterface)
        return fromContext(member, body);
    if (interface == ibusInterface && member == "GlobalEngineChanged" && body
        && g_variant_is_of_type(body, G_VARIANT_TYPE("(s)")))
        return { Kind::globalEngine, std::string(stringAt(body, 0)) };
    return {};
}

std::vector<std::string> IBusNews::matchRules(Kind kind)
{
    const auto signal = [](const char* interface, const char* member) {
        return std::string("type='signal',sender='org.freedesktop.IBus',interface='") + interface + "',member='"
            + member + "'";
    };
    const auto panelCall = [](const char* member) {
        return std::string("type='method_call',sender='org.freedesktop.DBus',interface='org.freedesktop.IBus.Panel',"
                           "member='")
            + member + "'";
    };
    const char* context = "org.freedesktop.IBus.InputContext";
    switch (kind) {
    case Kind::inputMode:
        return { signal(context, "RegisterProperties"), signal(context, "UpdateProperty"),
            panelCall("RegisterProperties"), panelCall("UpdateProperty") };
    case Kind::composition:
        return { signal(context, "UpdatePreeditText"), signal(context, "UpdatePreeditTextWithMode"),
            signal(context, "CommitText"), panelCall("UpdatePreeditText") };
    case Kind::globalEngine:
        return { signal("org.freedesktop.IBus", "GlobalEngineChanged") };
    case Kind::keyEvent:
        // Applications send these: no sender can be named.
        return { "type='method_call',interface='org.freedesktop.IBus.InputContext',member='ProcessKeyEvent'" };
    case Kind::none:
        break;
    }
    return {};
}

std::string IBusNews::engineNameIn(GVariant* description)
{
    // ("IBusEngineDesc", attachments, name, longname, ...)
    if (!description || !g_variant_is_of_type(description, G_VARIANT_TYPE_TUPLE)
        || g_variant_n_children(description) < 3)
        return {};
    const GVariantPtr typeName(childAt(description, 0));
    const GVariantPtr name(childAt(description, 2));
    if (!g_variant_is_of_type(typeName.get(), G_VARIANT_TYPE_STRING)
        || std::string_view(g_variant_get_string(typeName.get(), nullptr)) != "IBusEngineDesc"
        || !g_variant_is_of_type(name.get(), G_VARIANT_TYPE_STRING))
        return {};
    return g_variant_get_string(name.get(), nullptr);
}

} // namespace lullswitch::linux_backend
