#pragma once

#include "platform/linux/GLibHandles.h"

#include <ibus.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lullswitch::linux_backend {

// A connection to the IBus daemon's own bus, found and kept up by libibus: it
// connects in the background, never starts the daemon, and connects again
// when a restarted daemon rewrites its address file. On each connection a
// watcher sees every incoming message first, in GDBus's worker thread, and
// match rules of its choice are added. libibus has one connection per process,
// so every watcher sees what the others' rules bring: each drops only the
// messages it asked for.
class IBusConnection {
public:
    static constexpr int callTimeoutMs = 500;
    // After a call has timed out (the daemon hangs), calls fail at once for
    // this long, so that one operation costs the main loop one timeout at most.
    static constexpr gint64 hungBackoffUs = G_USEC_PER_SEC;

    class Watcher {
    public:
        virtual ~Watcher() = default;
        // Runs in GDBus's worker thread; true drops the message.
        virtual bool consume(GDBusMessage* message) = 0;
        // A new connection: what was seen on the old one no longer holds.
        virtual void restart() = 0;
    };

    // `onChange` runs on the main context whenever the daemon comes or goes.
    IBusConnection(
        std::shared_ptr<Watcher> watcher, std::vector<std::string> matchRules, std::function<void()> onChange = {});
    ~IBusConnection();
    IBusConnection(const IBusConnection&) = delete;
    IBusConnection& operator=(const IBusConnection&) = delete;

    bool isConnected() const;
    // A call to the daemon (org.freedesktop.IBus) on its bus; nothing when it
    // is not connected, fails or times out.
    GVariantPtr call(
        const char* path, const char* interface, const char* method, GVariant* parameters, const char* replyType);

private:
    static void onConnected(IBusBus*, gpointer self);
    static void onDisconnected(IBusBus*, gpointer self);
    static GDBusMessage* filter(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer watcher);
    void attach();
    void detach();

    std::shared_ptr<Watcher> watcher_;
    std::vector<std::string> matchRules_;
    std::function<void()> onChange_;
    GObjectPtr<IBusBus> bus_;
    GObjectPtr<GDBusConnection> filtered_;
    guint filterId_ = 0;
    gint64 hungUntil_ = 0;
};

} // namespace lullswitch::linux_backend
