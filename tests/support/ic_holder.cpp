// lullswitch_test_ic: keeps one focused fcitx5 input context on the session
// bus, as a focused text field would, so that fcitx5's controller calls have
// an input context to act on. Whenever fcitx5 (re)appears on the bus it
// creates and focuses a new one. fcitx5 drops a context when the connection
// that created it closes: ending this process (SIGTERM) is all it takes.
// Prints "focused <object path>" for each context it focuses.
#include "SessionBus.h"
#include "platform/linux/GLibRegistrations.h"

#include <cstdio>

int main()
{
    using namespace lullswitch::linux_backend;
    const GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    if (!bus)
        return 1;
    const BusNameHandle watch(g_bus_watch_name_on_connection(
                                  bus.get(), "org.fcitx.Fcitx5", G_BUS_NAME_WATCHER_FLAGS_NONE,
                                  [](GDBusConnection* connection, const gchar*, const gchar*, gpointer) {
                                      const auto path = lullswitch::session_test::focusNewFcitxContext(
                                          connection, "lullswitch-test");
                                      if (!path.empty())
                                          std::printf("focused %s\n", path.c_str());
                                      std::fflush(stdout);
                                  },
                                  nullptr, nullptr, nullptr),
        g_bus_unwatch_name);
    const GMainLoopPtr loop(g_main_loop_new(nullptr, FALSE));
    g_main_loop_run(loop.get());
    return 0;
}
