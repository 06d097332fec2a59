#include "platform/linux/DBusMenuExporter.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>

namespace lullswitch::linux_backend {

namespace {

constexpr const char* interfaceName = "com.canonical.dbusmenu";

constexpr const char* introspectionXml = R"xml(<node>
  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg type="i" name="parentId" direction="in"/>
      <arg type="i" name="recursionDepth" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="u" name="revision" direction="out"/>
      <arg type="(ia{sv}av)" name="layout" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="a(ia{sv})" name="properties" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="name" direction="in"/>
      <arg type="v" name="value" direction="out"/>
    </method>
    <method name="Event">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="eventId" direction="in"/>
      <arg type="v" name="data" direction="in"/>
      <arg type="u" name="timestamp" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg type="a(isvu)" name="events" direction="in"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg type="i" name="id" direction="in"/>
      <arg type="b" name="needUpdate" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="ai" name="updatesNeeded" direction="out"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg type="a(ia{sv})" name="updatedProps"/>
      <arg type="a(ias)" name="removedProps"/>
    </signal>
    <signal name="LayoutUpdated">
      <arg type="u" name="revision"/>
      <arg type="i" name="parent"/>
    </signal>
    <signal name="ItemActivationRequested">
      <arg type="i" name="id"/>
      <arg type="u" name="timestamp"/>
    </signal>
  </interface>
</node>)xml";

// Hosts read "_" as a mnemonic marker; the titles have none.
std::string escapeMnemonics(const std::string& title)
{
    std::string escaped;
    escaped.reserve(title.size());
    for (char c : title) {
        if (c == '_')
            escaped += '_';
        escaped += c;
    }
    return escaped;
}

// A key equivalent with the desktop's default modifier; an upper-case letter
// also needs Shift, as it does on the Mac.
GVariant* shortcut(const std::string& key)
{
    GVariantBuilder keys;
    g_variant_builder_init(&keys, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&keys, "s", "Control");
    if (key.size() == 1 && std::isupper(static_cast<unsigned char>(key[0])))
        g_variant_builder_add(&keys, "s", "Shift");
    g_variant_builder_add(&keys, "s", key.c_str());
    GVariantBuilder combos;
    g_variant_builder_init(&combos, G_VARIANT_TYPE("aas"));
    g_variant_builder_add_value(&combos, g_variant_builder_end(&keys));
    return g_variant_builder_end(&combos);
}

// Every property an item may have; a name's bit is its place here.
constexpr std::string_view itemPropertyNames[]
    = { "type", "label", "enabled", "visible", "toggle-type", "toggle-state", "shortcut", "children-display" };

std::uint32_t nameBit(std::string_view name)
{
    const auto* found = std::find(std::begin(itemPropertyNames), std::end(itemPropertyNames), name);
    return found == std::end(itemPropertyNames) ? 0 : 1u << (found - std::begin(itemPropertyNames));
}

// None named means all.
std::uint32_t propertyNames(GVariant* array)
{
    if (g_variant_n_children(array) == 0)
        return ~0u;
    std::uint32_t names = 0;
    GVariantIter iter;
    const gchar* value;
    g_variant_iter_init(&iter, array);
    while (g_variant_iter_next(&iter, "&s", &value))
        names |= nameBit(value);
    return names;
}

std::vector<std::int32_t> idList(GVariant* array)
{
    gsize count = 0;
    const auto* ids = static_cast<const std::int32_t*>(g_variant_get_fixed_array(array, &count, sizeof(std::int32_t)));
    return std::vector<std::int32_t>(ids, ids + count);
}

void returnUnknownId(GDBusMethodInvocation* invocation, std::int32_t id)
{
    g_dbus_method_invocation_return_error(
        invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "No menu item has the id %d", id);
}

GVariant* intArray(const std::vector<std::int32_t>& values)
{
    return g_variant_new_fixed_array(G_VARIANT_TYPE_INT32, values.data(), values.size(), sizeof(std::int32_t));
}

} // namespace

DBusMenuExporter::DBusMenuExporter(GDBusConnection* connection, std::string objectPath)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))),
      objectPath_(std::move(objectPath)),
      interfaceInfo_(g_dbus_node_info_new_for_xml(introspectionXml, nullptr))
{
    static const GDBusInterfaceVTable vtable = { onMethodCall, onGetProperty, nullptr, {} };
    const guint id = g_dbus_connection_register_object(
        connection_.get(), objectPath_.c_str(), interfaceInfo_->interfaces[0], &vtable, this, nullptr, nullptr);
    registration_ = ObjectRegistration(connection_.get(), id);
}

