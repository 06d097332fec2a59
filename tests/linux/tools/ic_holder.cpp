// lullswitch_test_ic: keeps one focused fcitx5 input context on the session
// bus, as a focused text field would, so that fcitx5's controller calls have
// an input context to act on. fcitx5 takes input-context calls only from the
// connection that created the context and drops the context when that
// connection closes, hence a process that stays.
//
// Whenever fcitx5 (re)appears on the bus it creates and focuses a new
// context and prints "focused <object path>"; when fcitx5 goes it prints
// "lost". SIGTERM or SIGINT destroys the context and exits 0.
#include "platform/linux/GLibHandles.h"
#include "platform/linux/GLibRegistrations.h"

#include <glib-unix.h>

#include <csignal>
#include <cstdio>
#include <string>

namespace {

using namespace lullswitch::linux_backend;

constexpr const char* fcitxName = "org.fcitx.Fcitx5";
constexpr int timeoutMs = 2000;

struct Holder {
    GDBusConnection* bus = nullptr;
    GMainLoop* loop = nullptr;
    std::string context; // object path, "" while none
};

GVariantPtr call(GDBusConnection* bus, const char* path, const char* interface, const char* method,
    GVariant* parameters, const char* replyType)
{
    GError* rawError = nullptr;
    GVariantPtr reply(g_dbus_connection_call_sync(bus, fcitxName, path, interface, method, parameters,
        replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr,
        &rawError));
    const GErrorPtr error(rawError);
    if (error)
        std::fprintf(stderr, "lullswitch_test_ic: %s: %s\n", method, error->message);
    return reply;
}

void createContext(Holder& holder)
{
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a(ss)"));
    g_variant_builder_add(&properties, "(ss)", "program", "lullswitch-test");
    g_variant_builder_add(&properties, "(ss)", "display", "x11:");
    const auto reply = call(holder.bus, "/org/freedesktop/portal/inputmethod", "org.fcitx.Fcitx.InputMethod1",
        "CreateInputContext", g_variant_new("(a(ss))", &properties), "(oay)");
    if (!reply)
        return;
    const gchar* path = nullptr;
    g_variant_get(reply.get(), "(&o@ay)", &path, nullptr);
    if (!call(holder.bus, path, "org.fcitx.Fcitx.InputContext1", "FocusIn", nullptr, "()"))
        return;
    holder.context = path;
    std::printf("focused %s\n", path);
    std::fflush(stdout);
}

void destroyContext(Holder& holder)
{
    if (holder.context.empty())
        return;
    call(holder.bus, holder.context.c_str(), "org.fcitx.Fcitx.InputContext1", "DestroyIC", nullptr, "()");
    holder.context.clear();
}

void fcitxAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data)
{
    auto& holder = *static_cast<Holder*>(data);
    holder.context.clear();
    createContext(holder);
}

void fcitxVanished(GDBusConnection*, const gchar*, gpointer data)
{
    static_cast<Holder*>(data)->context.clear();
    std::printf("lost\n");
    std::fflush(stdout);
}

gboolean quit(gpointer data)
{
    g_main_loop_quit(static_cast<Holder*>(data)->loop);
    return G_SOURCE_CONTINUE;
}

} // namespace

int main()
{
    GError* rawError = nullptr;
    const GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    const GErrorPtr error(rawError);
    if (!bus) {
        std::fprintf(stderr, "lullswitch_test_ic: no session bus: %s\n", error ? error->message : "?");
        return 1;
    }
    Holder holder;
    holder.bus = bus.get();
    holder.loop = g_main_loop_new(nullptr, FALSE);

    const BusNameHandle watch(g_bus_watch_name_on_connection(bus.get(), fcitxName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                  fcitxAppeared, fcitxVanished, &holder, nullptr),
        g_bus_unwatch_name);
    const guint term = g_unix_signal_add(SIGTERM, quit, &holder);
    const guint interrupt = g_unix_signal_add(SIGINT, quit, &holder);

    g_main_loop_run(holder.loop);

    g_source_remove(term);
    g_source_remove(interrupt);
    destroyContext(holder);
    g_main_loop_unref(holder.loop);
    return 0;
}
