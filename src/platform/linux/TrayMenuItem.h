#pragma once

#include "platform/common/MenuTree.h"

namespace lullswitch::linux_backend {

// A menu item of the tray menu. It remembers whether it was ever given a state,
// because a desktop menu draws an item with a state as a check item even while
// it is off, and one without a state as a plain item.
class TrayMenuItem final : public platform::MenuTreeItem {
public:
    using MenuTreeItem::MenuTreeItem;

    void setState(platform::ControlState state) override
    {
        hasState_ = true;
        MenuTreeItem::setState(state);
    }
    bool hasState() const { return hasState_; }

private:
    bool hasState_ = false;
};

} // namespace lullswitch::linux_backend
