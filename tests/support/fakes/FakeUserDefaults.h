#pragma once

#include "platform/UserDefaults.h"

#include <map>
#include <string>

namespace lullswitch::fakes {

// An in-memory preferences store with the platform's read rules: absent is
// distinct from every value, and the numeric read gives 0 for absent or
// non-numeric values.
class FakeUserDefaults final : public platform::UserDefaults {
public:
    // One per process: the shared settings store binds to it for good.
    static FakeUserDefaults& standard()
    {
        static FakeUserDefaults defaults;
        return defaults;
    }

    platform::StoredObject object(std::string_view key) override
    {
        ++reads_;
        return stored(key);
    }
    void setBool(bool value, std::string_view key) override { write(key, value); }
    double doubleValue(std::string_view key) override
    {
        const auto value = object(key);
        return value.number() ? *value.number() : 0.0;
    }
    void setDouble(double value, std::string_view key) override { write(key, value); }
    void setOnExternalChange(std::function<void()> handler) override { onExternalChange_ = std::move(handler); }

    // What another writer does; `putExternally` also sends the change notice.
    void put(std::string_view key, platform::StoredObject value) { values_[std::string(key)] = std::move(value); }
    void putExternally(std::string_view key, platform::StoredObject value)
    {
        put(key, std::move(value));
        if (onExternalChange_)
            onExternalChange_();
    }
    platform::StoredObject stored(std::string_view key) const
    {
        const auto found = values_.find(key);
        return found == values_.end() ? platform::StoredObject::absent() : found->second;
    }
    void reset() { *this = FakeUserDefaults(); }

    int readCount() const { return reads_; }
    int writeCount() const { return writes_; }

private:
    void write(std::string_view key, platform::StoredObject value)
    {
        ++writes_;
        put(key, std::move(value));
    }

    std::map<std::string, platform::StoredObject, std::less<>> values_;
    int reads_ = 0, writes_ = 0;
    std::function<void()> onExternalChange_;
};

} // namespace lullswitch::fakes
