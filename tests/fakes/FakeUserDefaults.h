#pragma once

#include "platform/UserDefaults.h"

#include <map>
#include <string>

namespace lullswitch::fakes {

// An in-memory preferences store with the platform's read rules: absent is
// distinct from every value, and the numeric read gives 0 for absent or
// non-numeric values (a boolean reads as 1 or 0).
class FakeUserDefaults final : public platform::UserDefaults {
public:
    // One per process: the shared settings store binds to it for good.
    static FakeUserDefaults& standard();

    platform::StoredObject object(std::string_view key) override;
    void setBool(bool value, std::string_view key) override;
    double doubleValue(std::string_view key) override;
    void setDouble(double value, std::string_view key) override;
    void setOnExternalChange(std::function<void()> handler) override { onExternalChange_ = std::move(handler); }

    // What another writer does; `putExternally` also sends the change notice.
    void put(std::string_view key, platform::StoredObject value) { values_[std::string(key)] = std::move(value); }
    void putExternally(std::string_view key, platform::StoredObject value);
    platform::StoredObject stored(std::string_view key) const;
    void reset();

    int readCount(std::string_view key) const;
    int writeCount() const { return writes_; }

private:
    std::map<std::string, platform::StoredObject, std::less<>> values_;
    std::map<std::string, int, std::less<>> reads_;
    int writes_ = 0;
    std::function<void()> onExternalChange_;
};

} // namespace lullswitch::fakes
