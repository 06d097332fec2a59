#include "platform/linux/IBusKeyboardEventClock.h"

#include <limits>

namespace lullswitch::linux_backend {

IBusKeyboardEventClock::IBusKeyboardEventClock(std::function<void()> onOversizedMessage)
    : lastEventUs_(g_get_monotonic_time()),
      connection_(
          { IBusNews::Kind::keyEvent },
          [this](const IBusNews&, gint64 receivedAtUs) { lastEventUs_ = std::max(lastEventUs_, receivedAtUs); }, {},
          std::move(onOversizedMessage))
{
}

double IBusKeyboardEventClock::secondsSinceLastEvent(platform::KeyboardEventType)
{
    if (!connection_.isConnected())
        return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(g_get_monotonic_time() - lastEventUs_) / G_USEC_PER_SEC;
}

} // namespace lullswitch::linux_backend
