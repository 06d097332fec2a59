// The Linux agent: assembles the desktop backends into the platform and runs
// the application. It needs a session bus (tray, input methods), without
// which it says so and exits. Keyboard activity comes from the fcitx5 addon,
// from IBus and, on an X11 session, from the X server; with neither it still runs but
// never switches by itself, and says once what to install.
#include "app/LullswitchApp.h"
#include "platform/Platform.h"
#include "platform/linux/DesktopAlert.h"
#include "platform/linux/Fcitx5KeyTimeClock.h"
#include "platform/linux/Fcitx5Presence.h"
#include "platform/linux/GLibHandles.h"
#include "platform/linux/GLibMainLoop.h"
#include "platform/linux/GLibRegistrations.h"
#include "platform/linux/HeapTrimmer.h"
#include "platform/linux/IBusKeyboardEventClock.h"
#include "platform/linux/InPlaceRestart.h"
#include "platform/linux/InputMethodFramework.h"
#include "platform/linux/KeyFileUserDefaults.h"
#include "platform/linux/LinuxApplication.h"
#include "platform/linux/LinuxStatusBar.h"
#include "platform/linux/MergedKeyboardEventClock.h"
#include "platform/linux/OversizedMessageGuard.h"
#include "platform/linux/X11KeyboardEventClock.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr int exitNoSessionBus = 4;

// Owned for the life of the process, so a second start (autostart plus a
// manual one) does not put a second item in the tray or switch twice.
constexpr const char* instanceName = "app.lullswitch.Lullswitch";

// True unless another agent already owns the instance name on this bus.
bool becomeTheOnlyInstance(GDBusConnection* bus)
{
    using namespace lullswitch::linux_backend;
    constexpr guint32 doNotQueue = 4;
    constexpr guint32 primaryOwner = 1;
    constexpr guint32 alreadyOwner = 4;
    GVariantPtr reply(g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
        "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", instanceName, doNotQueue), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr));
    // A bus that refuses the call cannot tell; run rather than refuse to.
    if (!reply)
        return true;
    guint32 result = 0;
    g_variant_get(reply.get(), "(u)", &result);
    return result == primaryOwner || result == alreadyOwner;
}

// An X11 session: there, X sees every key. Under Wayland the X server
// (XWayland) sees only keys typed into X windows, so it cannot tell idleness.
bool isX11Session()
{
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return display && *display && !(wayland && *wayland) && !(type && std::string_view(type) == "wayland");
}

// How long after start the fcitx5 addon or the X server must be seen, before
// saying that the agent cannot see the keyboard (fcitx5 may start after it),
// and how long a second look waits: fcitx5 restarting at the first look is
// no missing addon.
constexpr unsigned sourceGraceMs = 10'000;
constexpr unsigned secondLookMs = 5'000;

void lookForKeyboard(lullswitch::linux_backend::MergedKeyboardEventClock& clock,
    lullswitch::linux_backend::ScheduledCall& look, bool isLastLook)
{
    using lullswitch::linux_backend::ScheduledCall;
    if (clock.hasReadings())
        return;
    if (!isLastLook) {
        look = ScheduledCall::after(secondLookMs, [&clock, &look] { lookForKeyboard(clock, look, true); });
        return;
    }
    std::fputs("lullswitch: cannot see keyboard activity in this session, so it will not switch by itself. Install "
               "its fcitx5 addon (the lullswitch package, or scripts/install-user for this user only), then restart "
               "fcitx5 to load it: fcitx5 -rd\n",
        stderr);
}

