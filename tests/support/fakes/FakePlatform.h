#pragma once

#include "fakes/FakeApplication.h"
#include "fakes/FakeInputSources.h"
#include "fakes/FakeKeyboardEventClock.h"
#include "fakes/FakeMainLoop.h"
#include "fakes/FakeStatusBar.h"
#include "fakes/FakeUserDefaults.h"
#include "platform/Platform.h"

#include <string>
#include <vector>

namespace lullswitch::fakes {

// Every platform service as an in-memory fake, installed for the object's
// lifetime. The preferences store is the process-wide fake, emptied here, so
// the shared settings store stays bound to it across tests.
class FakePlatform {
public:
    FakePlatform() { userDefaults.reset(); }

    // One timer event with no key touched for `idleSeconds`.
    void tick(double idleSeconds)
    {
        keyboardEventClock.setIdle(idleSeconds);
        mainLoop.fire();
    }

    // What the fakes were asked, in order, across services.
    std::vector<std::string> log;

    FakeUserDefaults& userDefaults = FakeUserDefaults::standard();
    FakeKeyboardEventClock keyboardEventClock;
    FakeMainLoop mainLoop { log };
    FakeInputSources inputSources;
    FakeStatusBar statusBar { log };
    FakeApplication application { log };

private:
    platform::Platform platform_ { userDefaults, keyboardEventClock, mainLoop, inputSources, statusBar, application };
    platform::ScopedPlatform installed_ { platform_ };
};

} // namespace lullswitch::fakes
