#include "TestTrayHost.h"

#include <future>

namespace lullswitch::tray_test {

using namespace linux_backend;

namespace {

constexpr const char* watcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* watcherPath = "/StatusNotifierWatcher";

constexpr const char* watcherXml = R"xml(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>)xml";

GDBusConnection* newSessionConnection()
{
    GError* rawError = nullptr;
    GMallocPtr<gchar> address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    GErrorPtr error(rawError);
    if (!address)
        throw TrayError("no session bus address");
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(address.get(),
        static_cast<GDBusConnectionFlags>(
            G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &rawError);
    error.reset(rawError);
    if (!connection)
        throw TrayError(std::string("cannot connect to the session bus: ") + error->message);
    return connection;
}

MenuEntry parseLayout(GVariant* node)
{
    MenuEntry entry;
    GVariant* properties;
    GVariantIter* children;
    GVariant* child;
    g_variant_get(node, "(i@a{sv}av)", &entry.id, &properties, &children);
    entry.properties.reset(properties);
    while (g_variant_iter_next(children, "v", &child)) {
        entry.children.push_back(parseLayout(child));
        g_variant_unref(child);
    }
    g_variant_iter_free(children);
    return entry;
}

} // namespace

std::string MenuEntry::printed(const std::string& name) const
{
    GVariantPtr value(g_variant_lookup_value(properties.get(), name.c_str(), nullptr));
    return value ? GMallocPtr<gchar>(g_variant_print(value.get(), FALSE)).get() : "";
}

std::string MenuEntry::label() const
{
    const gchar* label = "";
    g_variant_lookup(properties.get(), "label", "&s", &label);
    return label;
}

const MenuEntry& MenuEntry::find(const std::string& wanted) const
{
    for (const auto& child : children) {
        if (child.label() == wanted)
            return child;
        try {
            return child.find(wanted);
        } catch (const TrayError&) {
        }
    }
    throw TrayError("no menu entry labelled " + wanted);
}

TestTrayHost::TestTrayHost(bool startWatcher)
    : context_(g_main_context_new()),
      loop_(g_main_loop_new(context_, FALSE)),
      watcherInfo_(g_dbus_node_info_new_for_xml(watcherXml, nullptr))
{
    thread_ = std::thread([this] {
        g_main_context_push_thread_default(context_);
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
    });
    runOnHost([this] {
        client_.reset(newSessionConnection());
        signalId_ = g_dbus_connection_signal_subscribe(client_.get(), nullptr, nullptr, nullptr, nullptr, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, onSignal, this, nullptr);
    });
    if (startWatcher)
        this->startWatcher();
}

TestTrayHost::~TestTrayHost()
{
    runOnHost([this] {
        stopWatcherOnHost();
        g_dbus_connection_signal_unsubscribe(client_.get(), signalId_);
        g_dbus_connection_close_sync(client_.get(), nullptr, nullptr);
        client_.reset();
    });
    g_main_loop_quit(loop_);
    thread_.join();
    g_main_loop_unref(loop_);
    // Let GDBus release what it queued on the context.
    while (g_main_context_iteration(context_, FALSE)) { }
    g_main_context_unref(context_);
    g_dbus_node_info_unref(watcherInfo_);
}

void TestTrayHost::runOnHost(const std::function<void()>& work)
{
    struct Job {
        const std::function<void()>* work;
        std::promise<void> done;
    } job { &work, {} };
    auto finished = job.done.get_future();
    g_main_context_invoke(
        context_,
        [](gpointer data) -> gboolean {
            auto* pending = static_cast<Job*>(data);
            try {
                (*pending->work)();
                pending->done.set_value();
            } catch (...) {
                pending->done.set_exception(std::current_exception());
            }
            return G_SOURCE_REMOVE;
        },
        &job);
    finished.get();
}

void TestTrayHost::startWatcher()
{
    runOnHost([this] { startWatcherOnHost(); });
}

void TestTrayHost::stopWatcher()
{
    runOnHost([this] { stopWatcherOnHost(); });
}

void TestTrayHost::startWatcherOnHost()
{
    stopWatcherOnHost();
    watcher_.reset(newSessionConnection());
    static const GDBusInterfaceVTable vtable = { onWatcherCall, nullptr, nullptr, {} };
    watcherObjectId_ = g_dbus_connection_register_object(
        watcher_.get(), watcherPath, watcherInfo_->interfaces[0], &vtable, this, nullptr, nullptr);
    // Object first, then the name: an item that sees the name can register.
    GError* rawError = nullptr;
    GVariantPtr reply(g_dbus_connection_call_sync(watcher_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
        "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", watcherName, 4u), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &rawError));
    GErrorPtr error(rawError);
    guint32 result = 0;
    if (reply)
        g_variant_get(reply.get(), "(u)", &result);
    if (result != 1)
        throw TrayError("the test watcher could not take its name");
}

void TestTrayHost::stopWatcherOnHost()
{
    if (!watcher_)
        return;
    g_dbus_connection_unregister_object(watcher_.get(), watcherObjectId_);
    g_dbus_connection_close_sync(watcher_.get(), nullptr, nullptr);
    watcher_.reset();
    std::lock_guard lock(mutex_);
    items_.clear();
    changed_.notify_all();
}

void TestTrayHost::onWatcherCall(GDBusConnection* connection, const gchar* sender, const gchar*, const gchar*,
    const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self)
{
    auto* host = static_cast<TestTrayHost*>(self);
    if (std::string(method) == "RegisterStatusNotifierItem") {
        {
            std::lock_guard lock(host->mutex_);
            if (host->refusals_ > 0) {
                --host->refusals_;
                g_dbus_method_invocation_return_error(
                    invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT, "not serving yet");
                return;
            }
        }
        const gchar* service;
        g_variant_get(parameters, "(&s)", &service);
        // The two forms that watchers accept: an object path of the sender, or
        // a bus name whose item is at the standard path.
        Item item = service[0] == '/' ? Item { sender, service } : Item { service, "/StatusNotifierItem" };
        {
            std::lock_guard lock(host->mutex_);
            host->items_.push_back(item);
            ++host->registrations_;
            host->changed_.notify_all();
        }
        const std::string id = item.busName + item.objectPath;
        g_dbus_connection_emit_signal(connection, nullptr, watcherPath, watcherName, "StatusNotifierItemRegistered",
            g_variant_new("(s)", id.c_str()), nullptr);
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

void TestTrayHost::onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar* interface, const gchar* signal,
    GVariant* parameters, gpointer self)
{
    auto* host = static_cast<TestTrayHost*>(self);
    const std::string name = interface ? interface : "";
    if (name != "org.kde.StatusNotifierItem" && name != "com.canonical.dbusmenu")
        return;
    std::lock_guard lock(host->mutex_);
    ++host->signals_[signal];
    if (std::string(signal) == "LayoutUpdated") {
        guint32 revision;
        g_variant_get(parameters, "(ui)", &revision, nullptr);
        host->lastRevision_ = revision;
    }
    host->changed_.notify_all();
}

std::vector<TestTrayHost::Item> TestTrayHost::items() const
{
    std::lock_guard lock(mutex_);
    return items_;
}

bool TestTrayHost::waitForItems(std::size_t count, double seconds) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return items_.size() >= count; });
}

