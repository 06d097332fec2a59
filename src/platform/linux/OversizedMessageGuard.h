#pragma once

#include "platform/linux/GLibRegistrations.h"

#include <atomic>
#include <functional>
#include <memory>

namespace lullswitch::linux_backend {

// Refuses any incoming message far larger than this agent's peers ever send,
// in GDBus's worker thread, so that the main loop never spends time on it:
// a method call gets LimitsExceeded at once, anything else is dropped. By
// then GDBus has read the message whole into a buffer that the connection
// keeps at that size for good, which is why the main context is told
// (`onRefused`, once for any number of refusals in a row).
class OversizedMessageGuard {
public:
    // Of a body in GVariant form, as GDBus hands it over. The wire form of
    // the same body is at most 8 times that (an array of one-byte structs,
    // each padded to 8), so what GDBus keeps stays a few MiB. The agent's
    // largest messages (fcitx5's input method lists, dbusmenu calls) take a
    // few KiB.
    static constexpr gsize maximumBodyBytes = 512 * 1024;

    OversizedMessageGuard(GDBusConnection* connection, std::function<void()> onRefused);
    ~OversizedMessageGuard();
    OversizedMessageGuard(const OversizedMessageGuard&) = delete;
    OversizedMessageGuard& operator=(const OversizedMessageGuard&) = delete;

private:
    struct State {
        // Set and called on the main context only.
        std::function<void()> onRefused;
        std::atomic<bool> isPending = false;
    };
    static GDBusMessage* onMessage(
        GDBusConnection* connection, GDBusMessage* message, gboolean incoming, gpointer state);

    std::shared_ptr<State> state_ = std::make_shared<State>();
    FilterRegistration filter_;
};

} // namespace lullswitch::linux_backend
