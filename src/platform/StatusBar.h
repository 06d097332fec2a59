#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace lullswitch::platform {

class MenuItem;

// The actions a menu item can name. The backend calls them on the item's
// target, on the main thread, with the chosen item as sender.
enum class MenuAction { toggleEnabled, selectDelay, switchNow, about, quit };

class MenuTarget {
public:
    virtual void perform(MenuAction action, MenuItem& sender) = 0;

protected:
    ~MenuTarget() = default;
};

// A menu item's represented object: none, a number holding a double, or some
// other object.
struct OtherObject {
    bool operator==(const OtherObject&) const = default;
};
using RepresentedObject = std::variant<std::monostate, double, OtherObject>;

enum class ControlState { off = 0, on = 1 };

class Menu;

class MenuItem {
public:
    virtual ~MenuItem() = default;

    // The target is not owned, as with AppKit's weak target.
    virtual void setTarget(MenuTarget* target) = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual void setState(ControlState state) = 0;
    virtual void setRepresentedObject(RepresentedObject object) = 0;
    virtual RepresentedObject representedObject() const = 0;
    virtual void setSubmenu(std::shared_ptr<Menu> submenu) = 0;
};

class Menu {
public:
    virtual ~Menu() = default;
    virtual void removeAllItems() = 0;
    // Appends at the bottom; the menu keeps the item.
    virtual void addItem(std::shared_ptr<MenuItem> item) = 0;
};

class StatusBarButton {
public:
    virtual ~StatusBarButton() = default;
    virtual void setTitle(std::string_view title) = 0;
    virtual void setToolTip(std::string_view toolTip) = 0;
};

// Shown in the status bar while it is held.
class StatusItem {
public:
    virtual ~StatusItem() = default;
    // Clicking the item opens this menu.
    virtual void setMenu(std::shared_ptr<Menu> menu) = 0;
    // The item's button, or none.
    virtual StatusBarButton* button() = 0;
};

inline constexpr double variableStatusItemLength = -1.0;

class StatusBar {
public:
    virtual ~StatusBar() = default;
    virtual std::unique_ptr<StatusItem> statusItemWithLength(double length) = 0;
    virtual std::shared_ptr<Menu> createMenu() = 0;
    // `action` none: an item that does nothing when chosen. Key "" for none.
    virtual std::shared_ptr<MenuItem> createMenuItem(
        std::string_view title, std::optional<MenuAction> action, std::string_view keyEquivalent)
        = 0;
    virtual std::shared_ptr<MenuItem> createSeparatorItem() = 0;
};

} // namespace lullswitch::platform
