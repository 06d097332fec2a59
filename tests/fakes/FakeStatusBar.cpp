#include "fakes/FakeStatusBar.h"

#include <algorithm>
#include <stdexcept>

namespace lullswitch::fakes {

using platform::MenuTreeItem;
using platform::MenuTreeMenu;

class FakeStatusBar::TrackedStatusItem final : public platform::MenuTreeStatusItem {
public:
    TrackedStatusItem(FakeStatusBar& bar, bool hasButton) : MenuTreeStatusItem(hasButton), bar_(bar) { }
    ~TrackedStatusItem() override { std::erase(bar_.items_, this); }

private:
    FakeStatusBar& bar_;
};

std::unique_ptr<platform::StatusItem> FakeStatusBar::statusItemWithLength(double length)
{
    lastLength_ = length;
    if (log_)
        log_->push_back("status item created");
    auto item = std::make_unique<TrackedStatusItem>(*this, givesButtons_);
    items_.push_back(item.get());
    return item;
}

std::shared_ptr<platform::Menu> FakeStatusBar::createMenu()
{
    if (log_)
        log_->push_back("menu created");
    return std::make_shared<MenuTreeMenu>();
}

std::shared_ptr<platform::MenuItem> FakeStatusBar::createMenuItem(
    std::string_view title, std::optional<platform::MenuAction> action, std::string_view keyEquivalent)
{
    return std::make_shared<MenuTreeItem>(std::string(title), action, std::string(keyEquivalent));
}

std::shared_ptr<platform::MenuItem> FakeStatusBar::createSeparatorItem()
{
    return MenuTreeItem::separator();
}

platform::MenuTreeStatusItem* FakeStatusBar::statusItem() const
{
    return items_.empty() ? nullptr : items_.back();
}

MenuTreeMenu& FakeStatusBar::menu() const
{
    auto* item = statusItem();
    auto* menu = item ? item->treeMenu() : nullptr;
    if (!menu)
        throw std::logic_error("no status item with a menu");
    return *menu;
}

namespace {

MenuTreeItem* find(const MenuTreeMenu& menu, std::string_view title)
{
    for (std::size_t i = 0; i < menu.items().size(); ++i) {
        auto* item = menu.itemAt(i);
        if (!item)
            continue;
        if (!item->isSeparator() && item->title() == title)
            return item;
        if (auto* submenu = item->treeSubmenu()) {
            if (auto* found = find(*submenu, title))
                return found;
        }
    }
    return nullptr;
}

} // namespace

MenuTreeItem& FakeStatusBar::item(std::string_view title) const
{
    auto* found = find(menu(), title);
    if (!found)
        throw std::logic_error("no menu item titled " + std::string(title));
    return *found;
}

bool FakeStatusBar::choose(std::string_view title) const
{
    return item(title).choose();
}

} // namespace lullswitch::fakes