DBusMenuExporter::~DBusMenuExporter()
{
    registration_.reset();
    clicks_.clear();
    layoutUpdate_.cancel();
}

void DBusMenuExporter::setRootMenu(std::shared_ptr<platform::MenuTreeMenu> menu)
{
    if (menu == root_)
        return;
    root_ = std::move(menu);
    menuChanged();
}

void DBusMenuExporter::menuChanged()
{
    idsAreStale_ = true;
    if (!layoutUpdate_.isPending())
        layoutUpdate_ = ScheduledCall::idle([this] { emitLayoutUpdated(); });
}

void DBusMenuExporter::emitLayoutUpdated()
{
    ++revision_;
    refreshIds();
    g_dbus_connection_emit_signal(connection_.get(), nullptr, objectPath_.c_str(), interfaceName, "LayoutUpdated",
        g_variant_new("(ui)", revision_, 0), nullptr);
}

// Keeps the id of every item still in the tree, gives new items fresh ids and
// forgets the rest.
void DBusMenuExporter::refreshIds()
{
    if (!idsAreStale_)
        return;
    idsAreStale_ = false;
    std::map<std::int32_t, std::weak_ptr<platform::MenuTreeItem>> itemsById;
    std::unordered_map<const platform::MenuTreeItem*, std::int32_t> idsByItem;
    std::vector<platform::MenuTreeMenu*> pending;
    if (root_)
        pending.push_back(root_.get());
    while (!pending.empty()) {
        auto* menu = pending.back();
        pending.pop_back();
        for (const auto& item : menu->items()) {
            if (!item || idsByItem.contains(item.get()))
                continue;
            std::int32_t id = 0;
            if (auto known = idsByItem_.find(item.get()); known != idsByItem_.end()) {
                if (itemsById_[known->second].lock() == item)
                    id = known->second;
            }
            if (id == 0)
                id = nextId_++;
            itemsById.emplace(id, item);
            idsByItem.emplace(item.get(), id);
            if (auto* submenu = item->treeSubmenu())
                pending.push_back(submenu);
        }
    }
    itemsById_ = std::move(itemsById);
    idsByItem_ = std::move(idsByItem);
}

platform::MenuTreeItem* DBusMenuExporter::itemForId(std::int32_t id)
{
    refreshIds();
    auto found = itemsById_.find(id);
    if (found == itemsById_.end())
        return nullptr;
    return found->second.lock().get();
}

std::optional<DBusMenuExporter::Node> DBusMenuExporter::findNode(std::int32_t id)
{
    // The layout below the node is read through the ids too: bring them up to
    // date before a rebuild's LayoutUpdated has gone out.
    refreshIds();
    if (id == 0)
        return Node { 0, nullptr, root_.get() };
    auto* item = itemForId(id);
    if (!item)
        return std::nullopt;
    return Node { id, item, item->treeSubmenu() };
}

GVariant* DBusMenuExporter::properties(const Node& node, PropertyNames names)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
    auto add = [&](const char* name, GVariant* value) {
        if ((names & nameBit(name)) != 0)
            g_variant_builder_add(&builder, "{sv}", name, value);
        else
            g_variant_unref(g_variant_ref_sink(value));
    };
    const auto* item = node.item;
    if (!item) {
        add("children-display", g_variant_new_string("submenu"));
        return g_variant_builder_end(&builder);
    }
    if (item->isSeparator()) {
        add("type", g_variant_new_string("separator"));
        add("visible", g_variant_new_boolean(TRUE));
        return g_variant_builder_end(&builder);
    }
    add("label", g_variant_new_string(escapeMnemonics(item->title()).c_str()));
    add("enabled", g_variant_new_boolean(item->isEnabled()));
    add("visible", g_variant_new_boolean(TRUE));
    const bool isOn = item->state() == platform::ControlState::on;
    if (isOn || item->hasState()) {
        add("toggle-type", g_variant_new_string("checkmark"));
        add("toggle-state", g_variant_new_int32(isOn ? 1 : 0));
    }
    if (!item->keyEquivalent().empty())
        add("shortcut", shortcut(item->keyEquivalent()));
    if (node.submenu)
        add("children-display", g_variant_new_string("submenu"));
    return g_variant_builder_end(&builder);
}

