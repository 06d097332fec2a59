#include "fakes/FakePlatform.h"

namespace lullswitch::fakes {

namespace {
FakeUserDefaults& emptiedStandardDefaults()
{
    FakeUserDefaults::standard().reset();
    return FakeUserDefaults::standard();
}
} // namespace

FakePlatform::FakePlatform()
    : userDefaults(emptiedStandardDefaults()),
      platform_ { userDefaults, keyboardEventClock, mainLoop, inputSources, statusBar, application },
      installed_(platform_)
{
}

} // namespace lullswitch::fakes
