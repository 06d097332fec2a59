#pragma once

#include "platform/MainLoop.h"

#include <array>
#include <functional>
#include <memory>

namespace lullswitch {

// Measures keyboard idle time four times a second and runs `onIdle` once per
// idle period. It only asks the system for elapsed times, never for events.
// Always owned through a shared pointer, so the timer can hold it weakly.
class IdleKeyboardWatcher : public std::enable_shared_from_this<IdleKeyboardWatcher> {
    struct Key {
        explicit Key() = default;
    };

public:
    using DelayProvider = std::function<double()>;
    using IdleCallback = std::function<void()>;

    static constexpr double pollInterval = 0.25;
    // The idle time when no reading is valid.
    static constexpr double noValidReading = 1.7976931348623157e308;

    static std::shared_ptr<IdleKeyboardWatcher> create(DelayProvider delayProvider);
    IdleKeyboardWatcher(Key, DelayProvider delayProvider);
    ~IdleKeyboardWatcher();
    IdleKeyboardWatcher(const IdleKeyboardWatcher&) = delete;
    IdleKeyboardWatcher& operator=(const IdleKeyboardWatcher&) = delete;

    // Assigned by the owner before the first start; may be empty.
    IdleCallback onIdle;

    void start();
    void stop();
    void restart();

    bool isRunning() const { return timer_ != nullptr; }
    bool hasFiredForCurrentIdlePeriod() const { return hasFiredForCurrentIdlePeriod_; }

    // The smallest valid reading (finite and not negative), or noValidReading.
    static double idleTimeFromReadings(const std::array<double, 3>& readings);

private:
    void tick();
    double secondsSinceLastKeyboardEvent() const;

    DelayProvider delayProvider_;
    platform::TimerHandle timer_;
    bool hasFiredForCurrentIdlePeriod_ = false;
};

} // namespace lullswitch
