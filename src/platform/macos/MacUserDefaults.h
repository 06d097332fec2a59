#pragma once

#include "platform/UserDefaults.h"

#include <functional>

#ifdef __OBJC__
@class LullswitchDefaultsObserver;
#else
using LullswitchDefaultsObserver = struct objc_object;
#endif

namespace lullswitch::macos_backend {

// The standard user-defaults store of NSUserDefaults. Reports what is stored
// and its type; the read rules belong to the settings store. Changes made by
// another process (`defaults write`) are observed by key-value observing of
// the two keys.
class MacUserDefaults final : public platform::UserDefaults {
public:
    MacUserDefaults();
    ~MacUserDefaults() override;
    MacUserDefaults(const MacUserDefaults&) = delete;
    MacUserDefaults& operator=(const MacUserDefaults&) = delete;

    platform::StoredObject object(std::string_view key) override;
    void setBool(bool value, std::string_view key) override;
    double doubleValue(std::string_view key) override;
    void setDouble(double value, std::string_view key) override;
    void setOnExternalChange(std::function<void()> handler) override;

private:
    LullswitchDefaultsObserver* observer_;
};

} // namespace lullswitch::macos_backend
