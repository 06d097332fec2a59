#include "platform/macos/MacInputSources.h"

#include "input_source/InputSourceIdentifiers.h"
#include "platform/macos/MacStrings.h"

#import <Carbon/Carbon.h>
#import <Foundation/Foundation.h>

#include <memory>
#include <type_traits>

namespace {

using namespace lullswitch::platform;

struct CFReleaser {
    void operator()(const void *object) const { CFRelease(object); }
};

// Owns the result of a Copy or Create call; released once, when it goes.
template <typename Ref> using CFOwned = std::unique_ptr<std::remove_pointer_t<Ref>, CFReleaser>;

TISInputSourceRef sourceOf(const InputSourceRef &source) { return static_cast<TISInputSourceRef>(source.handle()); }

// Borrowed from the source; valid while the caller's reference lives. Null
// when the platform has no such key or the source lacks the property.
CFTypeRef property(const InputSourceRef &source, CFStringRef key, CFTypeID expectedType)
{
    if (!source || !key)
        return nullptr;
    CFTypeRef value = TISGetInputSourceProperty(sourceOf(source), key);
    if (!value || CFGetTypeID(value) != expectedType)
        return nullptr;
    return value;
}

} // namespace

namespace lullswitch::macos_backend {

InputSourceRef MacInputSources::copyCurrentKeyboardInputSource()
{
    return InputSourceRef::adopt(*this, TISCopyCurrentKeyboardInputSource());
}

std::optional<std::vector<InputSourceRef>> MacInputSources::createEnabledInputSourceList()
{
    const CFOwned<CFArrayRef> list(TISCreateInputSourceList(nullptr, false));
    if (!list)
        return std::nullopt;
    const CFIndex count = CFArrayGetCount(list.get());
    std::vector<InputSourceRef> sources;
    sources.reserve(static_cast<std::size_t>(count));
    for (CFIndex index = 0; index < count; ++index) {
        // The array's references end with the array; each element gets its
        // own before that.
        const void *element = CFArrayGetValueAtIndex(list.get(), index);
        if (element)
            CFRetain(element);
        sources.push_back(InputSourceRef::adopt(*this, const_cast<void *>(element)));
    }
    return sources;
}

std::optional<std::string> MacInputSources::identifier(const InputSourceRef &source)
{
    CFTypeRef value = property(source, kTISPropertyInputSourceID, CFStringGetTypeID());
    if (!value)
        return std::nullopt;
    return makeStdString((__bridge NSString *)value);
}

std::optional<bool> MacInputSources::flag(const InputSourceRef &source, InputSourceFlag flag)
{
    CFStringRef key = nullptr;
    switch (flag) {
    case InputSourceFlag::isSelectCapable:
        key = kTISPropertyInputSourceIsSelectCapable;
        break;
    case InputSourceFlag::isASCIICapable:
        key = kTISPropertyInputSourceIsASCIICapable;
        break;
    }
    CFTypeRef value = property(source, key, CFBooleanGetTypeID());
    if (!value)
        return std::nullopt;
    return CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != false;
}

std::int32_t MacInputSources::select(const InputSourceRef &source)
{
    if (!source)
        return paramErr;
    return TISSelectInputSource(sourceOf(source));
}

const InputSourceIdentifiers &MacInputSources::identifiers() const { return macOSInputSourceIdentifiers(); }

void MacInputSources::retain(void *handle) { CFRetain(handle); }

void MacInputSources::release(void *handle) { CFRelease(handle); }

} // namespace lullswitch::macos_backend
