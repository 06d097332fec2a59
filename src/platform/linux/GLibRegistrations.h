#pragma once

#include "platform/linux/GLibHandles.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace lullswitch::linux_backend {

// Runs `callback` whenever `source` dispatches, once or until it is
// destroyed. GLib holds the callback for the length of a dispatch and frees it
// only after, so the callback may destroy its own source.
void setCallback(GSource* source, std::function<void()> callback, bool repeat);

// A call scheduled once on the default main context (idle or after a delay).
// Destroying the handle before it ran cancels it; the callback is released
// after any dispatch in progress has returned.
class ScheduledCall {
public:
    ScheduledCall() = default;
    [[nodiscard]] static ScheduledCall idle(std::function<void()> callback, int priority = G_PRIORITY_DEFAULT_IDLE);
    [[nodiscard]] static ScheduledCall after(unsigned milliseconds, std::function<void()> callback);

    // Scheduled and not yet run or cancelled.
    bool isPending() const { return source_ && !g_source_is_destroyed(source_.get()); }
    void cancel() { source_.reset(); }

private:
    static ScheduledCall attach(GSource* source, std::function<void()> callback, int priority);
    GSourcePtr source_;
};

// An id that a connection handed out for a registration, given back to that
// connection by `Release` on destruction.
template <auto Release> class ConnectionRegistration {
public:
    ConnectionRegistration() = default;
    ConnectionRegistration(GDBusConnection* connection, guint id)
        : connection_(connection ? G_DBUS_CONNECTION(g_object_ref(connection)) : nullptr), id_(id)
    {
    }
    ConnectionRegistration(ConnectionRegistration&& other) noexcept
        : connection_(std::move(other.connection_)), id_(std::exchange(other.id_, 0))
    {
    }
    ConnectionRegistration& operator=(ConnectionRegistration&& other) noexcept
    {
        reset();
        connection_ = std::move(other.connection_);
        id_ = std::exchange(other.id_, 0);
        return *this;
    }
    ~ConnectionRegistration() { reset(); }

    explicit operator bool() const { return id_ != 0; }
    void reset()
    {
        if (id_ != 0 && connection_)
            Release(connection_.get(), id_);
        id_ = 0;
        connection_.reset();
    }

private:
    GObjectPtr<GDBusConnection> connection_;
    guint id_ = 0;
};

// An object exported on a connection; unregistered on destruction.
using ObjectRegistration = ConnectionRegistration<g_dbus_connection_unregister_object>;
// Exports `vtable`, called with `self`, as the one interface that
// `introspectionXml` describes, at `path`.
ObjectRegistration exportObject(GDBusConnection* connection, const std::string& path, const char* introspectionXml,
    const GDBusInterfaceVTable& vtable, gpointer self);
// A signal subscription on a connection; unsubscribed on destruction.
using SignalSubscription = ConnectionRegistration<g_dbus_connection_signal_unsubscribe>;
// A message filter on a connection; removed on destruction (it may still be
// running in GDBus's worker thread then: its data must own what it uses).
using FilterRegistration = ConnectionRegistration<g_dbus_connection_remove_filter>;

// A bus name watch or ownership (g_bus_watch_name…, g_bus_own_name…); GLib
// invokes none of its handlers once this is destroyed.
class BusNameHandle {
public:
    using Release = void (*)(guint);
    BusNameHandle() = default;
    BusNameHandle(guint id, Release release) : id_(id), release_(release) { }
    BusNameHandle(BusNameHandle&& other) noexcept
        : id_(std::exchange(other.id_, 0)), release_(std::exchange(other.release_, nullptr))
    {
    }
    BusNameHandle& operator=(BusNameHandle&& other) noexcept
    {
        reset();
        id_ = std::exchange(other.id_, 0);
        release_ = std::exchange(other.release_, nullptr);
        return *this;
    }
    ~BusNameHandle() { reset(); }

    void reset()
    {
        if (id_ != 0 && release_)
            release_(id_);
        id_ = 0;
    }

private:
    guint id_ = 0;
    Release release_ = nullptr;
};

// Runs `onAppeared` with the owner's unique name whenever `name` gets an owner
// on the connection (at once when it has one), and `onVanished` when it loses
// it (also at once when it has none).
[[nodiscard]] BusNameHandle watchBusName(GDBusConnection* connection, const char* name,
    std::function<void(const char* owner)> onAppeared, std::function<void()> onVanished);

// A cancellable that is cancelled when its owner goes away, so that replies
// to calls still in flight never reach a destroyed object.
class PendingCalls {
public:
    PendingCalls() : cancellable_(g_cancellable_new()) { }
    PendingCalls(const PendingCalls&) = delete;
    PendingCalls& operator=(const PendingCalls&) = delete;
    ~PendingCalls() { g_cancellable_cancel(cancellable_.get()); }

    GCancellable* get() const { return cancellable_.get(); }
    // Cancels every call in flight and starts afresh.
    void cancelAll()
    {
        g_cancellable_cancel(cancellable_.get());
        cancellable_.reset(g_cancellable_new());
    }

private:
    GObjectPtr<GCancellable> cancellable_;
};

// True when an async reply arrives for a call that was cancelled: its owner
// may be gone, so the callback must not touch it.
inline bool wasCancelled(const GError* error)
{
    return error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
}

// A call sent without waiting, which never starts its destination. Its reply
// goes to `onReply` (null when the call failed), unless `pending` has
// cancelled it first; without `onReply` nobody waits for it.
void callWithoutWaiting(GDBusConnection* connection, const char* name, const char* path, const char* interface,
    const char* method, GVariant* parameters, const char* replyType, int timeoutMs, const PendingCalls& pending,
    std::function<void(GVariant* reply)> onReply);

} // namespace lullswitch::linux_backend
