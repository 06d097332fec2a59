#include "platform/linux/IBusInputSources.h"

#include "input_source/InputSourceIdentifiers.h"
#include "platform/linux/XkbLayouts.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>

namespace lullswitch::linux_backend {

namespace {

constexpr const char* ibusPath = "/org/freedesktop/IBus";
constexpr const char* ibusInterface = "org.freedesktop.IBus";
constexpr const char* contextInterface = "org.freedesktop.IBus.InputContext";
constexpr std::string_view modeSeparator = ":InputMode.";
constexpr std::string_view xkbPrefix = "xkb:";
constexpr guint propertyStateChecked = 1;

std::optional<std::string> modeNamed(const gchar* symbol)
{
    for (const auto& [shown, mode] : ibusInputModeSymbols()) {
        if (shown == symbol)
            return mode;
    }
    return std::nullopt;
}

// The InputMode among serialized IBus properties (one, or a list); nothing
// when they do not tell it (an empty list comes on every focus move).
std::optional<std::string> inputModeIn(GVariant* serialized)
{
    GObjectPtr<IBusSerializable> object(ibus_serializable_deserialize(serialized));
    if (object)
        g_object_ref_sink(object.get());
    std::vector<IBusProperty*> properties;
    if (IBUS_IS_PROPERTY(object.get()))
        properties.push_back(IBUS_PROPERTY(object.get()));
    else if (IBUS_IS_PROP_LIST(object.get())) {
        for (guint i = 0; IBusProperty* property = ibus_prop_list_get(IBUS_PROP_LIST(object.get()), i); ++i)
            properties.push_back(property);
    }
    for (IBusProperty* property : properties) {
        IBusText* symbol = ibus_property_get_symbol(property);
        if (g_strcmp0(ibus_property_get_key(property), "InputMode") == 0 && symbol)
            return modeNamed(ibus_text_get_text(symbol));
    }
    return std::nullopt;
}

// The text of a serialized IBusText: ("IBusText", a{sv}, text, attributes).
std::string textIn(GVariant* serialized)
{
    if (!g_variant_is_of_type(serialized, G_VARIANT_TYPE_TUPLE) || g_variant_n_children(serialized) < 3)
        return {};
    const GVariantPtr text(g_variant_get_child_value(serialized, 2));
    return g_variant_is_of_type(text.get(), G_VARIANT_TYPE_STRING) ? g_variant_get_string(text.get(), nullptr) : "";
}

} // namespace

// What the daemon tells the applications' input contexts: the engine's mode
// and whose kana are being composed. Fed in GDBus's worker thread.
class IBusInputSources::Watch final : public IBusConnection::Watcher {
public:
    Watch()
    {
        // Deserializing finds the types by name: they must be registered.
        g_type_ensure(IBUS_TYPE_PROP_LIST);
        g_type_ensure(IBUS_TYPE_PROPERTY);
        g_type_ensure(IBUS_TYPE_TEXT);
    }

    bool consume(GDBusMessage* message) override
    {
        const char* interface = g_dbus_message_get_interface(message);
        const char* member = g_dbus_message_get_member(message);
        GVariant* body = g_dbus_message_get_body(message);
        if (g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_SIGNAL || !interface || !member || !body
            || g_variant_n_children(body) == 0)
            return false;
        if (std::strcmp(interface, ibusInterface) == 0 && std::strcmp(member, "GlobalEngineChanged") == 0) {
            setMode(std::nullopt);
            return false;
        }
        if (std::strcmp(interface, contextInterface) != 0)
            return false;
        const GVariantPtr first(g_variant_get_child_value(body, 0));
        if (!g_variant_is_of_type(first.get(), G_VARIANT_TYPE_VARIANT))
            return false;
        const GVariantPtr serialized(g_variant_get_variant(first.get()));
        if (std::strcmp(member, "RegisterProperties") == 0 || std::strcmp(member, "UpdateProperty") == 0) {
            if (auto mode = inputModeIn(serialized.get()))
                setMode(std::move(mode));
        } else if (std::strcmp(member, "UpdatePreeditText") == 0
            || std::strcmp(member, "UpdatePreeditTextWithMode") == 0) {
            const std::lock_guard lock(mutex_);
            composing_ = !textIn(serialized.get()).empty();
        } else if (std::strcmp(member, "CommitText") == 0) {
            const std::lock_guard lock(mutex_);
            composing_ = false;
        }
        return false;
    }

    void restart() override
    {
        const std::lock_guard lock(mutex_);
        mode_.reset();
        composing_ = false;
    }

    std::optional<std::string> mode() const
    {
        const std::lock_guard lock(mutex_);
        return mode_;
    }

    bool isComposing() const
    {
        const std::lock_guard lock(mutex_);
        return composing_;
    }

