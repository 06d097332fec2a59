#include "fakes/FakeStatusBar.h"

#include <algorithm>
#include <stdexcept>

namespace lullswitch::fakes {

using platform::MenuTreeItem;
using platform::MenuTreeMenu;

platform::MenuTreeStatusItem* FakeStatusBar::statusItem() const
{
    return items_.empty() ? nullptr : items_.back();
}

MenuTreeMenu& FakeStatusBar::menu() const
{
    if (auto* menu = statusItem() ? statusItem()->treeMenu() : nullptr)
        return *menu;
    throw std::logic_error("no status item with a menu");
}

namespace {
MenuTreeItem* find(const MenuTreeMenu& menu, std::string_view title)
{
    for (std::size_t i = 0; i < menu.items().size(); ++i) {
        auto* item = menu.itemAt(i);
        if (item && !item->isSeparator() && item->title() == title)
            return item;
        if (auto* found = item && item->treeSubmenu() ? find(*item->treeSubmenu(), title) : nullptr)
            return found;
    }
    return nullptr;
}
} // namespace

MenuTreeItem& FakeStatusBar::item(std::string_view title) const
{
    if (auto* found = find(menu(), title))
        return *found;
    throw std::logic_error("no menu item titled " + std::string(title));
}

} // namespace lullswitch::fakes
