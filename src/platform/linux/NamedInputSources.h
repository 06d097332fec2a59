#pragma once

#include "platform/InputSourceServices.h"

#include <string>

namespace lullswitch::linux_backend {

// Input sources that an input method framework knows by name only: a
// reference holds a counted copy of the name, valid after the framework has
// dropped that source.
class NamedInputSources : public platform::InputSourceServices {
protected:
    platform::InputSourceRef makeSource(std::string name)
    {
        return platform::InputSourceRef::adopt(*this, new Source { 1, std::move(name) });
    }
    static const std::string& nameOf(const platform::InputSourceRef& source)
    {
        return static_cast<const Source*>(source.handle())->name;
    }

    void retain(void* handle) final { ++static_cast<Source*>(handle)->referenceCount; }
    void release(void* handle) final
    {
        auto* source = static_cast<Source*>(handle);
        if (--source->referenceCount == 0)
            delete source;
    }

private:
    struct Source {
        int referenceCount;
        std::string name;
    };
};

} // namespace lullswitch::linux_backend
