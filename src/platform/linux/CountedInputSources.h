#pragma once

#include "input_source/InputSourceIdentifiers.h"
#include "platform/InputSourceServices.h"

#include <type_traits>
#include <utility>

namespace lullswitch::linux_backend {

// Input sources whose references each hold a counted copy of what names the
// source (an input method's name, say), valid after the framework behind it
// has dropped that source.
template <typename Payload> class CountedInputSources : public platform::InputSourceServices {
public:
    // A source named by its payload has that name for identifier.
    std::optional<std::string> identifier(const platform::InputSourceRef& source) override
    {
        if constexpr (std::is_same_v<Payload, std::string>) {
            if (source)
                return payloadOf(source);
        }
        return std::nullopt;
    }
    const InputSourceIdentifiers& identifiers() const final { return linuxInputSourceIdentifiers(); }

protected:
    platform::InputSourceRef makeSource(Payload payload)
    {
        return platform::InputSourceRef::adopt(*this, new Counted { 1, std::move(payload) });
    }
    static const Payload& payloadOf(const platform::InputSourceRef& source)
    {
        return static_cast<const Counted*>(source.handle())->payload;
    }

    void retain(void* handle) final { ++static_cast<Counted*>(handle)->referenceCount; }
    void release(void* handle) final
    {
        auto* counted = static_cast<Counted*>(handle);
        if (--counted->referenceCount == 0)
            delete counted;
    }

private:
    struct Counted {
        int referenceCount;
        Payload payload;
    };
};

} // namespace lullswitch::linux_backend
