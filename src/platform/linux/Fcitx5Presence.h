#pragma once

#include "platform/linux/GLibHandles.h"
#include "platform/linux/GLibRegistrations.h"

#include <functional>
#include <utility>
#include <vector>

namespace lullswitch::linux_backend {

// Whether fcitx5 is on the session bus: the one watch of its name, told to
// every part of the agent that talks to it. A listener is told of each
// appearance and each departure, and at once on joining when fcitx5 is
// already known to be there.
class Fcitx5Presence {
public:
    // Present when fcitx5 has appeared, absent when it has gone.
    using Callback = std::function<void(bool present)>;

    // A listener's place; it is no longer told once this is destroyed.
    class Listener {
    public:
        Listener() = default;
        Listener(Fcitx5Presence* presence, int id) : presence_(presence), id_(id) { }
        Listener(Listener&& other) noexcept
            : presence_(std::exchange(other.presence_, nullptr)), id_(std::exchange(other.id_, 0))
        {
        }
        Listener& operator=(Listener&& other) noexcept
        {
            reset();
            presence_ = std::exchange(other.presence_, nullptr);
            id_ = std::exchange(other.id_, 0);
            return *this;
        }
        ~Listener() { reset(); }
        void reset();

    private:
        Fcitx5Presence* presence_ = nullptr;
        int id_ = 0;
    };

    // `sessionBus` may be null: then fcitx5 is never there.
    explicit Fcitx5Presence(GDBusConnection* sessionBus);
    Fcitx5Presence(const Fcitx5Presence&) = delete;
    Fcitx5Presence& operator=(const Fcitx5Presence&) = delete;

    [[nodiscard]] Listener listen(Callback callback);

    // fcitx5's name on the session bus.
    static constexpr const char* busName = "org.fcitx.Fcitx5";
    // The read-only face of the agent's addon inside fcitx5.
    static constexpr const char* addonPath = "/app/lullswitch/KeyTime";
    static constexpr const char* addonInterface = "app.lullswitch.KeyTime1";

    // Null when there is no bus.
    GDBusConnection* bus() const { return bus_.get(); }

private:
    void tell(bool present);

    GObjectPtr<GDBusConnection> bus_;
    bool present_ = false;
    int lastId_ = 0;
    std::vector<std::pair<int, Callback>> listeners_;
    BusNameHandle watch_;
};

} // namespace lullswitch::linux_backend