    bool waitForMode(const std::string& mode)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(
            lock, std::chrono::milliseconds(IBusConnection::callTimeoutMs), [&] { return mode_ == mode; });
    }

private:
    void setMode(std::optional<std::string> mode)
    {
        {
            const std::lock_guard lock(mutex_);
            mode_ = std::move(mode);
        }
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<std::string> mode_;
    // The latest composition news of any context decides: a context whose
    // application has left the focus (or died) settles its kana, or loses
    // them, whatever the agent does.
    bool composing_ = false;
};

IBusInputSources::IBusInputSources(std::function<void()> onChange)
    : watch_(std::make_shared<Watch>()),
      connection_(watch_,
          { "type='signal',interface='org.freedesktop.IBus.InputContext'",
              "type='signal',interface='org.freedesktop.IBus',member='GlobalEngineChanged'" },
          std::move(onChange))
{
}

IBusInputSources::~IBusInputSources() = default;

bool IBusInputSources::isComposing() const
{
    return watch_->isComposing();
}

std::optional<std::string> IBusInputSources::globalEngine()
{
    const auto reply = connection_.call(ibusPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", ibusInterface, "GlobalEngine"), "(v)");
    if (!reply)
        return std::nullopt;
    // The property is itself a variant: a serialized IBusEngineDesc,
    // ("IBusEngineDesc", a{sv}, name, ...).
    GVariantPtr description(g_variant_get_child_value(reply.get(), 0));
    while (g_variant_is_of_type(description.get(), G_VARIANT_TYPE_VARIANT))
        description.reset(g_variant_get_variant(description.get()));
    std::string name = textIn(description.get());
    if (name.empty())
        return std::nullopt;
    return name;
}

std::optional<std::string> IBusInputSources::currentIdentifier()
{
    auto engine = globalEngine();
    if (!engine)
        return std::nullopt;
    if (const auto mode = watch_->mode())
        return *engine + ":" + *mode;
    return engine;
}

platform::InputSourceRef IBusInputSources::copyCurrentKeyboardInputSource()
{
    auto current = currentIdentifier();
    if (!current)
        return {};
    return makeSource(std::move(*current));
}

std::optional<std::vector<platform::InputSourceRef>> IBusInputSources::createEnabledInputSourceList()
{
    const auto current = currentIdentifier();
    if (!current)
        return std::nullopt;
    const std::string engine = current->substr(0, current->find(modeSeparator));
    std::vector<platform::InputSourceRef> sources;
    // The engine's own alphanumeric mode: the first preferred one.
    for (const auto& preferred : identifiers().preferredEisuInputSourceIDs) {
        if (preferred.rfind(engine + modeSeparator.data(), 0) == 0) {
            if (preferred != *current)
                sources.push_back(makeSource(preferred));
            break;
        }
    }
    sources.push_back(makeSource(*current));
    return sources;
}

std::optional<std::string> IBusInputSources::identifier(const platform::InputSourceRef& source)
{
    if (!source)
        return std::nullopt;
    return payloadOf(source);
}

std::optional<bool> IBusInputSources::flag(const platform::InputSourceRef& source, platform::InputSourceFlag flag)
{
    if (!source)
        return std::nullopt;
    if (flag == platform::InputSourceFlag::isSelectCapable)
        return true;
    const std::string_view id = payloadOf(source);
    if (id.ends_with(":InputMode.Latin") || id.ends_with(":InputMode.Direct"))
        return true;
    if (!id.starts_with(xkbPrefix))
        return false;
    // "xkb:<layout>:<variant>:<language>"
    const std::string_view rest = id.substr(xkbPrefix.size());
    const std::string_view layout = rest.substr(0, rest.find(':'));
    std::string_view variant = rest.substr(std::min(rest.size(), layout.size() + 1));
    variant = variant.substr(0, variant.find(':'));
    return keyboardLayoutTypesLatin(layout, variant);
}

std::int32_t IBusInputSources::select(const platform::InputSourceRef& source)
{
    if (!source)
        return callFailed;
    if (!connection_.isConnected())
        return notRunning;
    if (watch_->isComposing())
        return composing;
    const std::string& id = payloadOf(source);
    const auto separator = id.find(modeSeparator);
    const std::string engine = id.substr(0, separator);
    if (globalEngine() != engine) {
        if (!connection_.call(ibusPath, ibusInterface, "SetGlobalEngine", g_variant_new("(s)", engine.c_str()), "()"))
            return callFailed;
        if (globalEngine() != engine)
            return notTakenEffect;
    }
    if (separator == std::string::npos)
        return selected;
    return activateMode(id.substr(separator + 1));
}

// Only the connection that made an input context may use it, and the engine
// listens to the focused one: so a context of the agent's own, focused for
// the time of the switch. The applications' contexts keep the new mode.
std::int32_t IBusInputSources::activateMode(const std::string& mode)
{
    const auto created
        = connection_.call(ibusPath, ibusInterface, "CreateInputContext", g_variant_new("(s)", "lullswitch"), "(o)");
    if (!created)
        return callFailed;
    const gchar* rawPath = nullptr;
    g_variant_get(created.get(), "(&o)", &rawPath);
    const std::string path = rawPath;
    const auto context = [&](const char* interface, const char* method, GVariant* parameters) {
        return connection_.call(path.c_str(), interface, method, parameters, "()") != nullptr;
    };
    std::int32_t status = callFailed;
    // Without these capabilities a context never gets the engine, nor hears
    // the mode it changes.
    if (context(contextInterface, "SetCapabilities", g_variant_new("(u)", guint { IBUS_CAP_FOCUS | IBUS_CAP_PROPERTY }))
        && context(contextInterface, "FocusIn", nullptr)
        && context(contextInterface, "PropertyActivate", g_variant_new("(su)", mode.c_str(), propertyStateChecked)))
        status = watch_->waitForMode(mode) ? selected : notTakenEffect;
    context(contextInterface, "FocusOut", nullptr);
    context("org.freedesktop.IBus.Service", "Destroy", nullptr);
    return status;
}

const InputSourceIdentifiers& IBusInputSources::identifiers() const
{
    return linuxInputSourceIdentifiers();
}

} // namespace lullswitch::linux_backend
