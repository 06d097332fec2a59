#include "platform/macos/MacUserDefaults.h"

#include "platform/macos/MacStrings.h"

#import <Foundation/Foundation.h>

namespace {

NSUserDefaults *standardDefaults() { return [NSUserDefaults standardUserDefaults]; }

NSArray<NSString *> *observedKeys() { return @[ @"isEnabled", @"delaySeconds" ]; }

} // namespace

// Observes the two keys. Key-value observing also reports this process's own
// writes, synchronously inside the setter: those are skipped while
// `isWriting` is set. Another process's change may arrive on any thread and
// is carried to the main queue.
@interface LullswitchDefaultsObserver : NSObject
@property (nonatomic) BOOL isWriting;
@property (nonatomic, copy) void (^onChange)(void);
@end

@implementation LullswitchDefaultsObserver

- (void)observeValueForKeyPath:(NSString *)keyPath
                      ofObject:(id)object
                        change:(NSDictionary<NSKeyValueChangeKey, id> *)change
                       context:(void *)context
{
    if (self.isWriting)
        return;
    __weak LullswitchDefaultsObserver *weakSelf = self;
    dispatch_async(dispatch_get_main_queue(), ^{
        LullswitchDefaultsObserver *strongSelf = weakSelf;
        if (strongSelf && strongSelf.onChange)
            strongSelf.onChange();
    });
}

@end

namespace lullswitch::macos_backend {

MacUserDefaults::MacUserDefaults()
    : observer_([[LullswitchDefaultsObserver alloc] init])
{
    for (NSString *key in observedKeys())
        [standardDefaults() addObserver:observer_ forKeyPath:key options:NSKeyValueObservingOptionNew context:nullptr];
}

MacUserDefaults::~MacUserDefaults()
{
    for (NSString *key in observedKeys())
        [standardDefaults() removeObserver:observer_ forKeyPath:key];
}

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
    observer_.isWriting = YES;
    [standardDefaults() setBool:value forKey:makeNSString(key)];
    observer_.isWriting = NO;
}

double MacUserDefaults::doubleValue(std::string_view key)
{
    return [standardDefaults() doubleForKey:makeNSString(key)];
}

void MacUserDefaults::setDouble(double value, std::string_view key)
{
    observer_.isWriting = YES;
    [standardDefaults() setDouble:value forKey:makeNSString(key)];
    observer_.isWriting = NO;
}

void MacUserDefaults::setOnExternalChange(std::function<void()> handler)
{
    if (!handler) {
        observer_.onChange = nil;
        return;
    }
    auto shared = std::make_shared<std::function<void()>>(std::move(handler));
    observer_.onChange = ^{ (*shared)(); };
}

} // namespace lullswitch::macos_backend
