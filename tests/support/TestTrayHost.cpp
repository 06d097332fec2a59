#include "TestTrayHost.h"
#include "SessionBus.h"

namespace lullswitch::tray_test {

using namespace linux_backend;

namespace {

constexpr const char* watcherName = "org.kde.StatusNotifierWatcher";

constexpr const char* watcherXml = R"xml(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  </interface>
</node>)xml";

MenuEntry parseLayout(GVariant* node)
{
    MenuEntry entry;
    GVariant* properties;
    GVariantIter* children;
    g_variant_get(node, "(i@a{sv}av)", &entry.id, &properties, &children);
    entry.properties.reset(properties);
    for (GVariant* child; g_variant_iter_loop(children, "v", &child);)
        entry.children.push_back(parseLayout(child));
    g_variant_iter_free(children);
    return entry;
}

} // namespace

std::string MenuEntry::label() const
{
    const gchar* label = "";
    g_variant_lookup(properties.get(), "label", "&s", &label);
    return label;
}

const MenuEntry& MenuEntry::find(const std::string& wanted) const
{
    std::vector<const MenuEntry*> queue { this };
    for (std::size_t i = 0; i < queue.size(); ++i)
        for (const auto& child : queue[i]->children) {
            if (child.label() == wanted)
                return child;
            queue.push_back(&child);
        }
    throw TrayError("no menu entry labelled " + wanted);
}

TestTrayHost::TestTrayHost()
    : connection_(session_test::connectTo(
        GMallocPtr<gchar>(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)).get()))
{
    if (!connection_)
        throw TrayError("cannot connect to the session bus");
    signals_ = SignalSubscription(connection_.get(),
        g_dbus_connection_signal_subscribe(connection_.get(), nullptr, nullptr, nullptr, nullptr, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, onSignal, this, nullptr));
    startWatcher();
}

// Closed at once, so that the watcher's name is free for the next host.
TestTrayHost::~TestTrayHost()
{
    g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
}

void TestTrayHost::startWatcher()
{
    static const GDBusInterfaceVTable vtable = { onWatcherCall, nullptr, nullptr, {} };
    watcher_ = exportObject(connection_.get(), "/StatusNotifierWatcher", watcherXml, vtable, this);
    // Object first, then the name: an item that sees the name can register.
    auto reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", watcherName, 4u), "(u)");
    if (g_variant_get_uint32(GVariantPtr(g_variant_get_child_value(reply.get(), 0)).get()) != 1)
        throw TrayError("the test watcher could not take its name");
}

void TestTrayHost::stopWatcher()
{
    call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ReleaseName",
        g_variant_new("(s)", watcherName), "(u)");
    watcher_.reset();
    items_.clear();
}

void TestTrayHost::onWatcherCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
    GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self)
{
    auto* host = static_cast<TestTrayHost*>(self);
    if (host->refusals_ > 0) {
        --host->refusals_;
        return g_dbus_method_invocation_return_error(
            invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT, "not serving yet");
    }
    // A bus name whose item is at the standard path: the form every watcher takes.
    const gchar* busName;
    g_variant_get(parameters, "(&s)", &busName);
    host->items_.emplace_back(busName);
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

void TestTrayHost::onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal,
    GVariant* parameters, gpointer self)
{
    auto* host = static_cast<TestTrayHost*>(self);
    ++host->signalCounts_[signal];
    if (std::string(signal) == "LayoutUpdated")
        host->lastRevision_ = g_variant_get_uint32(GVariantPtr(g_variant_get_child_value(parameters, 0)).get());
}

GVariantPtr TestTrayHost::call(const std::string& busName, const std::string& path, const char* interface,
    const char* method, GVariant* parameters, const char* replyType) const
{
    GErrorPtr error;
    GVariantPtr reply(g_dbus_connection_call_sync(connection_.get(), busName.c_str(), path.c_str(), interface, method,
        parameters, G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, ErrorOut(error)));
    if (!reply)
        throw TrayError(std::string(method) + ": " + error->message);
    return reply;
}

GVariantPtr TestTrayHost::itemProperty(const std::string& name) const
{
    auto reply = call(items_.at(0), "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.kde.StatusNotifierItem", name.c_str()), "(v)");
    return GVariantPtr(g_variant_get_variant(GVariantPtr(g_variant_get_child_value(reply.get(), 0)).get()));
}

MenuEntry TestTrayHost::menu() const
{
    auto reply = call(items_.at(0), "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
        g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)), "(u(ia{sv}av))");
    return parseLayout(GVariantPtr(g_variant_get_child_value(reply.get(), 1)).get());
}

void TestTrayHost::click(const std::string& label) const
{
    call(items_.at(0), "/MenuBar", "com.canonical.dbusmenu", "Event",
        g_variant_new("(isvu)", menu().find(label).id, "clicked", g_variant_new_int32(0), 0u), "()");
}

} // namespace lullswitch::tray_test
