#include "input_source/InputSourceSwitcher.h"

#include "input_source/InputSourceIdentifiers.h"
#include "platform/Platform.h"

#include <algorithm>

namespace lullswitch {

namespace {

platform::InputSourceServices& inputSources()
{
    return platform::services().inputSources;
}

// Identifiers are ASCII; other bytes are left as they are.
std::string lowercased(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
        [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

bool containsAny(const std::string& text, const std::vector<std::string>& markers)
{
    return std::any_of(markers.begin(), markers.end(),
        [&](const std::string& marker) { return text.find(marker) != std::string::npos; });
}

} // namespace

InputSourceSwitcher::InputSourceSwitcher()
    : preferredEisuInputSourceIDs_(inputSources().identifiers().preferredEisuInputSourceIDs)
{
}

bool InputSourceSwitcher::isJapaneseInputActive() const
{
    std::optional<std::string> identifier;
    {
        const auto current = inputSources().copyCurrentKeyboardInputSource();
        if (!current)
            return false;
        identifier = inputSources().identifier(current);
    }
    if (!identifier)
        return false;
    const auto& identifiers = inputSources().identifiers();
    const std::string id = lowercased(std::move(*identifier));
    const bool japanese = containsAny(id, identifiers.japaneseMarkers);
    const bool alphanumeric = containsAny(id, identifiers.alphanumericMarkers);
    return japanese && !alphanumeric;
}

void InputSourceSwitcher::switchToEisu() const
{
    for (const auto& identifier : preferredEisuInputSourceIDs_) {
        std::int32_t status;
        {
            // The found source's reference ends right after the attempt.
            const auto source = findInputSource(identifier);
            if (!source)
                continue;
            status = inputSources().select(source);
        }
        if (status == 0)
            return;
    }
    selectFirstASCIICapableSource();
}

std::vector<platform::InputSourceRef> InputSourceSwitcher::enabledInputSources() const
{
    std::vector<platform::InputSourceRef> snapshot;
    auto list = inputSources().createEnabledInputSourceList();
    if (!list)
        return snapshot;
    snapshot.reserve(list->size());
    for (const auto& source : *list) {
        if (source)
            snapshot.push_back(source);
    }
    // The platform's list is released here; the snapshot keeps its own
    // references.
    return snapshot;
}

platform::InputSourceRef InputSourceSwitcher::findInputSource(const std::string& identifier) const
{
    for (auto& source : enabledInputSources()) {
        if (inputSources().identifier(source) == identifier)
            return std::move(source);
    }
    return {};
}

bool InputSourceSwitcher::selectFirstASCIICapableSource() const
{
    using platform::InputSourceFlag;
    for (const auto& source : enabledInputSources()) {
        if (inputSources().flag(source, InputSourceFlag::isSelectCapable) != true)
            continue;
        if (inputSources().flag(source, InputSourceFlag::isASCIICapable) != true)
            continue;
        if (inputSources().select(source) == 0)
            return true;
    }
    return false;
}

} // namespace lullswitch
