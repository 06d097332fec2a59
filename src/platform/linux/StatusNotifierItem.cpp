#include "platform/linux/StatusNotifierItem.h"

#include "platform/linux/StatusIconPixmaps.h"

#include <unistd.h>

namespace lullswitch::linux_backend {

namespace {

constexpr const char* interfaceName = "org.kde.StatusNotifierItem";
constexpr int maxRegisterAttempts = 5;
// A watcher may take its name a moment before it serves its object.
constexpr unsigned registerRetryMilliseconds = 300;

// No Activate method, so a call to it fails with UnknownMethod: that answer is
// what opens the menu at once on a plain click. Plasma 5.27 opens the menu
// only when Activate fails, and GNOME's AppIndicator extension, once Activate
// has succeeded, delays every click's menu by the double-click time. No text
// label either: GNOME's extension would draw it beside the icon, which already
// shows the title.
constexpr const char* introspectionXml = R"xml(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="SecondaryActivate">
      <arg type="i" name="x" direction="in"/>
      <arg type="i" name="y" direction="in"/>
    </method>
    <method name="ProvideXdgActivationToken">
      <arg type="s" name="token" direction="in"/>
    </method>
    <method name="Scroll">
      <arg type="i" name="delta" direction="in"/>
      <arg type="s" name="orientation" direction="in"/>
    </method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus">
      <arg type="s" name="status"/>
    </signal>
  </interface>
</node>)xml";

GVariant* emptyPixmaps()
{
    return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0);
}

GVariant* iconPixmaps(std::string_view title)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
    for (const auto& pixmap : statusIconPixmaps(title)) {
        g_variant_builder_add(&builder, "(ii@ay)", pixmap.width, pixmap.height,
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, pixmap.argb, pixmap.size, 1));
    }
    return g_variant_builder_end(&builder);
}

} // namespace

StatusNotifierItem::StatusNotifierItem(GDBusConnection* connection, std::string menuPath)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))), menuPath_(std::move(menuPath))
{
    static const GDBusInterfaceVTable vtable = { onMethodCall, onGetProperty, nullptr, {} };
    registration_ = exportObject(connection_.get(), objectPath, introspectionXml, vtable, this);

    // Hosts that scan the bus instead of asking a watcher look for this name.
    const std::string wellKnown = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
    wellKnownName_ = BusNameHandle(g_bus_own_name_on_connection(connection_.get(), wellKnown.c_str(),
                                       G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr, nullptr, nullptr),
        g_bus_unown_name);

    watcherWatch_ = watchBusName(
        connection_.get(), watcherName, [this](const char* owner) { onWatcherAppeared(owner); },
        [this] { onWatcherVanished(); });
}

StatusNotifierItem::~StatusNotifierItem()
{
    watcherWatch_.reset();
    retry_.cancel();
    signals_.cancel();
    pendingCalls_.cancelAll();
    registration_.reset();
}

void StatusNotifierItem::setTitle(std::string_view title)
{
    if (title == title_)
        return;
    title_ = title;
    isTitleChanged_ = true;
    scheduleSignals();
}

void StatusNotifierItem::setToolTip(std::string_view toolTip)
{
    if (toolTip == toolTip_)
        return;
    toolTip_ = toolTip;
    isToolTipChanged_ = true;
    scheduleSignals();
}

// Hosts ignore PropertiesChanged and re-read on these signals; one batch per
// main-loop iteration.
void StatusNotifierItem::scheduleSignals()
{
    if (signals_.isPending())
        return;
    signals_ = ScheduledCall::idle([this] {
        if (isTitleChanged_) {
            emit("NewTitle", nullptr);
            emit("NewIcon", nullptr);
        }
        if (isToolTipChanged_)
            emit("NewToolTip", nullptr);
        isTitleChanged_ = false;
        isToolTipChanged_ = false;
    });
}

void StatusNotifierItem::emit(const char* signal, GVariant* parameters)
{
    g_dbus_connection_emit_signal(connection_.get(), nullptr, objectPath, interfaceName, signal, parameters, nullptr);
}

GVariant* StatusNotifierItem::property(const std::string& name) const
{
    if (name == "Category")
        return g_variant_new_string("ApplicationStatus");
    if (name == "Id")
        return g_variant_new_string("lullswitch");
    if (name == "Title")
        return g_variant_new_string(title_.c_str());
    if (name == "Status")
        return g_variant_new_string("Active");
    if (name == "WindowId")
        return g_variant_new_int32(0);
    if (name == "IconThemePath" || name == "IconName" || name == "OverlayIconName" || name == "AttentionIconName"
        || name == "AttentionMovieName")
        return g_variant_new_string("");
    if (name == "IconPixmap")
        return iconPixmaps(title_);
    if (name == "OverlayIconPixmap" || name == "AttentionIconPixmap")
        return emptyPixmaps();
    if (name == "ToolTip")
        // Some hosts show the tooltip as Pango markup.
        return g_variant_new("(s@a(iiay)ss)", "", emptyPixmaps(), escapeMarkup(toolTip_).c_str(), "");
    if (name == "ItemIsMenu")
        return g_variant_new_boolean(TRUE);
    if (name == "Menu")
        return g_variant_new_object_path(menuPath_.c_str());
    return nullptr;
}

GVariant* StatusNotifierItem::onGetProperty(
    GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property, GError** error, gpointer self)
{
    GVariant* value = static_cast<StatusNotifierItem*>(self)->property(property);
    if (!value)
        g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", property);
    return value;
}

// Secondary clicks, scrolling and activation tokens mean nothing to this item:
// it opens no window of its own on a click.
void StatusNotifierItem::onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
    GVariant*, GDBusMethodInvocation* invocation, gpointer)
{
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

void StatusNotifierItem::onWatcherAppeared(const char* owner)
{
    watcherOwner_ = owner;
    registerAttempts_ = 0;
    retry_.cancel();
    pendingCalls_.cancelAll();
    registerWithWatcher();
}

void StatusNotifierItem::onWatcherVanished()
{
    watcherOwner_.clear();
    retry_.cancel();
    pendingCalls_.cancelAll();
}

// By unique name, which every watcher accepts.
void StatusNotifierItem::registerWithWatcher()
{
    if (watcherOwner_.empty() || !registration_)
        return;
    ++registerAttempts_;
    g_dbus_connection_call(connection_.get(), watcherOwner_.c_str(), "/StatusNotifierWatcher", watcherName,
        "RegisterStatusNotifierItem", g_variant_new("(s)", g_dbus_connection_get_unique_name(connection_.get())),
        nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, pendingCalls_.get(), onRegisterReply, this);
}

void StatusNotifierItem::onRegisterReply(GObject* connection, GAsyncResult* result, gpointer self)
{
    GErrorPtr error;
    GVariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(connection), result, ErrorOut(error)));
    if (wasCancelled(error.get()))
        return;
    auto* item = static_cast<StatusNotifierItem*>(self);
    if (!reply && item->registerAttempts_ < maxRegisterAttempts)
        item->retry_ = ScheduledCall::after(registerRetryMilliseconds, [item] { item->registerWithWatcher(); });
}

} // namespace lullswitch::linux_backend