GVariant* DBusMenuExporter::layout(const Node& node, int depth, PropertyNames names)
{
    GVariantBuilder children;
    g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
    if (node.submenu && depth != 0) {
        for (const auto& child : node.submenu->items()) {
            auto id = idsByItem_.find(child.get());
            if (!child || id == idsByItem_.end())
                continue;
            const Node childNode { id->second, child.get(), child->treeSubmenu() };
            g_variant_builder_add(&children, "v", layout(childNode, depth < 0 ? -1 : depth - 1, names));
        }
    }
    return g_variant_new("(i@a{sv}av)", node.id, properties(node, names), &children);
}

bool DBusMenuExporter::addClick(PendingClicks& pending, std::int32_t id)
{
    if (!itemForId(id))
        return false;
    // Clicks on one item within one call act once.
    const auto& item = itemsById_[id];
    for (const auto& [clickedId, clicked] : pending.clicks)
        if (clickedId == id)
            return true;
    pending.clicks.emplace_back(id, item);
    return true;
}

// Answers the call, reporting clicks whose item a rebuild has dropped since,
// then carries out the rest. Each call gets its own idle call, so that a
// click made while an earlier action still runs (a modal alert) is carried
// out too.
void DBusMenuExporter::carryOut(PendingClicks& pending)
{
    std::vector<std::shared_ptr<platform::MenuTreeItem>> chosen;
    for (const auto& [id, weakItem] : pending.clicks) {
        auto item = weakItem.lock();
        if (item && itemForId(id) == item.get())
            chosen.push_back(std::move(item));
        else
            pending.idErrors.push_back(id);
    }
    if (pending.isGroup)
        g_dbus_method_invocation_return_value(
            pending.invocation.release(), g_variant_new("(@ai)", intArray(pending.idErrors)));
    else if (!pending.idErrors.empty())
        returnUnknownId(pending.invocation.release(), pending.idErrors.front());
    else
        g_dbus_method_invocation_return_value(pending.invocation.release(), nullptr);
    for (const auto& item : chosen)
        item->choose();
}

void DBusMenuExporter::onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
    GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self)
{
    static const std::pair<std::string_view, Method> methods[] = {
        { "GetLayout", &DBusMenuExporter::getLayout },
        { "GetGroupProperties", &DBusMenuExporter::getGroupProperties },
        { "GetProperty", &DBusMenuExporter::getProperty },
        { "Event", &DBusMenuExporter::event },
        { "EventGroup", &DBusMenuExporter::eventGroup },
        { "AboutToShow", &DBusMenuExporter::aboutToShow },
        { "AboutToShowGroup", &DBusMenuExporter::aboutToShowGroup },
    };
    auto* exporter = static_cast<DBusMenuExporter*>(self);
    for (const auto& [name, handler] : methods) {
        if (name == method)
            return (exporter->*handler)(parameters, invocation);
    }
    g_dbus_method_invocation_return_error(
        invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD, "No method %s", method);
}

void DBusMenuExporter::getLayout(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    std::int32_t parentId;
    std::int32_t depth;
    g_variant_get_child(parameters, 0, "i", &parentId);
    g_variant_get_child(parameters, 1, "i", &depth);
    GVariantPtr names(g_variant_get_child_value(parameters, 2));
    const auto node = findNode(parentId);
    if (!node)
        return returnUnknownId(invocation, parentId);
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(u@(ia{sv}av))", revision_, layout(*node, depth, propertyNames(names.get()))));
}

void DBusMenuExporter::getGroupProperties(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    GVariantPtr ids(g_variant_get_child_value(parameters, 0));
    GVariantPtr names(g_variant_get_child_value(parameters, 1));
    const auto wantedNames = propertyNames(names.get());
    refreshIds();
    // Each known item once, however often it is named: the answer stays the
    // menu's size, whatever the call's.
    std::vector<std::int32_t> wantedIds;
    for (std::int32_t id : idList(ids.get())) {
        if ((id == 0 || itemsById_.contains(id))
            && std::find(wantedIds.begin(), wantedIds.end(), id) == wantedIds.end())
            wantedIds.push_back(id);
    }
    // None named: every item, the root first.
    if (g_variant_n_children(ids.get()) == 0) {
        wantedIds.push_back(0);
        for (const auto& entry : itemsById_)
            wantedIds.push_back(entry.first);
    }
    GVariantBuilder result;
    g_variant_builder_init(&result, G_VARIANT_TYPE("a(ia{sv})"));
    for (std::int32_t id : wantedIds) {
        if (const auto node = findNode(id))
            g_variant_builder_add(&result, "(i@a{sv})", id, properties(*node, wantedNames));
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(ia{sv}))", &result));
}

