#include "platform/linux/InputMethodFramework.h"

#include "input_source/InputSourceIdentifiers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lullswitch::linux_backend {

InputMethodFramework::Kind InputMethodFramework::choose(
    bool fcitx5Runs, bool ibusRuns, const char* gtkImModule, const char* qtImModule, const char* xmodifiers)
{
    if (fcitx5Runs != ibusRuns)
        return fcitx5Runs ? Kind::fcitx5 : Kind::ibus;
    if (!fcitx5Runs)
        return Kind::none;
    for (const char* setting : { gtkImModule, qtImModule, xmodifiers }) {
        if (setting && std::strstr(setting, "ibus"))
            return Kind::ibus;
        if (setting && std::strstr(setting, "fcitx"))
            return Kind::fcitx5;
    }
    return Kind::fcitx5;
}

InputMethodFramework::InputMethodFramework(Fcitx5Presence& fcitx5) : fcitx5_(fcitx5), ibus_([this] { update(); })
{
    // With a bus, the first word on fcitx5 decides; without, there is none.
    if (!fcitx5.bus())
        update();
    fcitxPresence_ = fcitx5.listen([this](bool present) {
        fcitxRuns_ = present;
        update();
    });
}

void InputMethodFramework::update()
{
    const Kind kind = choose(fcitxRuns_, ibus_.isIBusRunning(), std::getenv("GTK_IM_MODULE"),
        std::getenv("QT_IM_MODULE"), std::getenv("XMODIFIERS"));
    if (announced_ && kind == kind_)
        return;
    kind_ = kind;
    announced_ = true;
    static const char* const messages[] = {
        "lullswitch: neither fcitx5 nor IBus runs; nothing is switched until one starts\n",
        "lullswitch: switching input methods with fcitx5\n",
        "lullswitch: switching input methods with IBus\n",
    };
    std::fputs(messages[static_cast<int>(kind)], stderr);
}

platform::InputSourceServices* InputMethodFramework::backend()
{
    switch (kind_) {
    case Kind::fcitx5:
        return &fcitx5_;
    case Kind::ibus:
        return &ibus_;
    case Kind::none:
        break;
    }
    return nullptr;
}

platform::InputSourceRef InputMethodFramework::wrap(platform::InputSourceRef inner)
{
    if (!inner)
        return {};
    return makeSource(FrameworkSource { backend(), std::move(inner) });
}

platform::InputSourceRef InputMethodFramework::copyCurrentKeyboardInputSource()
{
    auto* services = backend();
    return services ? wrap(services->copyCurrentKeyboardInputSource()) : platform::InputSourceRef {};
}

std::optional<std::vector<platform::InputSourceRef>> InputMethodFramework::createEnabledInputSourceList()
{
    auto* services = backend();
    auto list = services ? services->createEnabledInputSourceList() : std::nullopt;
    if (list) {
        for (auto& source : *list)
            source = wrap(std::move(source));
    }
    return list;
}

std::optional<std::string> InputMethodFramework::identifier(const platform::InputSourceRef& source)
{
    if (!source)
        return std::nullopt;
    const auto& wrapped = payloadOf(source);
    return wrapped.backend->identifier(wrapped.inner);
}

std::optional<bool> InputMethodFramework::flag(const platform::InputSourceRef& source, platform::InputSourceFlag flag)
{
    if (!source)
        return std::nullopt;
    const auto& wrapped = payloadOf(source);
    return wrapped.backend->flag(wrapped.inner, flag);
}

std::int32_t InputMethodFramework::select(const platform::InputSourceRef& source)
{
    if (!source || payloadOf(source).backend != backend())
        return platform::SelectStatus::notRunning;
    const auto& wrapped = payloadOf(source);
    return wrapped.backend->select(wrapped.inner);
}

} // namespace lullswitch::linux_backend
