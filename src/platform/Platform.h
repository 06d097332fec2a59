#pragma once

#include "platform/Application.h"
#include "platform/InputSourceServices.h"
#include "platform/KeyboardEventClock.h"
#include "platform/MainLoop.h"
#include "platform/StatusBar.h"
#include "platform/UserDefaults.h"

namespace lullswitch::platform {

// The platform's shared services, as the core reaches them. One backend (or
// a test's fakes) fills this in and installs it before any core object is
// made.
struct Platform {
    UserDefaults& userDefaults;
    KeyboardEventClock& keyboardEventClock;
    MainLoop& mainLoop;
    InputSourceServices& inputSources;
    StatusBar& statusBar;
    Application& application;
};

// The installed services. Installing none while core objects live is a bug.
Platform& services();

// Installs `platform` for its lifetime and restores the previous one after.
class ScopedPlatform {
public:
    explicit ScopedPlatform(Platform& platform);
    ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

private:
    Platform* previous_;
};

} // namespace lullswitch::platform
