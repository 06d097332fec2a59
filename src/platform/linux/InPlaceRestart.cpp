#include "platform/linux/InPlaceRestart.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

namespace lullswitch::linux_backend {

namespace {

void callBus(GDBusConnection* bus, const char* method, GVariant* parameters, int timeoutMs, GCancellable* cancellable,
    GAsyncReadyCallback onReply, gpointer data)
{
    g_dbus_connection_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, timeoutMs, cancellable, onReply, data);
}

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
    callBus(
        bus_.get(), "ReleaseName", g_variant_new("(s)", ownedName_.c_str()), releaseTimeoutMs, calls_.get(),
        [](GObject* bus, GAsyncResult* result, gpointer self) {
            GErrorPtr error;
            const GVariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, ErrorOut(error)));
            if (!wasCancelled(error.get()))
                static_cast<InPlaceRestart*>(self)->start();
        },
        this);
}

void InPlaceRestart::start()
{
    replaceImage(argv_);
    // Still this image: it takes its name back and runs on as it was.
    constexpr guint32 doNotQueue = 4;
    callBus(bus_.get(), "RequestName", g_variant_new("(su)", ownedName_.c_str(), doNotQueue), -1, nullptr, nullptr,
        nullptr);
    isRequested_ = false;
}

void InPlaceRestart::replaceImage(char** argv)
{
    std::fflush(nullptr);
    execv("/proc/self/exe", argv);
}

} // namespace lullswitch::linux_backend
