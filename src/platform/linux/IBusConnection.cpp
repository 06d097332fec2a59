#include "platform/linux/IBusConnection.h"

#include <algorithm>

namespace lullswitch::linux_backend {

namespace {

constexpr int callTimeoutMs = 500;
constexpr const char* daemonName = "org.freedesktop.IBus";

} // namespace

// What the filter shares with the main context: the kinds asked for, fixed
// at construction, and the handler, reached only on the main context and only
// while the connection lives.
class IBusConnection::Receiver {
public:
    Receiver(std::vector<IBusNews::Kind> kinds, NewsHandler onNews)
        : kinds_(std::move(kinds)), onNews_(std::move(onNews)), context_(g_main_context_ref_thread_default())
    {
    }
    ~Receiver() { g_main_context_unref(context_); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    const std::vector<IBusNews::Kind>& kinds() const { return kinds_; }
    bool wants(IBusNews::Kind kind) const { return std::find(kinds_.begin(), kinds_.end(), kind) != kinds_.end(); }

    // From any thread.
    static void post(const std::shared_ptr<Receiver>& self, IBusNews news)
    {
        GSource* source = g_idle_source_new();
        g_source_set_priority(source, G_PRIORITY_DEFAULT);
        setCallback(
            source,
            [self, news = std::move(news), receivedAt = g_get_monotonic_time()] {
                if (self->onNews_)
                    self->onNews_(news, receivedAt);
            },
            false);
        g_source_attach(source, self->context_);
        g_source_unref(source);
    }

    // On the main context, when the connection goes.
    void silence() { onNews_ = nullptr; }

private:
    const std::vector<IBusNews::Kind> kinds_;
    NewsHandler onNews_;
    GMainContext* const context_;
};

IBusConnection::IBusConnection(std::vector<IBusNews::Kind> kinds, NewsHandler onNews, std::function<void()> onChange,
    std::function<void()> onOversizedMessage)
    : receiver_(std::make_shared<Receiver>(std::move(kinds), std::move(onNews))),
      onChange_(std::move(onChange)),
      onOversizedMessage_(std::move(onOversizedMessage))
{
    // libibus makes the folder of its address file: with no absolute
    // configuration folder (a relative XDG_CONFIG_HOME, an empty HOME) it
    // would land in the working directory, and no daemon could be found.
    if (!g_path_is_absolute(ibus_get_socket_path()))
        return;
    bus_.reset(ibus_bus_new_async());
    g_signal_connect(bus_.get(), "connected", G_CALLBACK(onConnected), this);
    g_signal_connect(bus_.get(), "disconnected", G_CALLBACK(onDisconnected), this);
    if (ibus_bus_is_connected(bus_.get()))
        onConnected(bus_.get(), this);
}

IBusConnection::~IBusConnection()
{
    if (bus_)
        g_signal_handlers_disconnect_by_data(bus_.get(), this);
    receiver_->silence();
    if (isDaemon_) {
        for (const auto kind : receiver_->kinds()) {
            for (const auto& rule : IBusNews::matchRules(kind))
                g_dbus_connection_call(connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus", "RemoveMatch", g_variant_new("(s)", rule.c_str()), nullptr,
                    G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, nullptr, nullptr);
        }
    }
}

// Only the daemon itself answers that it owns its name: on any other bus the
// owner is a client with a unique name.
void IBusConnection::onConnected(IBusBus*, gpointer self)
{
    auto* connection = static_cast<IBusConnection*>(self);
    connection->forget();
    GDBusConnection* bus = ibus_bus_get_connection(connection->bus_.get());
    if (!bus)
        return;
    connection->connection_.reset(G_DBUS_CONNECTION(g_object_ref(bus)));
    if (connection->onOversizedMessage_)
        connection->guard_.emplace(bus, connection->onOversizedMessage_);
    connection->callOn(bus, "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
        g_variant_new("(s)", daemonName), [connection](GVariant* reply) {
            const gchar* owner = nullptr;
            if (reply && g_variant_is_of_type(reply, G_VARIANT_TYPE("(s)")))
                g_variant_get(reply, "(&s)", &owner);
            if (g_strcmp0(owner, daemonName) == 0)
                connection->listen();
        });
}

void IBusConnection::onDisconnected(IBusBus*, gpointer self)
{
    static_cast<IBusConnection*>(self)->forget();
}

GDBusMessage* IBusConnection::filter(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer receiver)
{
    if (!incoming)
        return message;
    const auto& self = *static_cast<std::shared_ptr<Receiver>*>(receiver);
    IBusNews news = IBusNews::read(message);
    const bool isCopiedCall = news.isCopiedCall;
    if (self->wants(news.kind))
        Receiver::post(self, std::move(news));
    else if (news.kind != IBusNews::Kind::none || !isCopiedCall)
        return message;
    // A copy of another's call, which nobody reads: unanswered, whoever
    // receives it first.
    if (isCopiedCall) {
        g_object_unref(message);
        return nullptr;
    }
    return message;
}

void IBusConnection::listen()
{
    GDBusConnection* connection = connection_.get();
    // The filter may still run after its removal, so it holds the receiver.
    filter_ = FilterRegistration(connection,
        g_dbus_connection_add_filter(connection, filter, new std::shared_ptr<Receiver>(receiver_),
            [](gpointer receiver) { delete static_cast<std::shared_ptr<Receiver>*>(receiver); }));
    for (const auto kind : receiver_->kinds()) {
        for (const auto& rule : IBusNews::matchRules(kind))
            callOn(connection, "/org/freedesktop/DBus", "org.freedesktop.DBus", "AddMatch",
                g_variant_new("(s)", rule.c_str()), {});
    }
    isDaemon_ = true;
    changed();
}

void IBusConnection::forget()
{
    pending_.cancelAll();
    filter_.reset();
    guard_.reset();
    connection_.reset();
    if (std::exchange(isDaemon_, false))
        changed();
}

void IBusConnection::changed()
{
    if (onChange_)
        onChange_();
}

void IBusConnection::call(const char* path, const char* interface, const char* method, GVariant* parameters,
    std::function<void(GVariant* reply)> onReply)
{
    if (!isDaemon_) {
        takeVariant(parameters);
        return;
    }
    callOn(connection_.get(), path, interface, method, parameters, std::move(onReply));
}

void IBusConnection::callOn(GDBusConnection* connection, const char* path, const char* interface, const char* method,
    GVariant* parameters, std::function<void(GVariant* reply)> onReply)
{
    const char* destination = g_str_equal(interface, "org.freedesktop.DBus") ? "org.freedesktop.DBus" : daemonName;
    callWithoutWaiting(connection, destination, path, interface, method, parameters, nullptr, callTimeoutMs, pending_,
        std::move(onReply));
}

} // namespace lullswitch::linux_backend
