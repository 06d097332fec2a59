#include "app/LullswitchApp.h"
#include "platform/Platform.h"
#include "platform/macos/MacApplication.h"
#include "platform/macos/MacInputSources.h"
#include "platform/macos/MacKeyboardEventClock.h"
#include "platform/macos/MacMainLoop.h"
#include "platform/macos/MacStatusBar.h"
#include "platform/macos/MacUserDefaults.h"

#import <Foundation/Foundation.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

int main(int argc, char **argv)
{
    if (argc > 1 && std::string_view(argv[1]) == "--version") {
        std::puts("Lullswitch " LULLSWITCH_VERSION);
        return EXIT_SUCCESS;
    }
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
