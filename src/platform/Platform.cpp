#include "platform/Platform.h"

#include <cstdio>
#include <cstdlib>

namespace lullswitch::platform {

namespace {
Platform* installed = nullptr;
}

Platform& services()
{
    if (!installed) {
        std::fputs("lullswitch: no platform installed\n", stderr);
        std::abort();
    }
    return *installed;
}

ScopedPlatform::ScopedPlatform(Platform& platform) : previous_(installed)
{
    installed = &platform;
}

ScopedPlatform::~ScopedPlatform()
{
    installed = previous_;
}

} // namespace lullswitch::platform
