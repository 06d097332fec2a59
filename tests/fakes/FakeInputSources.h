#pragma once

#include "input_source/InputSourceIdentifiers.h"
#include "platform/InputSourceServices.h"

#include <memory>
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
    explicit FakeInputSources(const InputSourceIdentifiers& identifiers = macOSInputSourceIdentifiers())
        : identifiers_(identifiers)
    {
    }

    // The enabled list in platform order; a missing entry is a null slot.
    void setSources(std::vector<std::optional<FakeSource>> sources);
    void setCurrent(std::optional<std::size_t> index) { current_ = index; }
    // The platform returns no list at all.
    void setListUnavailable(bool unavailable) { isListUnavailable_ = unavailable; }
    void setIdentifiers(const InputSourceIdentifiers& identifiers) { identifiers_ = identifiers; }

    platform::InputSourceRef copyCurrentKeyboardInputSource() override;
    std::optional<std::vector<platform::InputSourceRef>> createEnabledInputSourceList() override;
    std::optional<std::string> identifier(const platform::InputSourceRef& source) override
    {
        return slot(source).source.identifier;
    }
    std::optional<bool> flag(const platform::InputSourceRef& source, platform::InputSourceFlag flag) override;
    std::int32_t select(const platform::InputSourceRef& source) override;
    const InputSourceIdentifiers& identifiers() const override { return identifiers_; }

    int snapshotCount() const { return snapshots_; }
    int currentCopyCount() const { return currentCopies_; }
    // Every selection attempt, by identifier ("<none>" for a source without).
    const std::vector<std::string>& selections() const { return selections_; }
    // The identifiers whose ASCII-capable property was read.
    const std::vector<std::string>& asciiCapableReads() const { return asciiReads_; }
    std::optional<std::string> currentIdentifier() const
    {
        return current_ ? slots_.at(*current_)->source.identifier : std::nullopt;
    }
    int liveReferences() const;
    int badReleases() const { return badReleases_; }

protected:
    void retain(void* handle) override { ++static_cast<Slot*>(handle)->references; }
    void release(void* handle) override;

private:
    struct Slot {
        FakeSource source;
        bool isNull = false;
        int references = 0;
    };
    static Slot& slot(const platform::InputSourceRef& source) { return *static_cast<Slot*>(source.handle()); }
    platform::InputSourceRef reference(std::size_t index);

    InputSourceIdentifiers identifiers_;
    // Stable addresses: a slot's address is the handle.
    std::vector<std::unique_ptr<Slot>> slots_;
    std::optional<std::size_t> current_;
    bool isListUnavailable_ = false;
    int snapshots_ = 0, currentCopies_ = 0, badReleases_ = 0;
    std::vector<std::string> selections_, asciiReads_;
};

} // namespace lullswitch::fakes
