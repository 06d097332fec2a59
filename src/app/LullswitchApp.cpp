#include "app/LullswitchApp.h"

#include "app/AppDelegate.h"
#include "platform/Platform.h"

namespace lullswitch {

int LullswitchApp::main()
{
    // Made before launching completes; lives until the process ends.
    const auto delegate = AppDelegate::create();
    platform::services().application.run(*delegate);
    return 0;
}

} // namespace lullswitch
