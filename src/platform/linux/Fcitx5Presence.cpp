#include "platform/linux/Fcitx5Presence.h"

#include <algorithm>

namespace lullswitch::linux_backend {

Fcitx5Presence::Fcitx5Presence(GDBusConnection* sessionBus)
    : bus_(sessionBus ? G_DBUS_CONNECTION(g_object_ref(sessionBus)) : nullptr)
{
    if (bus_)
        watch_ = watchBusName(
            bus_.get(), busName, [this](const char*) { tell(true); }, [this] { tell(false); });
}

Fcitx5Presence::Listener Fcitx5Presence::listen(Callback callback)
{
    if (present_)
        callback(true);
    listeners_.emplace_back(++lastId_, std::move(callback));
    return Listener(this, lastId_);
}

void Fcitx5Presence::Listener::reset()
{
    if (presence_) {
        auto& listeners = presence_->listeners_;
        listeners.erase(std::remove_if(listeners.begin(), listeners.end(),
                            [this](const auto& listener) { return listener.first == id_; }),
            listeners.end());
    }
    presence_ = nullptr;
}

void Fcitx5Presence::tell(bool present)
{
    present_ = present;
    // By id, so that a listener that joins or leaves meanwhile is told only
    // while it listens.
    std::vector<int> ids;
    for (const auto& listener : listeners_)
        ids.push_back(listener.first);
    for (const int id : ids) {
        const auto found = std::find_if(
            listeners_.begin(), listeners_.end(), [id](const auto& listener) { return listener.first == id; });
        if (found != listeners_.end())
            Callback(found->second)(present);
    }
}

} // namespace lullswitch::linux_backend
