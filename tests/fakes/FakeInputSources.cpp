#include "fakes/FakeInputSources.h"

#include <algorithm>

namespace lullswitch::fakes {

void FakeInputSources::setSources(std::vector<std::optional<FakeSource>> sources)
{
    slots_.clear();
    for (auto& source : sources)
        slots_.push_back(std::make_unique<Slot>(Slot { source.value_or(FakeSource {}), !source }));
    current_.reset();
}

platform::InputSourceRef FakeInputSources::reference(std::size_t index)
{
    Slot* target = slots_.at(index).get();
    if (target->isNull)
        return {};
    ++target->references;
    return platform::InputSourceRef::adopt(*this, target);
}

platform::InputSourceRef FakeInputSources::copyCurrentKeyboardInputSource()
{
    ++currentCopies_;
    return current_ ? reference(*current_) : platform::InputSourceRef();
}

std::optional<std::vector<platform::InputSourceRef>> FakeInputSources::createEnabledInputSourceList()
{
    ++snapshots_;
    if (isListUnavailable_)
        return std::nullopt;
    std::vector<platform::InputSourceRef> list;
    for (std::size_t i = 0; i < slots_.size(); ++i)
        list.push_back(reference(i));
    return list;
}

std::optional<bool> FakeInputSources::flag(const platform::InputSourceRef& source, platform::InputSourceFlag flag)
{
    const auto& fake = slot(source).source;
    if (flag == platform::InputSourceFlag::isSelectCapable)
        return fake.isSelectCapable;
    asciiReads_.push_back(fake.identifier.value_or("<none>"));
    return fake.isASCIICapable;
}

std::int32_t FakeInputSources::select(const platform::InputSourceRef& source)
{
    const Slot& target = slot(source);
    selections_.push_back(target.source.identifier.value_or("<none>"));
    if (target.source.selectStatus == 0)
        current_ = static_cast<std::size_t>(std::find_if(slots_.begin(), slots_.end(), [&](const auto& s) {
            return s.get() == &target;
        }) - slots_.begin());
    return target.source.selectStatus;
}

int FakeInputSources::liveReferences() const
{
    int count = 0;
    for (const auto& s : slots_)
        count += s->references;
    return count;
}

void FakeInputSources::release(void* handle)
{
    auto* target = static_cast<Slot*>(handle);
    if (target->references <= 0)
        ++badReleases_;
    else
        --target->references;
}

} // namespace lullswitch::fakes
