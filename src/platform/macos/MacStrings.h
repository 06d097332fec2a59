#pragma once

// Conversions between the core's UTF-8 text and Foundation strings. Only the
// Objective-C++ files see them; plain C++ sees an empty header.
#ifdef __OBJC__

#import <Foundation/Foundation.h>

#include <optional>
#include <string>
#include <string_view>

namespace lullswitch::macos_backend {

// Never nil: AppKit setters taking text reject nil, and the core's texts are
// valid UTF-8, so the empty fallback is only a guard.
inline NSString *makeNSString(std::string_view text)
{
    NSString *string = [[NSString alloc] initWithBytes:text.data() length:text.size() encoding:NSUTF8StringEncoding];
    return string ? string : @"";
}

// Missing when the string cannot be given as UTF-8.
inline std::optional<std::string> makeStdString(NSString *string)
{
    const char *utf8 = string.UTF8String;
    if (!utf8)
        return std::nullopt;
    return std::string(utf8);
}

} // namespace lullswitch::macos_backend

#endif
