#pragma once

#include "platform/linux/GLibHandles.h"
#include "platform/linux/GLibRegistrations.h"
#include "platform/linux/IBusNews.h"
#include "platform/linux/OversizedMessageGuard.h"

#include <ibus.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace lullswitch::linux_backend {

// A connection to the IBus daemon's own bus, found and kept up by libibus: it
// connects in the background, never starts the daemon, and connects again
// when a restarted daemon rewrites its address file. A bus whose
// org.freedesktop.IBus is an ordinary client (fcitx5's IBus emulation on the
// session bus) is not IBus's and counts as no daemon.
//
// The news of the kinds asked for is read in GDBus's worker thread, where
// every message arrives, and handed to `onNews` on the main context the
// connection was made on; everything else runs there too. libibus has one
// connection per process, so each IBusConnection sees what the others' match
// rules bring and takes only the kinds it asked for.
class IBusConnection {
public:
    using NewsHandler = std::function<void(const IBusNews& news, gint64 receivedAtUs)>;

    // `onChange` runs whenever the daemon comes or goes. With
    // `onOversizedMessage`, the connection refuses messages too big to take
    // (see OversizedMessageGuard) and says so there; one connection of the
    // process's is enough, since libibus has only one.
    IBusConnection(std::vector<IBusNews::Kind> kinds, NewsHandler onNews, std::function<void()> onChange = {},
        std::function<void()> onOversizedMessage = {});
    ~IBusConnection();
    IBusConnection(const IBusConnection&) = delete;
    IBusConnection& operator=(const IBusConnection&) = delete;

    bool isConnected() const { return isDaemon_; }
    // A call to the daemon, sent without waiting; nothing while no daemon is
    // connected. Its reply (null when it failed) goes to `onReply`, unless
    // the connection went first.
    void call(const char* path, const char* interface, const char* method, GVariant* parameters,
        std::function<void(GVariant* reply)> onReply = {});

private:
    class Receiver;

    static void onConnected(IBusBus*, gpointer self);
    static void onDisconnected(IBusBus*, gpointer self);
    static GDBusMessage* filter(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer receiver);
    void callOn(GDBusConnection* connection, const char* path, const char* interface, const char* method,
        GVariant* parameters, std::function<void(GVariant* reply)> onReply);
    void listen();
    void forget();
    void changed();

    std::shared_ptr<Receiver> receiver_;
    std::function<void()> onChange_;
    std::function<void()> onOversizedMessage_;
    GObjectPtr<IBusBus> bus_;
    GObjectPtr<GDBusConnection> connection_;
    FilterRegistration filter_;
    std::optional<OversizedMessageGuard> guard_;
    PendingCalls pending_;
    bool isDaemon_ = false;
};

} // namespace lullswitch::linux_backend