void DBusMenuExporter::getProperty(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    std::int32_t id;
    const gchar* property;
    g_variant_get(parameters, "(i&s)", &id, &property);
    const auto node = findNode(id);
    if (!node)
        return returnUnknownId(invocation, id);
    auto values = takeVariant(properties(*node, nameBit(property)));
    GVariantPtr value(g_variant_lookup_value(values.get(), property, nullptr));
    if (!value)
        return g_dbus_method_invocation_return_error(
            invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "Menu item %d has no property %s", id, property);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(@v)", g_variant_new_variant(value.get())));
}

void DBusMenuExporter::event(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    std::int32_t id;
    const gchar* eventId;
    g_variant_get(parameters, "(i&svu)", &id, &eventId, nullptr, nullptr);
    if (std::string_view(eventId) != "clicked") {
        if (!findNode(id))
            return returnUnknownId(invocation, id);
        return g_dbus_method_invocation_return_value(invocation, nullptr);
    }
    auto pending = std::make_shared<PendingClicks>();
    if (!addClick(*pending, id))
        return returnUnknownId(invocation, id);
    // The handler's reference: answering later gives it up, as answering now would.
    pending->invocation.reset(invocation);
    pending->isGroup = false;
    std::erase_if(clicks_, [](const ScheduledCall& call) { return !call.isPending(); });
    clicks_.push_back(ScheduledCall::idle([this, pending] { carryOut(*pending); }, G_PRIORITY_DEFAULT));
}

void DBusMenuExporter::eventGroup(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    GVariantPtr events(g_variant_get_child_value(parameters, 0));
    const gsize count = g_variant_n_children(events.get());
    if (count > maximumGroupEvents) {
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_LIMITS_EXCEEDED,
            "%zu events in one group; at most %zu are taken", static_cast<std::size_t>(count), maximumGroupEvents);
        return;
    }
    auto pending = std::make_shared<PendingClicks>();
    pending->isGroup = true;
    for (gsize i = 0; i < count; ++i) {
        std::int32_t id;
        const gchar* eventId;
        g_variant_get_child(events.get(), i, "(i&svu)", &id, &eventId, nullptr, nullptr);
        const bool isKnown = std::string_view(eventId) == "clicked" ? addClick(*pending, id) : findNode(id).has_value();
        if (!isKnown)
            pending->idErrors.push_back(id);
    }
    pending->invocation.reset(invocation);
    std::erase_if(clicks_, [](const ScheduledCall& call) { return !call.isPending(); });
    clicks_.push_back(ScheduledCall::idle([this, pending] { carryOut(*pending); }, G_PRIORITY_DEFAULT));
}

// The menu is redrawn when settings change, never when it opens.
void DBusMenuExporter::aboutToShow(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    std::int32_t id;
    g_variant_get(parameters, "(i)", &id);
    if (!findNode(id))
        return returnUnknownId(invocation, id);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
}

void DBusMenuExporter::aboutToShowGroup(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    GVariantPtr ids(g_variant_get_child_value(parameters, 0));
    std::vector<std::int32_t> errors;
    for (std::int32_t id : idList(ids.get())) {
        if (!findNode(id))
            errors.push_back(id);
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(@ai@ai)", intArray({}), intArray(errors)));
}

GVariant* DBusMenuExporter::onGetProperty(
    GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property, GError** error, gpointer)
{
    const std::string name = property;
    if (name == "Version")
        return g_variant_new_uint32(protocolVersion);
    if (name == "TextDirection")
        return g_variant_new_string("ltr");
    if (name == "Status")
        return g_variant_new_string("normal");
    if (name == "IconThemePath")
        return g_variant_new_strv(nullptr, 0);
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", property);
    return nullptr;
}

} // namespace lullswitch::linux_backend
