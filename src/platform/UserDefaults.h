#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <variant>

namespace lullswitch::platform {

// What a preferences store holds under a key. Absent is distinct from every
// stored value; `Other` stands for any stored type without a richer meaning
// here (a date, an array, ...).
class StoredObject {
public:
    struct Other {
        bool operator==(const Other&) const = default;
    };
    using Value = std::variant<std::monostate, bool, double, std::string, Other>;

    StoredObject() = default;
    StoredObject(Value value) : value_(std::move(value)) { }
    StoredObject(bool value) : value_(value) { }
    StoredObject(double value) : value_(value) { }
    StoredObject(std::string value) : value_(std::move(value)) { }
    // Without this, a string literal would convert to bool.
    StoredObject(const char* value) : value_(std::string(value)) { }
    StoredObject(Other value) : value_(value) { }

    static StoredObject absent() { return {}; }

    bool isAbsent() const { return std::holds_alternative<std::monostate>(value_); }
    const bool* boolean() const { return std::get_if<bool>(&value_); }
    const double* number() const { return std::get_if<double>(&value_); }
    const std::string* text() const { return std::get_if<std::string>(&value_); }
    const Value& value() const { return value_; }

    bool operator==(const StoredObject&) const = default;

private:
    Value value_;
};

// The current user's preferences store for this application.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;

    virtual StoredObject object(std::string_view key) = 0;
    virtual void setBool(bool value, std::string_view key) = 0;
    // 0 when nothing is stored or the stored value has no numeric meaning.
    virtual double doubleValue(std::string_view key) = 0;
    virtual void setDouble(double value, std::string_view key) = 0;

    // Called on the main thread after another program changed the store (a
    // hand edit, a sync tool), never for this process's own writes. Setting
    // a handler replaces the previous one.
    virtual void setOnExternalChange(std::function<void()> handler) = 0;
};

} // namespace lullswitch::platform
