#include "fakes/FakeInputSources.h"

#include <algorithm>
#include <stdexcept>

namespace lullswitch::fakes {

void FakeInputSources::setSources(std::vector<std::optional<FakeSource>> sources)
{
    if (liveReferences() != 0)
        throw std::logic_error("sources replaced while references are held");
    slots_.clear();
    isNull_.clear();
    for (auto& source : sources) {
        isNull_.push_back(!source.has_value());
        slots_.push_back(std::make_unique<Slot>(Slot { source.value_or(FakeSource {}) }));
    }
    current_.reset();
}

platform::InputSourceRef FakeInputSources::reference(std::size_t index)
{
    Slot* target = slots_.at(index).get();
    ++target->references;
    return platform::InputSourceRef::adopt(*this, target);
}

FakeInputSources::Slot& FakeInputSources::slot(const platform::InputSourceRef& source)
{
    auto* target = static_cast<Slot*>(source.handle());
    const bool known = std::any_of(slots_.begin(), slots_.end(), [&](const auto& s) { return s.get() == target; });
    if (!target || !known || target->references <= 0)
        throw std::logic_error("use of an input source reference that is not held");
    return *target;
}

platform::InputSourceRef FakeInputSources::copyCurrentKeyboardInputSource()
{
    ++currentCopies_;
    if (!current_ || isNull_.at(*current_))
        return {};
    return reference(*current_);
}

std::optional<std::vector<platform::InputSourceRef>> FakeInputSources::createEnabledInputSourceList()
{
    ++snapshots_;
    if (isListUnavailable_)
        return std::nullopt;
    std::vector<platform::InputSourceRef> list;
    for (std::size_t i = 0; i < slots_.size(); ++i)
        list.push_back(isNull_[i] ? platform::InputSourceRef() : reference(i));
    return list;
}

std::optional<std::string> FakeInputSources::identifier(const platform::InputSourceRef& source)
{
    return slot(source).source.identifier;
}

std::optional<bool> FakeInputSources::flag(const platform::InputSourceRef& source, platform::InputSourceFlag flag)
{
    const auto& fake = slot(source).source;
    if (flag == platform::InputSourceFlag::isSelectCapable)
        return fake.isSelectCapable;
    asciiReads_.push_back(name(fake));
    return fake.isASCIICapable;
}

std::int32_t FakeInputSources::select(const platform::InputSourceRef& source)
{
    const Slot& target = slot(source);
    selections_.push_back(name(target.source));
    if (log_)
        log_->push_back("select " + name(target.source));
    if (target.source.selectStatus == 0) {
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i].get() == &target)
                current_ = i;
        }
    }
    return target.source.selectStatus;
}

std::optional<std::string> FakeInputSources::currentIdentifier() const
{
    if (!current_ || isNull_.at(*current_))
        return std::nullopt;
    return slots_.at(*current_)->source.identifier;
}

int FakeInputSources::liveReferences() const
{
    int count = 0;
    for (const auto& s : slots_)
        count += s->references;
    return count;
}

void FakeInputSources::retain(void* handle)
{
    ++static_cast<Slot*>(handle)->references;
}

void FakeInputSources::release(void* handle)
{
    auto* target = static_cast<Slot*>(handle);
    if (target->references <= 0) {
        ++badReleases_;
        return;
    }
    --target->references;
}

} // namespace lullswitch::fakes