// Where GLib would find the session bus by itself. Without either, it would
// autolaunch dbus-launch and a bus daemon that no desktop program is on and
// that outlives the agent; that is never wanted, so there is no bus.
bool hasSessionBusAddress()
{
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address)
        return true;
    const char* runtimeDirectory = std::getenv("XDG_RUNTIME_DIR");
    if (!runtimeDirectory || !*runtimeDirectory)
        return false;
    struct stat status;
    return ::stat((std::string(runtimeDirectory) + "/bus").c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

// GLib's slice allocator (before GLib 2.76) never gives its memory back: one
// large message from any program on the bus, parsed in full by GDBus, would
// leave the agent hundreds of megabytes bigger for good. GLib reads the
// setting as it loads, before main, hence the fresh start with it set.
void startWithPlainAllocation(char** argv)
{
    if (std::getenv("G_SLICE"))
        return;
    setenv("G_SLICE", "always-malloc", 1);
    lullswitch::linux_backend::InPlaceRestart::replaceImage(argv);
    // Not started again: run as it is.
}

} // namespace

int main(int argc, char** argv)
{
    using namespace lullswitch::linux_backend;
    startWithPlainAllocation(argv);

    if (argc > 1 && std::string_view(argv[1]) == "--version") {
        std::puts("lullswitch " LULLSWITCH_VERSION);
        return EXIT_SUCCESS;
    }

    GErrorPtr error;
    GObjectPtr<GDBusConnection> sessionBus(
        hasSessionBusAddress() ? g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, ErrorOut(error)) : nullptr);
    if (!sessionBus) {
        std::fprintf(stderr,
            "lullswitch: cannot connect to the D-Bus session bus (%s); start it inside a desktop session, or set "
            "DBUS_SESSION_BUS_ADDRESS (dbus-run-session runs a command with a bus of its own)\n",
            error ? error->message : "no address");
        return exitNoSessionBus;
    }

    if (!becomeTheOnlyInstance(sessionBus.get())) {
        std::fputs("lullswitch: already running in this session; quit it from its tray menu (終了) first\n", stderr);
        return EXIT_SUCCESS;
    }

    const HeapTrimmer heapTrimmer(sessionBus.get());
    // A message big enough to pin memory for good is refused, and the agent
    // starts over to shed it.
    InPlaceRestart restart(sessionBus.get(), instanceName, argv);
    const OversizedMessageGuard messageGuard(sessionBus.get(), [&restart] { restart.request(); });
    Fcitx5Presence fcitx5(sessionBus.get());
    MergedKeyboardEventClock keyboardEventClock;
    Fcitx5KeyTimeClock fcitxKeyTime(fcitx5);
    keyboardEventClock.addSource(fcitxKeyTime);
    auto x11KeyEvents = isX11Session() ? X11KeyboardEventClock::open() : nullptr;
    if (x11KeyEvents)
        keyboardEventClock.addSource(*x11KeyEvents);
    IBusKeyboardEventClock ibusKeyEvents([&restart] { restart.request(); });
    keyboardEventClock.addSource(ibusKeyEvents);
    ScheduledCall keyboardLook;
    keyboardLook = ScheduledCall::after(sourceGraceMs,
        [&keyboardEventClock, &keyboardLook] { lookForKeyboard(keyboardEventClock, keyboardLook, false); });

    // Said once per cause, where the user looks: the terminal, and the
    // desktop for a setting that will not last.
    GLibMainLoop mainLoop;
    KeyFileUserDefaults::Options preferences;
    preferences.report = [&](KeyFileUserDefaults::Problem problem, const std::string& message) {
        std::fprintf(stderr, "%s\n", message.c_str());
        if (problem == KeyFileUserDefaults::Problem::unsaved)
            DesktopAlert::notify(sessionBus.get(), "設定を保存できません", message);
    };
    KeyFileUserDefaults userDefaults(KeyFileUserDefaults::defaultPath(), mainLoop, std::move(preferences));
    InputMethodFramework inputSources(fcitx5);
    LinuxStatusBar statusBar(sessionBus.get());
    LinuxApplication application(sessionBus.get());
    restart.setWaitWhile([&] { return userDefaults.hasWaitingWrite() || application.isShowingAlert(); });

    lullswitch::platform::Platform platform {
        userDefaults,
        keyboardEventClock,
        mainLoop,
        inputSources,
        statusBar,
        application,
    };
    const lullswitch::platform::ScopedPlatform installed(platform);
    return lullswitch::LullswitchApp::main();
}
