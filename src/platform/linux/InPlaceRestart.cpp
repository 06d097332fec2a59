#include "platform/linux/InPlaceRestart.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

namespace lullswitch::linux_backend {

namespace {

constexpr const char* busName = "org.freedesktop.DBus";
constexpr const char* busPath = "/org/freedesktop/DBus";

} // namespace

InPlaceRestart::InPlaceRestart(GDBusConnection* bus, const char* ownedName, char** argv)
    : bus_(G_DBUS_CONNECTION(g_object_ref(bus))), ownedName_(ownedName), argv_(argv)
{
}

void InPlaceRestart::request()
{
    if (!std::exchange(isRequested_, true))
        startWhenAllowed();
}

void InPlaceRestart::startWhenAllowed()
{
    const gint64 waitMs = (startedAtUs_ - g_get_monotonic_time()) / 1000 + minimumRunMs;
    if (waitMs > 0 || (isBusy_ && isBusy_())) {
        const auto delayMs = waitMs > 0 ? static_cast<unsigned>(waitMs) : retryMs;
        deferred_ = ScheduledCall::after(delayMs, [this] { startWhenAllowed(); });
        return;
    }
    // Once the bus has answered, the name is free for the new image; with no
    // answer in time it starts all the same.
    callWithoutWaiting(bus_.get(), busName, busPath, busName, "ReleaseName", g_variant_new("(s)", ownedName_.c_str()),
        nullptr, releaseTimeoutMs, calls_, [this](GVariant*) { start(); });
}

void InPlaceRestart::start()
{
    replaceImage(argv_);
    // Still this image: it takes its name back and runs on as it was.
    constexpr guint32 doNotQueue = 4;
    callWithoutWaiting(bus_.get(), busName, busPath, busName, "RequestName",
        g_variant_new("(su)", ownedName_.c_str(), doNotQueue), nullptr, -1, calls_, nullptr);
    isRequested_ = false;
}

void InPlaceRestart::replaceImage(char** argv)
{
    std::fflush(nullptr);
    execv("/proc/self/exe", argv);
}

} // namespace lullswitch::linux_backend
