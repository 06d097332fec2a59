#include "platform/linux/HeapTrimmer.h"

#include <malloc.h>

namespace lullswitch::linux_backend {

HeapTrimmer::HeapTrimmer(GDBusConnection* connection)
{
    if (!connection)
        return;
    // The filter may still run once removed, so it holds the state.
    filter_ = FilterRegistration(connection,
        g_dbus_connection_add_filter(connection, onMessage, new std::shared_ptr<State>(state_),
            [](gpointer state) { delete static_cast<std::shared_ptr<State>*>(state); }));
}

// In GDBus's worker thread: one trim on the main context for any number of
// messages.
GDBusMessage* HeapTrimmer::onMessage(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer state)
{
    const auto& shared = *static_cast<std::shared_ptr<State>*>(state);
    if (!incoming || shared->isPending.exchange(true))
        return message;
    // Attached to the main context, which GLib allows from any thread.
    g_timeout_add_full(
        G_PRIORITY_DEFAULT_IDLE, quietMs,
        [](gpointer pending) {
            // Cleared first: a message arriving meanwhile schedules the next.
            (*static_cast<std::shared_ptr<State>*>(pending))->isPending = false;
            malloc_trim(0);
            return G_SOURCE_REMOVE;
        },
        new std::shared_ptr<State>(shared),
        [](gpointer pending) { delete static_cast<std::shared_ptr<State>*>(pending); });
    return message;
}

} // namespace lullswitch::linux_backend
