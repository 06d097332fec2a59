#pragma once

#include "platform/UserDefaults.h"

namespace lullswitch {

// The two persistent preferences. Holds no copy of either: every read goes to
// the preferences store, so another writer's change shows at the next read.
class SettingsStore {
public:
    static constexpr const char* isEnabledKey = "isEnabled";
    static constexpr const char* delaySecondsKey = "delaySeconds";
    static constexpr bool defaultIsEnabled = true;
    static constexpr double defaultDelaySeconds = 2.0;
    static constexpr double minimumDelaySeconds = 0.5;
    static constexpr double maximumDelaySeconds = 30.0;

    // The one instance, over the platform's standard store; made on first use.
    static SettingsStore& shared();

    // Seeds both keys when absent. Only `shared` and tests make one.
    explicit SettingsStore(platform::UserDefaults& defaults);
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    bool isEnabled() const;
    void setIsEnabled(bool isEnabled);
    double delaySeconds() const;
    void setDelaySeconds(double seconds);

private:
    platform::UserDefaults& defaults_;
};

} // namespace lullswitch
