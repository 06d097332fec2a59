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
    FakePlatform();
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    // What the fakes were asked, in order, across services.
    std::vector<std::string> log;

    FakeUserDefaults& userDefaults;
    FakeKeyboardEventClock keyboardEventClock;
    FakeMainLoop mainLoop { &log };
    FakeInputSources inputSources { macOSInputSourceIdentifiers(), &log };
    FakeStatusBar statusBar { &log };
    FakeApplication application { &log };

private:
    platform::Platform platform_;
    platform::ScopedPlatform installed_;
};

} // namespace lullswitch::fakes
