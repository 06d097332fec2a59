#pragma once

#include "platform/StatusBar.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lullswitch::platform {

class MenuTreeMenu;

// Plain in-memory menus, items and status items, for backends that draw the
// tree themselves (the Linux tray) and for tests. Each object may be given a
// change callback, run after every change to it. A tree is made of its own
// objects only: a status bar hands out nothing else, so the menus and items
// it is given back are its own.
class MenuTreeItem : public MenuItem, public std::enable_shared_from_this<MenuTreeItem> {
public:
    MenuTreeItem(std::string title, std::optional<MenuAction> action, std::string keyEquivalent,
        std::function<void()> onChange = {});
    static std::shared_ptr<MenuTreeItem> separator(std::function<void()> onChange = {});

    void setTarget(MenuTarget* target) override;
    void setEnabled(bool enabled) override;
    void setState(ControlState state) override;
    void setRepresentedObject(RepresentedObject object) override;
    RepresentedObject representedObject() const override { return representedObject_; }
    void setSubmenu(std::shared_ptr<Menu> submenu) override;

    bool isSeparator() const { return isSeparator_; }
    const std::string& title() const { return title_; }
    std::optional<MenuAction> action() const { return action_; }
    const std::string& keyEquivalent() const { return keyEquivalent_; }
    MenuTarget* target() const { return target_; }
    bool isEnabled() const { return isEnabled_; }
    ControlState state() const { return state_; }
    // A desktop menu draws an item that was ever given a state as a check
    // item, even while it is off.
    bool hasState() const { return hasState_; }
    MenuTreeMenu* treeSubmenu() const { return submenu_.get(); }

    // What the platform does when the user chooses the item: an enabled item
    // with a target and an action calls that action on the target. Returns
    // whether it did.
    bool choose();

private:
    void changed() const;

    std::string title_;
    std::optional<MenuAction> action_;
    std::string keyEquivalent_;
    bool isSeparator_ = false;
    MenuTarget* target_ = nullptr;
    bool isEnabled_ = true;
    ControlState state_ = ControlState::off;
    bool hasState_ = false;
    RepresentedObject representedObject_;
    std::shared_ptr<MenuTreeMenu> submenu_;
    std::function<void()> onChange_;
};

class MenuTreeMenu : public Menu {
public:
    explicit MenuTreeMenu(std::function<void()> onChange = {}) : onChange_(std::move(onChange)) { }

    void removeAllItems() override;
    void addItem(std::shared_ptr<MenuItem> item) override;

    const std::vector<std::shared_ptr<MenuTreeItem>>& items() const { return items_; }

private:
    std::vector<std::shared_ptr<MenuTreeItem>> items_;
    std::function<void()> onChange_;
};

class MenuTreeStatusItem : public StatusItem, private StatusBarButton {
public:
    MenuTreeStatusItem(bool hasButton, std::function<void()> onChange = {});

    void setMenu(std::shared_ptr<Menu> menu) override;
    StatusBarButton* button() override;

    std::shared_ptr<Menu> menu() const;
    MenuTreeMenu* treeMenu() const { return menu_.get(); }
    const std::shared_ptr<MenuTreeMenu>& sharedTreeMenu() const { return menu_; }
    const std::string& title() const { return title_; }
    const std::string& toolTip() const { return toolTip_; }

private:
    void setTitle(std::string_view title) override;
    void setToolTip(std::string_view toolTip) override;
    void changed() const;

    bool hasButton_;
    std::string title_;
    std::string toolTip_;
    std::shared_ptr<MenuTreeMenu> menu_;
    std::function<void()> onChange_;
};

} // namespace lullswitch::platform
