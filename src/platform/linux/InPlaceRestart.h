#pragma once

#include "platform/linux/GLibRegistrations.h"

#include <functional>
#include <string>

namespace lullswitch::linux_backend {

// Starts the agent over in its own process: the same program, arguments and
// environment, with a fresh heap and fresh bus connections. Memory that GDBus
// holds for good goes back only so: each connection keeps a read buffer the
// size of the largest message it ever received until the connection goes.
// Nothing is lost: the settings live in the preferences file, the tray item
// registers again, and every descriptor the agent opens is close-on-exec.
class InPlaceRestart {
public:
    // At most one start per this many milliseconds of a run, so that a peer
    // sending big messages in a row costs the agent one start-up (a few tens
    // of milliseconds of CPU) and the tray one redraw per period.
    static constexpr unsigned minimumRunMs = 5000;
    // How often a start that has to wait looks again, and how long the bus
    // may take to confirm that it let the name go.
    static constexpr unsigned retryMs = 250;
    static constexpr int releaseTimeoutMs = 1000;

    // `ownedName` is given up first, so that the new image can own it;
    // `argv` is main's.
    InPlaceRestart(GDBusConnection* bus, const char* ownedName, char** argv);

    // The start waits while this returns true (a write that is still to
    // reach the preferences file, a dialog on screen).
    void setWaitWhile(std::function<bool()> isBusy) { isBusy_ = std::move(isBusy); }
    // Starts over as soon as allowed; the main loop runs on meanwhile.
    void request();

    // Replaces the process image with a new one of the same program; returns
    // only if that fails.
    static void replaceImage(char** argv);

private:
    void startWhenAllowed();
    void start();

    GObjectPtr<GDBusConnection> bus_;
    std::string ownedName_;
    char** argv_;
    std::function<bool()> isBusy_;
    const gint64 startedAtUs_ = g_get_monotonic_time();
    bool isRequested_ = false;
    ScheduledCall deferred_;
    PendingCalls calls_;
};

} // namespace lullswitch::linux_backend
