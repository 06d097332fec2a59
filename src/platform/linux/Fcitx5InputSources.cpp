#include "platform/linux/Fcitx5InputSources.h"

#include "input_source/InputSourceIdentifiers.h"
#include "platform/linux/XkbLayouts.h"

#include <string_view>

namespace lullswitch::linux_backend {

namespace {

constexpr const char* controllerPath = "/controller";
constexpr const char* controllerInterface = "org.fcitx.Fcitx.Controller1";
// fcitx5 names its keyboard layouts "keyboard-<layout>[-<variant>]".
constexpr std::string_view layoutPrefix = "keyboard-";

bool typesLatin(std::string_view uniqueName)
{
    if (uniqueName.substr(0, layoutPrefix.size()) != layoutPrefix)
        return false;
    const std::string_view name = uniqueName.substr(layoutPrefix.size());
    const auto dash = name.find('-');
    if (dash == std::string_view::npos)
        return keyboardLayoutTypesLatin(name, "");
    return keyboardLayoutTypesLatin(name.substr(0, dash), name.substr(dash + 1));
}

} // namespace

Fcitx5InputSources::Fcitx5InputSources(GDBusConnection* sessionBus)
    : bus_(sessionBus ? G_DBUS_CONNECTION(g_object_ref(sessionBus)) : nullptr)
{
    if (bus_) {
        fcitxWatch_ = watchBusName(
            bus_.get(), busName, [this](const char*) { owner_ = Owner::present; }, [this] { owner_ = Owner::absent; });
    }
}

GVariantPtr Fcitx5InputSources::call(const char* method, GVariant* parameters, const char* replyType)
{
    const GVariantPtr arguments = takeVariant(parameters);
    if (!bus_ || owner_ == Owner::absent || g_get_monotonic_time() < hungUntil_)
        return nullptr;
    GErrorPtr error;
    GVariantPtr reply(
        g_dbus_connection_call_sync(bus_.get(), busName, controllerPath, controllerInterface, method, arguments.get(),
            G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START, callTimeoutMs, nullptr, ErrorOut(error)));
    if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
        hungUntil_ = g_get_monotonic_time() + hungBackoffUs;
    return reply;
}

std::optional<std::string> Fcitx5InputSources::currentInputMethod()
{
    const auto reply = call("CurrentInputMethod", nullptr, "(s)");
    if (!reply)
        return std::nullopt;
    const gchar* name = nullptr;
    g_variant_get(reply.get(), "(&s)", &name);
    return std::string(name);
}

platform::InputSourceRef Fcitx5InputSources::copyCurrentKeyboardInputSource()
{
    auto name = currentInputMethod();
    if (!name || name->empty())
        return {};
    return makeSource(std::move(*name));
}

std::optional<std::vector<platform::InputSourceRef>> Fcitx5InputSources::createEnabledInputSourceList()
{
    const auto group = call("CurrentInputMethodGroup", nullptr, "(s)");
    if (!group)
        return std::nullopt;
    const gchar* groupName = nullptr;
    g_variant_get(group.get(), "(&s)", &groupName);
    if (*groupName == '\0')
        return std::nullopt;
    const auto info = call("InputMethodGroupInfo", g_variant_new("(s)", groupName), "(sa(ss))");
    if (!info)
        return std::nullopt;

    GVariantIter* entries = nullptr;
    g_variant_get(info.get(), "(&sa(ss))", nullptr, &entries);
    std::vector<platform::InputSourceRef> sources;
    sources.reserve(g_variant_iter_n_children(entries));
    const gchar* inputMethod = nullptr;
    const gchar* layout = nullptr;
    while (g_variant_iter_next(entries, "(&s&s)", &inputMethod, &layout))
        sources.push_back(makeSource(inputMethod));
    g_variant_iter_free(entries);
    return sources;
}

std::optional<bool> Fcitx5InputSources::flag(const platform::InputSourceRef& source, platform::InputSourceFlag flag)
{
    if (!source)
        return std::nullopt;
    switch (flag) {
    case platform::InputSourceFlag::isSelectCapable:
        return true;
    case platform::InputSourceFlag::isASCIICapable:
        return typesLatin(payloadOf(source));
    }
    return std::nullopt;
}

std::int32_t Fcitx5InputSources::select(const platform::InputSourceRef& source)
{
    if (!source)
        return platform::SelectStatus::callFailed;
    const std::string& name = payloadOf(source);
    if (!bus_ || owner_ == Owner::absent)
        return platform::SelectStatus::notRunning;
    if (!call("SetCurrentIM", g_variant_new("(s)", name.c_str()), "()"))
        return platform::SelectStatus::callFailed;
    return currentInputMethod() == name ? platform::SelectStatus::selected : platform::SelectStatus::notTakenEffect;
}

} // namespace lullswitch::linux_backend
