#include "app/LullswitchApp.h"
#include "platform/Platform.h"
#include "platform/macos/MacApplication.h"
#include "platform/macos/MacInputSources.h"
#include "platform/macos/MacKeyboardEventClock.h"
#include "platform/macos/MacMainLoop.h"
#include "platform/macos/MacStatusBar.h"
#include "platform/macos/MacUserDefaults.h"

#import <Foundation/Foundation.h>

int main()
{
    @autoreleasepool {
        using namespace lullswitch::macos_backend;
        MacUserDefaults userDefaults;
        MacKeyboardEventClock keyboardEventClock;
        MacMainLoop mainLoop;
        MacInputSources inputSources;
        MacStatusBar statusBar;
        MacApplication application;
        lullswitch::platform::Platform platform {
            userDefaults,
            keyboardEventClock,
            mainLoop,
            inputSources,
            statusBar,
            application,
        };
        const lullswitch::platform::ScopedPlatform installed(platform);
        return lullswitch::LullswitchApp::main();
    }
}
