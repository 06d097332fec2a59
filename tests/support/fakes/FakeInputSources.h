#pragma once

#include "input_source/InputSourceIdentifiers.h"
#include "platform/InputSourceServices.h"

#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace lullswitch::fakes {

// One scripted input source. Any property may be missing.
struct FakeSource {
    std::optional<std::string> identifier;
    std::optional<bool> isSelectCapable = true;
    std::optional<bool> isASCIICapable = false;
    std::int32_t selectStatus = 0;
};
// Scripted input sources that count snapshots, selections and live
// references, and catch the release of a reference that is not held.
class FakeInputSources final : public platform::InputSourceServices {
public:
    // The enabled list in platform order; a missing entry is a null slot.
    // Starts the counts and records below afresh.
    void setSources(std::vector<std::optional<FakeSource>> sources)
    {
        slots_.clear();
        for (auto& source : sources)
            slots_.push_back(source ? std::make_unique<Slot>(*source, slots_.size()) : nullptr);
        current_.reset();
        snapshots_ = currentCopies_ = 0;
        selections_.clear();
    }
    void setCurrent(std::optional<std::size_t> index) { current_ = index; }
    // The platform returns no list at all.
    void setListUnavailable(bool unavailable) { isListUnavailable_ = unavailable; }
    void setIdentifiers(const InputSourceIdentifiers& identifiers) { identifiers_ = identifiers; }

    platform::InputSourceRef copyCurrentKeyboardInputSource() override
    {
        ++currentCopies_;
        return current_ ? reference(*current_) : platform::InputSourceRef();
    }
    std::optional<std::vector<platform::InputSourceRef>> createEnabledInputSourceList() override
    {
        ++snapshots_;
        if (isListUnavailable_)
            return std::nullopt;
        std::vector<platform::InputSourceRef> list;
        for (std::size_t i = 0; i < slots_.size(); ++i)
            list.push_back(reference(i));
        return list;
    }
    std::optional<std::string> identifier(const platform::InputSourceRef& source) override
    {
        return slot(source).source.identifier;
    }
    std::optional<bool> flag(const platform::InputSourceRef& source, platform::InputSourceFlag flag) override
    {
        const FakeSource& s = slot(source).source;
        if (flag == platform::InputSourceFlag::isSelectCapable)
            return s.isSelectCapable;
        ++asciiQueries_;
        return s.isASCIICapable;
    }
    std::int32_t select(const platform::InputSourceRef& source) override
    {
        const Slot& target = slot(source);
        selections_.push_back(target.source.identifier.value_or("<none>"));
        if (target.source.selectStatus == 0)
            current_ = target.index;
        return target.source.selectStatus;
    }
    const InputSourceIdentifiers& identifiers() const override { return identifiers_; }

    int snapshotCount() const { return snapshots_; }
    int asciiQueryCount() const { return asciiQueries_; }
    int currentCopyCount() const { return currentCopies_; }
    // Every selection attempt, by identifier ("<none>" for a source without).
    const std::vector<std::string>& selections() const { return selections_; }
    int liveReferences() const
    {
        return std::accumulate(
            slots_.begin(), slots_.end(), 0, [](int n, auto& s) { return n + (s ? s->references : 0); });
    }
    int badReleases() const { return badReleases_; }

protected:
    void retain(void* handle) override { ++static_cast<Slot*>(handle)->references; }
    void release(void* handle) override
    {
        auto* target = static_cast<Slot*>(handle);
        if (target->references <= 0)
            ++badReleases_;
        else
            --target->references;
    }

private:
    struct Slot {
        FakeSource source;
        std::size_t index;
        int references = 0;
    };
    static Slot& slot(const platform::InputSourceRef& source) { return *static_cast<Slot*>(source.handle()); }
    platform::InputSourceRef reference(std::size_t index)
    {
        Slot* target = slots_.at(index).get();
        if (target)
            ++target->references;
        return platform::InputSourceRef::adopt(*this, target);
    }

    InputSourceIdentifiers identifiers_ = macOSInputSourceIdentifiers();
    // Stable addresses: a slot's address is the handle; null for a null slot.
    std::vector<std::unique_ptr<Slot>> slots_;
    std::optional<std::size_t> current_;
    bool isListUnavailable_ = false;
    int snapshots_ = 0, currentCopies_ = 0, badReleases_ = 0, asciiQueries_ = 0;
    std::vector<std::string> selections_;
};

} // namespace lullswitch::fakes
