#include "platform/linux/Fcitx5InputSources.h"

#include "input_source/InputSourceIdentifiers.h"
#include "platform/linux/XkbLayouts.h"

#include <algorithm>
#include <string_view>
#include <utility>

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

Fcitx5InputSources::Fcitx5InputSources(Fcitx5Presence& presence) : bus_(presence.bus())
{
    if (!bus_)
        return;
    changes_ = SignalSubscription(bus_,
        g_dbus_connection_signal_subscribe(
            bus_, Fcitx5Presence::busName, Fcitx5Presence::addonInterface, "InputMethodChanged",
            Fcitx5Presence::addonPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*, gpointer self) {
                static_cast<Fcitx5InputSources*>(self)->refresh();
            },
            this, nullptr));
    presence_ = presence.listen([this](bool present) { onPresence(present); });
}

void Fcitx5InputSources::onPresence(bool present)
{
    forget();
    present_ = present;
    refresh();
}

// Nothing in flight or seen before holds any longer.
void Fcitx5InputSources::forget()
{
    calls_.cancelAll();
    next_.cancel();
    hasAddon_.reset();
    reading_ = readAgain_ = false;
    current_.clear();
    group_.reset();
}

void Fcitx5InputSources::failed()
{
    forget();
    if (present_)
        next_ = ScheduledCall::after(retryMs, [this] { refresh(); });
}

void Fcitx5InputSources::call(
    const char* method, GVariant* parameters, const char* replyType, std::function<void(GVariant*)> onReply)
{
    callWithoutWaiting(bus_, Fcitx5Presence::busName, controllerPath, controllerInterface, method, parameters,
        replyType, callTimeoutMs, calls_, [this, onReply = std::move(onReply)](GVariant* reply) {
            if (reply)
                onReply(reply);
            else
                failed();
        });
}

// The group, its input methods, then the current one: fcitx5 answers in
// order, so the view is of one moment.
void Fcitx5InputSources::refresh()
{
    if (!present_)
        return;
    if (reading_) {
        readAgain_ = true;
        return;
    }
    reading_ = true;
    // Asked first, so that its answer is in before the read's.
    if (!hasAddon_) {
        callWithoutWaiting(bus_, Fcitx5Presence::busName, Fcitx5Presence::addonPath, Fcitx5Presence::addonInterface,
            "LastKeyTime", nullptr, "(tt)", callTimeoutMs, calls_,
            [this](GVariant* reply) { hasAddon_ = reply != nullptr; });
    }
    call("CurrentInputMethodGroup", nullptr, "(s)", [this](GVariant* reply) {
        const gchar* name = nullptr;
        g_variant_get(reply, "(&s)", &name);
        if (*name == '\0') {
            readCurrent(std::nullopt);
            return;
        }
        call("InputMethodGroupInfo", g_variant_new("(s)", name), "(sa(ss))", [this](GVariant* info) {
            GVariantIter* entries = nullptr;
            g_variant_get(info, "(&sa(ss))", nullptr, &entries);
            std::vector<std::string> group;
            const gchar* inputMethod = nullptr;
            while (g_variant_iter_next(entries, "(&s&s)", &inputMethod, nullptr))
                group.emplace_back(inputMethod);
            g_variant_iter_free(entries);
            readCurrent(std::move(group));
        });
    });
}

void Fcitx5InputSources::readCurrent(std::optional<std::vector<std::string>> group)
{
    call("CurrentInputMethod", nullptr, "(s)", [this, group = std::move(group)](GVariant* reply) mutable {
        const gchar* name = nullptr;
        g_variant_get(reply, "(&s)", &name);
        current_ = name;
        group_ = std::move(group);
        reading_ = false;
        if (std::exchange(readAgain_, false))
            refresh();
        else if (hasAddon_ != true)
            next_ = ScheduledCall::after(pollMs, [this] { poll(); });
    });
}

// One call a look: the whole view is read again when the input method has
// changed (a switch of group changes it too), and after every select.
void Fcitx5InputSources::poll()
{
    call("CurrentInputMethod", nullptr, "(s)", [this](GVariant* reply) {
        const gchar* name = nullptr;
        g_variant_get(reply, "(&s)", &name);
        if (current_ != name)
            refresh();
        else
            next_ = ScheduledCall::after(pollMs, [this] { poll(); });
    });
}

platform::InputSourceRef Fcitx5InputSources::copyCurrentKeyboardInputSource()
{
    return current_.empty() ? platform::InputSourceRef {} : makeSource(current_);
}

std::optional<std::vector<platform::InputSourceRef>> Fcitx5InputSources::createEnabledInputSourceList()
{
    if (!group_)
        return std::nullopt;
    std::vector<platform::InputSourceRef> sources;
    sources.reserve(group_->size());
    for (const auto& inputMethod : *group_)
        sources.push_back(makeSource(inputMethod));
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
    if (!present_)
        return platform::SelectStatus::notRunning;
    if (!group_)
        return platform::SelectStatus::callFailed;
    const std::string& name = payloadOf(source);
    if (std::find(group_->begin(), group_->end(), name) == group_->end())
        return platform::SelectStatus::notTakenEffect;
    call("SetCurrentIM", g_variant_new("(s)", name.c_str()), "()", [](GVariant*) {});
    current_ = name;
    refresh();
    return platform::SelectStatus::selected;
}

} // namespace lullswitch::linux_backend
