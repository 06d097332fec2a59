#pragma once

#include "platform/linux/GLibRegistrations.h"

#include <atomic>
#include <memory>

namespace lullswitch::linux_backend {

// Gives freed memory back to the system a moment after messages arrive on a
// connection. GDBus parses every incoming message in full before anyone may
// refuse it; the many small blocks of a large one, once freed, stay with the
// process until the allocator happens to gather them. Costs nothing while no
// message comes.
class HeapTrimmer {
public:
    static constexpr unsigned quietMs = 1000;

    explicit HeapTrimmer(GDBusConnection* connection);

private:
    struct State {
        std::atomic<bool> isPending = false;
    };
    static GDBusMessage* onMessage(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer state);

    std::shared_ptr<State> state_ = std::make_shared<State>();
    FilterRegistration filter_;
};

} // namespace lullswitch::linux_backend
