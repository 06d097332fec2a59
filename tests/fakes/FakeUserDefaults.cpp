#include "fakes/FakeUserDefaults.h"

namespace lullswitch::fakes {

FakeUserDefaults& FakeUserDefaults::standard()
{
    static FakeUserDefaults defaults;
    return defaults;
}

platform::StoredObject FakeUserDefaults::object(std::string_view key)
{
    ++reads_[std::string(key)];
    return stored(key);
}

void FakeUserDefaults::setBool(bool value, std::string_view key)
{
    ++writes_;
    put(key, value);
}

double FakeUserDefaults::doubleValue(std::string_view key)
{
    ++reads_[std::string(key)];
    const auto object = stored(key);
    if (const double* number = object.number())
        return *number;
    if (const bool* boolean = object.boolean())
        return *boolean ? 1.0 : 0.0;
    return 0.0;
}

void FakeUserDefaults::setDouble(double value, std::string_view key)
{
    ++writes_;
    put(key, value);
}

platform::StoredObject FakeUserDefaults::stored(std::string_view key) const
{
    const auto found = values_.find(key);
    return found == values_.end() ? platform::StoredObject::absent() : found->second;
}

void FakeUserDefaults::putExternally(std::string_view key, platform::StoredObject value)
{
    put(key, std::move(value));
    if (onExternalChange_)
        onExternalChange_();
}

void FakeUserDefaults::reset()
{
    onExternalChange_ = nullptr;
    values_.clear();
    reads_.clear();
    writes_ = 0;
}

int FakeUserDefaults::readCount(std::string_view key) const
{
    const auto found = reads_.find(key);
    return found == reads_.end() ? 0 : found->second;
}

} // namespace lullswitch::fakes
