#include "platform/common/MenuTree.h"

namespace lullswitch::platform {

MenuTreeItem::MenuTreeItem(
    std::string title, std::optional<MenuAction> action, std::string keyEquivalent, std::function<void()> onChange)
    : title_(std::move(title)),
      action_(action),
      keyEquivalent_(std::move(keyEquivalent)),
      onChange_(std::move(onChange))
{
}

std::shared_ptr<MenuTreeItem> MenuTreeItem::separator(std::function<void()> onChange)
{
    auto item = std::make_shared<MenuTreeItem>("", std::nullopt, "", std::move(onChange));
    item->isSeparator_ = true;
    return item;
}

void MenuTreeItem::changed() const
{
    if (onChange_)
        onChange_();
}

void MenuTreeItem::setTarget(MenuTarget* target)
{
    target_ = target;
    changed();
}

void MenuTreeItem::setEnabled(bool enabled)
{
    isEnabled_ = enabled;
    changed();
}

void MenuTreeItem::setState(ControlState state)
{
    state_ = state;
    hasState_ = true;
    changed();
}

void MenuTreeItem::setRepresentedObject(RepresentedObject object)
{
    representedObject_ = std::move(object);
    changed();
}

void MenuTreeItem::setSubmenu(std::shared_ptr<Menu> submenu)
{
    submenu_ = std::static_pointer_cast<MenuTreeMenu>(std::move(submenu));
    changed();
}

bool MenuTreeItem::choose()
{
    if (isSeparator_ || !isEnabled_ || !target_ || !action_)
        return false;
    // The action may rebuild the menu that holds this item.
    auto keepAlive = weak_from_this().lock();
    target_->perform(*action_, *this);
    return true;
}

void MenuTreeMenu::removeAllItems()
{
    items_.clear();
    if (onChange_)
        onChange_();
}

void MenuTreeMenu::addItem(std::shared_ptr<MenuItem> item)
{
    items_.push_back(std::static_pointer_cast<MenuTreeItem>(std::move(item)));
    if (onChange_)
        onChange_();
}

MenuTreeStatusItem::MenuTreeStatusItem(bool hasButton, std::function<void()> onChange)
    : hasButton_(hasButton), onChange_(std::move(onChange))
{
}

void MenuTreeStatusItem::setMenu(std::shared_ptr<Menu> menu)
{
    menu_ = std::static_pointer_cast<MenuTreeMenu>(std::move(menu));
    changed();
}

std::shared_ptr<Menu> MenuTreeStatusItem::menu() const
{
    return menu_;
}

StatusBarButton* MenuTreeStatusItem::button()
{
    return hasButton_ ? this : nullptr;
}

void MenuTreeStatusItem::setTitle(std::string_view title)
{
    title_ = title;
    changed();
}

void MenuTreeStatusItem::setToolTip(std::string_view toolTip)
{
    toolTip_ = toolTip;
    changed();
}

void MenuTreeStatusItem::changed() const
{
    if (onChange_)
        onChange_();
}

} // namespace lullswitch::platform
