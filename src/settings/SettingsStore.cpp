#include "settings/SettingsStore.h"

#include "platform/Platform.h"

#include <algorithm>
#include <cmath>

namespace lullswitch {

SettingsStore& SettingsStore::shared()
{
    // A function-local static is initialised once, safely against concurrent
    // first use.
    static SettingsStore store(platform::services().userDefaults);
    return store;
}

SettingsStore::SettingsStore(platform::UserDefaults& defaults) : defaults_(defaults)
{
    if (defaults_.object(isEnabledKey).isAbsent())
        defaults_.setBool(defaultIsEnabled, isEnabledKey);
    if (defaults_.object(delaySecondsKey).isAbsent())
        defaults_.setDouble(defaultDelaySeconds, delaySecondsKey);
}

bool SettingsStore::isEnabled() const
{
    const auto object = defaults_.object(isEnabledKey);
    if (const bool* stored = object.boolean())
        return *stored;
    // The platform converts a number that is exactly 0 or 1; anything else
    // has no boolean meaning.
    if (const double* number = object.number()) {
        if (*number == 0.0)
            return false;
        if (*number == 1.0)
            return true;
    }
    return defaultIsEnabled;
}

void SettingsStore::setIsEnabled(bool isEnabled)
{
    defaults_.setBool(isEnabled, isEnabledKey);
}

double SettingsStore::delaySeconds() const
{
    const double stored = defaults_.doubleValue(delaySecondsKey);
    // NaN fails the comparison too; an infinite delay is never reached.
    if (!(stored > 0.0) || std::isinf(stored))
        return defaultDelaySeconds;
    // A hand-written delay shorter than a tick would stop switching (the
    // once-per-idle latch never sees a short idle time to reset on): it reads
    // as the shortest stored one. A long one is the user's choice.
    return std::max(stored, minimumDelaySeconds);
}

void SettingsStore::setDelaySeconds(double seconds)
{
    // In this order, so that NaN passes through both as the plain
    // comparisons would let it.
    defaults_.setDouble(std::min(std::max(seconds, minimumDelaySeconds), maximumDelaySeconds), delaySecondsKey);
}

} // namespace lullswitch