void TestTrayHost::refuseRegistrations(int count)
{
    std::lock_guard lock(mutex_);
    refusals_ = count;
}

int TestTrayHost::registrationCount() const
{
    std::lock_guard lock(mutex_);
    return registrations_;
}

int TestTrayHost::signalCount(const std::string& member) const
{
    std::lock_guard lock(mutex_);
    auto found = signals_.find(member);
    return found == signals_.end() ? 0 : found->second;
}

std::optional<std::uint32_t> TestTrayHost::lastLayoutRevision() const
{
    std::lock_guard lock(mutex_);
    return lastRevision_;
}

TestTrayHost::Item TestTrayHost::firstItem() const
{
    std::lock_guard lock(mutex_);
    if (items_.empty())
        throw TrayError("no item has registered");
    return items_.front();
}

GVariantPtr TestTrayHost::call(const std::string& busName, const std::string& path, const char* interface,
    const char* method, GVariant* parameters, const char* replyType, int timeoutMs) const
{
    GError* rawError = nullptr;
    GVariantPtr reply(g_dbus_connection_call_sync(client_.get(), busName.c_str(), path.c_str(), interface, method,
        parameters, replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs,
        nullptr, &rawError));
    GErrorPtr error(rawError);
    if (!reply)
        throw TrayError(std::string(method) + ": " + (error ? error->message : "no reply"));
    return reply;
}

GVariantPtr TestTrayHost::itemProperty(const std::string& name) const
{
    const auto item = firstItem();
    auto reply = call(item.busName, item.objectPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.kde.StatusNotifierItem", name.c_str()), "(v)");
    GVariant* value;
    g_variant_get(reply.get(), "(v)", &value);
    return GVariantPtr(value);
}

std::pair<std::uint32_t, MenuEntry> TestTrayHost::layout(
    std::int32_t parentId, std::int32_t depth, const std::vector<std::string>& names) const
{
    const auto item = firstItem();
    GVariantBuilder wanted;
    g_variant_builder_init(&wanted, G_VARIANT_TYPE("as"));
    for (const auto& name : names)
        g_variant_builder_add(&wanted, "s", name.c_str());
    auto reply = call(item.busName, "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
        g_variant_new("(iias)", parentId, depth, &wanted), "(u(ia{sv}av))");
    guint32 revision;
    GVariant* node;
    g_variant_get(reply.get(), "(u@(ia{sv}av))", &revision, &node);
    GVariantPtr owned(node);
    return { revision, parseLayout(node) };
}

void TestTrayHost::event(std::int32_t id, const std::string& eventId) const
{
    const auto item = firstItem();
    call(item.busName, "/MenuBar", "com.canonical.dbusmenu", "Event",
        g_variant_new("(isvu)", id, eventId.c_str(), g_variant_new_int32(0), 0u), "()");
}

void TestTrayHost::click(const std::string& label) const
{
    event(menu().find(label).id);
}

} // namespace lullswitch::tray_test
