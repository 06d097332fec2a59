// The Linux agent: assembles the desktop backends into the platform and runs
// the application. It needs an X display (keyboard idle time) and a session
// bus (tray, input methods); without either it cannot work at all, so it says
// what is missing and exits with a status of its own for each.
#include "app/LullswitchApp.h"
#include "platform/Platform.h"
#include "platform/linux/Fcitx5InputSources.h"
#include "platform/linux/GLibHandles.h"
#include "platform/linux/GLibMainLoop.h"
#include "platform/linux/KeyFileUserDefaults.h"
#include "platform/linux/LinuxApplication.h"
#include "platform/linux/LinuxStatusBar.h"
#include "platform/linux/X11KeyboardEventClock.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr int exitNoDisplay = 3;
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

} // namespace

int main(int argc, char** argv)
{
    using namespace lullswitch::linux_backend;

    if (argc > 1 && std::string_view(argv[1]) == "--version") {
        std::puts("lullswitch " LULLSWITCH_VERSION);
        return EXIT_SUCCESS;
    }

    auto keyboardEventClock = X11KeyboardEventClock::open();
    if (!keyboardEventClock) {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display)
            std::fputs("lullswitch: DISPLAY is not set; start it inside an X11 desktop session, or set DISPLAY "
                       "(for example DISPLAY=:0)\n",
                stderr);
        else
            std::fprintf(stderr,
                "lullswitch: cannot open the X display \"%s\"; check that the X server runs and that this user "
                "may connect to it (xhost, XAUTHORITY)\n",
                display);
        return exitNoDisplay;
    }

    GError* rawError = nullptr;
    GObjectPtr<GDBusConnection> sessionBus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    GErrorPtr error(rawError);
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

    KeyFileUserDefaults userDefaults(KeyFileUserDefaults::defaultPath());
    GLibMainLoop mainLoop;
    Fcitx5InputSources inputSources(sessionBus.get());
    LinuxStatusBar statusBar(sessionBus.get());
    LinuxApplication application(sessionBus.get());

    lullswitch::platform::Platform platform {
        userDefaults,
        *keyboardEventClock,
        mainLoop,
        inputSources,
        statusBar,
        application,
    };
    const lullswitch::platform::ScopedPlatform installed(platform);
    return lullswitch::LullswitchApp::main();
}
