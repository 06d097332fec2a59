#include "platform/linux/X11KeyboardEventClock.h"

#include "platform/linux/GLibHandles.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace lullswitch::linux_backend {

namespace {

using XDisplayPtr = platform::UniqueCPtr<Display, XCloseDisplay>;

// The connection as a main-loop source. Like GDK's, it asks Xlib whether
// events are pending before and after polling: Xlib may have read events into
// its queue during another call, leaving nothing on the socket to wake poll.
struct XEventSource {
    GSource source;
    GPollFD poll;
    Display* display;
    X11KeyboardEventClock::Impl* owner; // null once the clock is going away
};

// Xlib may have pulled events into its queue during another call without the
// socket becoming readable, so the queue is consulted as well as the fd. Only
// what is already queued: asking the server here would cost a system call at
// every wakeup of the loop, four times a second while idle.
gboolean prepareXEvents(GSource* source, gint* timeout)
{
    *timeout = -1;
    return XEventsQueued(reinterpret_cast<XEventSource*>(source)->display, QueuedAlready) > 0;
}

gboolean checkXEvents(GSource* source)
{
    auto* xSource = reinterpret_cast<XEventSource*>(source);
    return (xSource->poll.revents & G_IO_IN) != 0 || XEventsQueued(xSource->display, QueuedAlready) > 0;
}

gboolean dispatchXEvents(GSource* source, GSourceFunc, gpointer);

GSourceFuncs xEventSourceFuncs = { prepareXEvents, checkXEvents, dispatchXEvents, nullptr, nullptr, nullptr };

constexpr std::size_t indexOf(platform::KeyboardEventType type)
{
    return static_cast<std::size_t>(type);
}

} // namespace

struct X11KeyboardEventClock::Impl {
    XDisplayPtr display;
    // XInput's major opcode, or -1 when raw key events are not available.
    int xinputOpcode = -1;
    // XKB's first event code, or -1 when modifier changes are not available.
    int xkbEventBase = -1;
    // Monotonic microseconds of the last event of each type, initially the
    // moment watching began.
    std::array<gint64, 3> lastEventTime {};
    GSourcePtr source;

    ~Impl()
    {
        if (source)
            reinterpret_cast<XEventSource*>(source.get())->owner = nullptr;
        source.reset();
    }

    void selectRawKeyEvents()
    {
        int opcode = 0, firstEvent = 0, firstError = 0;
        if (!XQueryExtension(display.get(), "XInputExtension", &opcode, &firstEvent, &firstError))
            return;
        // Announcing 2.1 or later is what makes raw events arrive while
        // another client grabs the keyboard.
        int major = 2, minor = 2;
        if (XIQueryVersion(display.get(), &major, &minor) != Success || major * 10 + minor < 21)
            return;
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
        XIEventMask mask { XIAllMasterDevices, static_cast<int>(sizeof bits), bits };
        if (XISelectEvents(display.get(), DefaultRootWindow(display.get()), &mask, 1) != Success)
            return;
        xinputOpcode = opcode;
    }

    void selectModifierChanges()
    {
        int opcode = 0, eventBase = 0, errorBase = 0;
        int major = XkbMajorVersion, minor = XkbMinorVersion;
        if (!XkbQueryExtension(display.get(), &opcode, &eventBase, &errorBase, &major, &minor))
            return;
        // Modifier state only: input methods switch layouts through the XKB
        // group, which is no keyboard activity.
        if (!XkbSelectEventDetails(
                display.get(), XkbUseCoreKbd, XkbStateNotify, XkbModifierStateMask, XkbModifierStateMask))
            return;
        xkbEventBase = eventBase;
    }

    void take(const XEvent& event)
    {
        using platform::KeyboardEventType;
        if (event.type == GenericEvent && event.xcookie.extension == xinputOpcode) {
            // Only the event's type; the key it carries is never looked at.
            if (event.xcookie.evtype == XI_RawKeyPress)
                lastEventTime[indexOf(KeyboardEventType::keyDown)] = g_get_monotonic_time();
            else if (event.xcookie.evtype == XI_RawKeyRelease)
                lastEventTime[indexOf(KeyboardEventType::keyUp)] = g_get_monotonic_time();
        } else if (xkbEventBase >= 0 && event.type == xkbEventBase + XkbEventCode) {
            if (reinterpret_cast<const XkbEvent&>(event).any.xkb_type == XkbStateNotify)
                lastEventTime[indexOf(KeyboardEventType::flagsChanged)] = g_get_monotonic_time();
        }
    }

    void drain()
    {
        while (XPending(display.get()) > 0) {
            XEvent event;
            XNextEvent(display.get(), &event);
            take(event);
        }
    }
};

namespace {

gboolean dispatchXEvents(GSource* source, GSourceFunc, gpointer)
{
    if (auto* owner = reinterpret_cast<XEventSource*>(source)->owner)
        owner->drain();
    return G_SOURCE_CONTINUE;
}

} // namespace

std::unique_ptr<X11KeyboardEventClock> X11KeyboardEventClock::open(const char* displayName)
{
    XDisplayPtr display(XOpenDisplay(displayName));
    if (!display)
        return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->display = std::move(display);
    impl->selectRawKeyEvents();
    impl->selectModifierChanges();
    XSync(impl->display.get(), False);
    impl->lastEventTime.fill(g_get_monotonic_time());

    auto* source = reinterpret_cast<XEventSource*>(g_source_new(&xEventSourceFuncs, sizeof(XEventSource)));
    source->display = impl->display.get();
    source->owner = impl.get();
    source->poll.fd = ConnectionNumber(impl->display.get());
    source->poll.events = G_IO_IN | G_IO_HUP | G_IO_ERR;
    impl->source.reset(&source->source);
    g_source_set_name(&source->source, "lullswitch X11 keyboard events");
    g_source_add_poll(&source->source, &source->poll);
    g_source_attach(&source->source, nullptr);
    return std::unique_ptr<X11KeyboardEventClock>(new X11KeyboardEventClock(std::move(impl)));
}

X11KeyboardEventClock::X11KeyboardEventClock(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) { }

X11KeyboardEventClock::~X11KeyboardEventClock() = default;

double X11KeyboardEventClock::secondsSinceLastEvent(platform::KeyboardEventType type)
{
    const bool available = type == platform::KeyboardEventType::flagsChanged ? hasModifierEvents() : hasKeyEvents();
    if (!available)
        return std::numeric_limits<double>::quiet_NaN();
    const gint64 elapsed = g_get_monotonic_time() - impl_->lastEventTime[indexOf(type)];
    return static_cast<double>(elapsed) / static_cast<double>(G_USEC_PER_SEC);
}

bool X11KeyboardEventClock::hasKeyEvents() const
{
    return impl_->xinputOpcode >= 0;
}

bool X11KeyboardEventClock::hasModifierEvents() const
{
    return impl_->xkbEventBase >= 0;
}

void X11KeyboardEventClock::synchronize()
{
    XSync(impl_->display.get(), False);
}

} // namespace lullswitch::linux_backend
