// lullswitch_test_ic: keeps one focused fcitx5 input context on the session
// bus, as a focused text field would, so that fcitx5's controller calls have
// an input context to act on. fcitx5 drops a context when the connection that
// created it closes, hence a process that stays.
//
// Whenever fcitx5 (re)appears on the bus it creates and focuses a new
// context and prints "focused <object path>"; when fcitx5 goes it prints
// "lost". SIGTERM or SIGINT destroys the context and exits 0.
#include "SessionBus.h"
#include "platform/linux/GLibRegistrations.h"

#include <glib-unix.h>

#include <csignal>
#include <cstdio>
#include <string>

namespace {

using namespace lullswitch::linux_backend;
using namespace lullswitch::session_test;

struct Holder {
    GDBusConnection* bus = nullptr;
    GMainLoop* loop = nullptr;
    std::string context; // object path, "" while none
};

void say(const std::string& text)
{
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

void fcitxAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data)
{
    auto& holder = *static_cast<Holder*>(data);
    holder.context = focusNewFcitxContext(holder.bus, "lullswitch-test");
    if (!holder.context.empty())
        say("focused " + holder.context);
}

void fcitxVanished(GDBusConnection*, const gchar*, gpointer data)
{
    static_cast<Holder*>(data)->context.clear();
    say("lost");
}

gboolean quit(gpointer data)
{
    g_main_loop_quit(static_cast<Holder*>(data)->loop);
    return G_SOURCE_CONTINUE;
}

} // namespace

int main()
{
    const GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    if (!bus) {
        std::fprintf(stderr, "lullswitch_test_ic: no session bus\n");
        return 1;
    }
    Holder holder { bus.get(), g_main_loop_new(nullptr, FALSE), "" };
    const BusNameHandle watch(g_bus_watch_name_on_connection(bus.get(), "org.fcitx.Fcitx5",
                                  G_BUS_NAME_WATCHER_FLAGS_NONE, fcitxAppeared, fcitxVanished, &holder, nullptr),
        g_bus_unwatch_name);
    const guint term = g_unix_signal_add(SIGTERM, quit, &holder);
    const guint interrupt = g_unix_signal_add(SIGINT, quit, &holder);
    g_main_loop_run(holder.loop);
    g_source_remove(term);
    g_source_remove(interrupt);
    if (!holder.context.empty())
        callOn(bus.get(), "org.fcitx.Fcitx5", holder.context.c_str(), "org.fcitx.Fcitx.InputContext1", "DestroyIC");
    g_main_loop_unref(holder.loop);
    return 0;
}
