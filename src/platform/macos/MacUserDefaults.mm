#include "platform/macos/MacUserDefaults.h"

#include "platform/macos/MacStrings.h"

#import <Foundation/Foundation.h>

namespace {

NSUserDefaults *standardDefaults() { return [NSUserDefaults standardUserDefaults]; }

} // namespace

namespace lullswitch::macos_backend {

platform::StoredObject MacUserDefaults::object(std::string_view key)
{
    id value = [standardDefaults() objectForKey:makeNSString(key)];
    if (!value)
        return platform::StoredObject::absent();
    if ([value isKindOfClass:[NSNumber class]]) {
        // Booleans are NSNumbers too; only the CFBoolean singletons are
        // stored booleans.
        if (CFGetTypeID((__bridge CFTypeRef)value) == CFBooleanGetTypeID())
            return platform::StoredObject(static_cast<bool>([value boolValue]));
        return platform::StoredObject([value doubleValue]);
    }
    if ([value isKindOfClass:[NSString class]]) {
        if (auto text = makeStdString(value))
            return platform::StoredObject(std::move(*text));
    }
    return platform::StoredObject(platform::StoredObject::Other {});
}

void MacUserDefaults::setBool(bool value, std::string_view key)
{
    [standardDefaults() setBool:value forKey:makeNSString(key)];
}

double MacUserDefaults::doubleValue(std::string_view key)
{
    return [standardDefaults() doubleForKey:makeNSString(key)];
}

void MacUserDefaults::setDouble(double value, std::string_view key)
{
    [standardDefaults() setDouble:value forKey:makeNSString(key)];
}

} // namespace lullswitch::macos_backend
