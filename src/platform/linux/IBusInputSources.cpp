#include "platform/linux/IBusInputSources.h"

#include "input_source/InputSourceIdentifiers.h"
#include "platform/linux/XkbLayouts.h"

#include <string_view>

namespace lullswitch::linux_backend {

namespace {

constexpr const char* ibusPath = "/org/freedesktop/IBus";
constexpr const char* ibusInterface = "org.freedesktop.IBus";
constexpr const char* contextInterface = "org.freedesktop.IBus.InputContext";
constexpr std::string_view modeSeparator = ":InputMode.";
constexpr std::string_view xkbPrefix = "xkb:";
constexpr guint propertyStateChecked = 1;

} // namespace

IBusInputSources::IBusInputSources(std::function<void()> onChange)
    : onChange_(std::move(onChange)),
      connection_(
          { IBusNews::Kind::inputMode, IBusNews::Kind::composition, IBusNews::Kind::globalEngine },
          [this](const IBusNews& news, gint64) { onNews(news); }, [this] { onConnectionChange(); })
{
}

void IBusInputSources::onNews(const IBusNews& news)
{
    switch (news.kind) {
    case IBusNews::Kind::inputMode:
        mode_ = news.value;
        break;
    case IBusNews::Kind::composition:
        composing_ = news.composing;
        break;
    case IBusNews::Kind::globalEngine:
        // A new engine starts afresh: its mode is still to be announced, and
        // a change of engine has settled or lost any kana.
        engine_ = news.value;
        mode_.reset();
        composing_ = false;
        break;
    default:
        break;
    }
}

// What was seen on the old connection no longer holds. On a new one the
// global engine is read once (then followed by its signal), and the agent's
// own input context made: it has the focus capability only, so that the
// engine's news of a switch made through it goes to the panel.
void IBusInputSources::onConnectionChange()
{
    engine_.reset();
    mode_.reset();
    composing_ = false;
    contextPath_.clear();
    if (connection_.isConnected()) {
        connection_.call(ibusPath, "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", ibusInterface, "GlobalEngine"), [this](GVariant* reply) {
                if (!reply || !g_variant_is_of_type(reply, G_VARIANT_TYPE("(v)")))
                    return;
                // The property is itself a variant: a serialized IBusEngineDesc.
                GVariantPtr description(g_variant_get_child_value(reply, 0));
                while (g_variant_is_of_type(description.get(), G_VARIANT_TYPE_VARIANT))
                    description.reset(g_variant_get_variant(description.get()));
                if (std::string name = IBusNews::engineNameIn(description.get()); !name.empty() && !engine_)
                    engine_ = std::move(name);
            });
        connection_.call(
            ibusPath, ibusInterface, "CreateInputContext", g_variant_new("(s)", "lullswitch"), [this](GVariant* reply) {
                if (!reply || !g_variant_is_of_type(reply, G_VARIANT_TYPE("(o)")))
                    return;
                const gchar* path = nullptr;
                g_variant_get(reply, "(&o)", &path);
                contextPath_ = path;
                connection_.call(
                    path, contextInterface, "SetCapabilities", g_variant_new("(u)", guint { IBUS_CAP_FOCUS }));
            });
    }
    if (onChange_)
        onChange_();
}

std::optional<std::string> IBusInputSources::currentIdentifier() const
{
    if (!engine_)
        return std::nullopt;
    if (mode_)
        return *engine_ + ":" + *mode_;
    return engine_;
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
        return platform::SelectStatus::callFailed;
    if (!connection_.isConnected())
        return platform::SelectStatus::notRunning;
    if (composing_)
        return platform::SelectStatus::composing;
    const std::string& id = payloadOf(source);
    const auto separator = id.find(modeSeparator);
    const std::string engine = id.substr(0, separator);
    if (separator == std::string::npos) {
        if (engine_ != engine)
            connection_.call(ibusPath, ibusInterface, "SetGlobalEngine", g_variant_new("(s)", engine.c_str()));
        return platform::SelectStatus::selected;
    }
    // A mode of another engine is no mode of this one.
    if (engine_ != engine)
        return platform::SelectStatus::notTakenEffect;
    if (contextPath_.empty())
        return platform::SelectStatus::callFailed;
    // Only the connection that made an input context may use it, and the
    // engine listens to the focused one. The calls go in order; the
    // applications' contexts keep the new mode.
    const char* path = contextPath_.c_str();
    connection_.call(path, contextInterface, "FocusIn", nullptr);
    connection_.call(path, contextInterface, "PropertyActivate",
        g_variant_new("(su)", id.substr(separator + 1).c_str(), propertyStateChecked));
    connection_.call(path, contextInterface, "FocusOut", nullptr);
    return platform::SelectStatus::selected;
}

} // namespace lullswitch::linux_backend
