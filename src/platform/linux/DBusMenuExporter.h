#pragma once

#include "platform/common/MenuTree.h"
#include "platform/linux/GLibRegistrations.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace lullswitch::linux_backend {

// Serves a menu tree over com.canonical.dbusmenu, the menu protocol of
// StatusNotifierItem hosts. Item ids are handed out per item object and never
// reused, so an event for an item that a rebuild has dropped finds nothing.
// Every change within one main-loop iteration reaches hosts as one
// LayoutUpdated. A click is answered at once and carried out from an idle
// call, because the action may run a modal alert or rebuild this very menu.
class DBusMenuExporter {
public:
    static constexpr std::uint32_t protocolVersion = 3;
    // More events than a person could make in one group are refused whole.
    static constexpr std::size_t maximumGroupEvents = 64;

    DBusMenuExporter(GDBusConnection* connection, std::string objectPath);
    DBusMenuExporter(const DBusMenuExporter&) = delete;
    DBusMenuExporter& operator=(const DBusMenuExporter&) = delete;
    ~DBusMenuExporter();

    const std::string& objectPath() const { return objectPath_; }

    void setRootMenu(std::shared_ptr<platform::MenuTreeMenu> menu);
    // Something in the tree changed.
    void menuChanged();

    // The item a host knows by `id` (0 is the root, which has none).
    platform::MenuTreeItem* itemForId(std::int32_t id);

private:
    struct Node {
        std::int32_t id;
        platform::MenuTreeItem* item; // null for the root
        platform::MenuTreeMenu* submenu;
    };
    // The clicks of one Event or EventGroup call, answered once the idle call
    // has checked that their items are still in the menu.
    struct PendingClicks {
        GObjectPtr<GDBusMethodInvocation> invocation;
        bool isGroup;
        std::vector<std::pair<std::int32_t, std::weak_ptr<platform::MenuTreeItem>>> clicks;
        std::vector<std::int32_t> idErrors;
    };
    using Method = void (DBusMenuExporter::*)(GVariant* parameters, GDBusMethodInvocation* invocation);

    static void onMethodCall(GDBusConnection*, const gchar* sender, const gchar* path, const gchar* interface,
        const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self);
    static GVariant* onGetProperty(GDBusConnection*, const gchar* sender, const gchar* path, const gchar* interface,
        const gchar* property, GError** error, gpointer self);

    void getLayout(GVariant* parameters, GDBusMethodInvocation* invocation);
    void getGroupProperties(GVariant* parameters, GDBusMethodInvocation* invocation);
    void getProperty(GVariant* parameters, GDBusMethodInvocation* invocation);
    void event(GVariant* parameters, GDBusMethodInvocation* invocation);
    void eventGroup(GVariant* parameters, GDBusMethodInvocation* invocation);
    void aboutToShow(GVariant* parameters, GDBusMethodInvocation* invocation);
    void aboutToShowGroup(GVariant* parameters, GDBusMethodInvocation* invocation);

    void refreshIds();
    // The node a host knows by `id` (0 is the root); nothing when no item has it.
    std::optional<Node> findNode(std::int32_t id);
    // The property names a host asked for, as a set of the names items have:
    // a list of any length costs one pass and no copy.
    using PropertyNames = std::uint32_t;
    GVariant* layout(const Node& node, int depth, PropertyNames names);
    GVariant* properties(const Node& node, PropertyNames names);
    // Adds a click on `id` to `pending` once; false when the id names no item.
    bool addClick(PendingClicks& pending, std::int32_t id);
    void carryOut(PendingClicks& pending);
    void emitLayoutUpdated();

    GObjectPtr<GDBusConnection> connection_;
    std::string objectPath_;
    GDBusNodeInfoPtr interfaceInfo_;
    std::shared_ptr<platform::MenuTreeMenu> root_;
    std::map<std::int32_t, std::weak_ptr<platform::MenuTreeItem>> itemsById_;
    std::unordered_map<const platform::MenuTreeItem*, std::int32_t> idsByItem_;
    std::int32_t nextId_ = 1;
    std::uint32_t revision_ = 1;
    bool idsAreStale_ = true;
    ScheduledCall layoutUpdate_;
    std::vector<ScheduledCall> clicks_;
    ObjectRegistration registration_;
};

} // namespace lullswitch::linux_backend
