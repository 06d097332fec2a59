#include "platform/macos/MacApplication.h"

#include "platform/macos/MacStrings.h"

#import <AppKit/AppKit.h>
#include <dispatch/dispatch.h>

#include <csignal>

using lullswitch::platform::ApplicationDelegate;

// Forwards AppKit's launch and termination callbacks to the C++ delegate.
@interface LullswitchApplicationDelegateAdapter : NSObject <NSApplicationDelegate>
- (instancetype)initWithDelegate:(ApplicationDelegate *)delegate NS_DESIGNATED_INITIALIZER;
- (instancetype)init NS_UNAVAILABLE;
@end

@implementation LullswitchApplicationDelegateAdapter {
    ApplicationDelegate *_delegate;
}

- (instancetype)initWithDelegate:(ApplicationDelegate *)delegate
{
    self = [super init];
    if (self)
        _delegate = delegate;
    return self;
}

- (void)applicationDidFinishLaunching:(NSNotification *)notification
{
    (void)notification;
    _delegate->applicationDidFinishLaunching();
}

- (void)applicationWillTerminate:(NSNotification *)notification
{
    (void)notification;
    _delegate->applicationWillTerminate();
}

@end

namespace {

using namespace lullswitch::platform;
using namespace lullswitch::macos_backend;

class MacWindow final : public Window {
public:
    explicit MacWindow(NSWindow *window)
        : window_(window)
    {
    }
    void close() override { [window_ close]; }

private:
    NSWindow *window_;
};

class MacAlert final : public Alert {
public:
    void setMessageText(std::string_view text) override { alert_.messageText = makeNSString(text); }
    void setInformativeText(std::string_view text) override { alert_.informativeText = makeNSString(text); }

    void setAlertStyle(AlertStyle style) override
    {
        switch (style) {
        case AlertStyle::warning:
            alert_.alertStyle = NSAlertStyleWarning;
            return;
        case AlertStyle::informational:
            alert_.alertStyle = NSAlertStyleInformational;
            return;
        case AlertStyle::critical:
            alert_.alertStyle = NSAlertStyleCritical;
            return;
        }
    }

    void addButtonWithTitle(std::string_view title) override { [alert_ addButtonWithTitle:makeNSString(title)]; }
    long runModal() override { return static_cast<long>([alert_ runModal]); }

private:
    NSAlert *alert_ = [[NSAlert alloc] init];
};

NSApplicationActivationPolicy activationPolicy(ActivationPolicy policy)
{
    switch (policy) {
    case ActivationPolicy::regular:
        return NSApplicationActivationPolicyRegular;
    case ActivationPolicy::accessory:
        return NSApplicationActivationPolicyAccessory;
    case ActivationPolicy::prohibited:
        return NSApplicationActivationPolicyProhibited;
    }
    return NSApplicationActivationPolicyAccessory;
}

// Delivered on the main queue, so the handler is ordinary main-thread code.
dispatch_source_t makeSignalSource(int signalNumber, dispatch_block_t handler)
{
    // The default action would end the process before the handler runs.
    std::signal(signalNumber, SIG_IGN);
    dispatch_source_t source = dispatch_source_create(
        DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(signalNumber), 0, dispatch_get_main_queue());
    dispatch_source_set_event_handler(source, handler);
    dispatch_resume(source);
    return source;
}

} // namespace

namespace lullswitch::macos_backend {

struct MacApplication::Retained {
    LullswitchApplicationDelegateAdapter *delegateAdapter = nil;
    dispatch_source_t terminateSignal = nil;
    dispatch_source_t interruptSignal = nil;
};

MacApplication::MacApplication()
    : retained_(std::make_unique<Retained>())
{
    [NSApplication sharedApplication];
}

MacApplication::~MacApplication()
{
    if (retained_->terminateSignal)
        dispatch_source_cancel(retained_->terminateSignal);
    if (retained_->interruptSignal)
        dispatch_source_cancel(retained_->interruptSignal);
}

void MacApplication::setActivationPolicy(ActivationPolicy policy)
{
    [NSApp setActivationPolicy:activationPolicy(policy)];
}

std::vector<std::shared_ptr<Window>> MacApplication::windows()
{
    std::vector<std::shared_ptr<Window>> result;
    for (NSWindow *window in [NSApp windows])
        result.push_back(std::make_shared<MacWindow>(window));
    return result;
}

void MacApplication::terminate() { [NSApp terminate:nil]; }

std::unique_ptr<Alert> MacApplication::createAlert() { return std::make_unique<MacAlert>(); }

void MacApplication::run(ApplicationDelegate &delegate)
{
    NSApplication *application = [NSApplication sharedApplication];
    retained_->delegateAdapter = [[LullswitchApplicationDelegateAdapter alloc] initWithDelegate:&delegate];
    application.delegate = retained_->delegateAdapter;

    // A signal ends the program the way the quit command does: terminate:
    // runs applicationWillTerminate, which stops the watcher.
    MacApplication *backend = this;
    dispatch_block_t quit = ^{ backend->terminate(); };
    retained_->terminateSignal = makeSignalSource(SIGTERM, quit);
    retained_->interruptSignal = makeSignalSource(SIGINT, quit);

    [application run];
}

} // namespace lullswitch::macos_backend
