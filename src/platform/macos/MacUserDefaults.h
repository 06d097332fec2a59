#pragma once

#include "platform/UserDefaults.h"

namespace lullswitch::macos_backend {

// The standard user-defaults store of NSUserDefaults. Reports what is stored
// and its type; the read rules belong to the settings store.
class MacUserDefaults final : public platform::UserDefaults {
public:
    platform::StoredObject object(std::string_view key) override;
    void setBool(bool value, std::string_view key) override;
    double doubleValue(std::string_view key) override;
    void setDouble(double value, std::string_view key) override;
};

} // namespace lullswitch::macos_backend
