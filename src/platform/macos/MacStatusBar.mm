#include "platform/macos/MacStatusBar.h"

#include "platform/macos/MacStrings.h"

#import <AppKit/AppKit.h>
#import <objc/runtime.h>

#include <cstdio>
#include <unordered_map>
#include <vector>

using lullswitch::platform::MenuAction;
using lullswitch::platform::MenuItem;
using lullswitch::platform::MenuTarget;

// Ties a menu item to the C++ item wrapping it, so that a chosen item reaches
// the core as that wrapper. Attached to the Objective-C item as an associated
// object and holding the wrapper weakly: the wrapper owns the Objective-C
// item, never the reverse, and a copy AppKit may make of an item carries no
// link.
@interface LullswitchMenuItemLink : NSObject
- (instancetype)initWithWrapper:(std::weak_ptr<MenuItem>)wrapper NS_DESIGNATED_INITIALIZER;
- (instancetype)init NS_UNAVAILABLE;
- (std::shared_ptr<MenuItem>)wrapper;
@end

@implementation LullswitchMenuItemLink {
    std::weak_ptr<MenuItem> _wrapper;
}

- (instancetype)initWithWrapper:(std::weak_ptr<MenuItem>)wrapper
{
    self = [super init];
    if (self)
        _wrapper = std::move(wrapper);
    return self;
}

- (std::shared_ptr<MenuItem>)wrapper
{
    return _wrapper.lock();
}

@end

namespace {

// Only its address is used, as the association key.
char menuItemLinkKey;

void linkMenuItem(NSMenuItem *item, std::weak_ptr<MenuItem> wrapper)
{
    objc_setAssociatedObject(item, &menuItemLinkKey,
        [[LullswitchMenuItemLink alloc] initWithWrapper:std::move(wrapper)], OBJC_ASSOCIATION_RETAIN_NONATOMIC);
}

std::shared_ptr<MenuItem> linkedWrapper(id sender)
{
    if (![sender isKindOfClass:[NSMenuItem class]])
        return nullptr;
    LullswitchMenuItemLink *link = objc_getAssociatedObject(sender, &menuItemLinkKey);
    return link ? [link wrapper] : nullptr;
}

} // namespace

// The status menu controller as AppKit sees it: the target of its menu items,
// whose actions forward to the C++ controller with the chosen item.
@interface LullswitchStatusMenuController : NSObject
- (instancetype)initWithTarget:(MenuTarget *)target NS_DESIGNATED_INITIALIZER;
- (instancetype)init NS_UNAVAILABLE;
- (void)toggleEnabled:(id)sender;
- (void)selectDelay:(id)sender;
- (void)switchNow:(id)sender;
- (void)about:(id)sender;
- (void)quit:(id)sender;
@end

@implementation LullswitchStatusMenuController {
    MenuTarget *_target;
}

- (instancetype)initWithTarget:(MenuTarget *)target
{
    self = [super init];
    if (self)
        _target = target;
    return self;
}

// There is no controller without its callbacks.
- (instancetype)init
{
    std::fputs(
        "Fatal error: Use of unimplemented initializer 'init()' for class 'Lullswitch.StatusMenuController'\n", stderr);
    __builtin_trap();
}

- (void)forwardAction:(MenuAction)action sender:(id)sender
{
    // Held for the whole action: it may rebuild the menu that holds the item.
    const auto item = linkedWrapper(sender);
    if (item)
        _target->perform(action, *item);
}

- (void)toggleEnabled:(id)sender
{
    [self forwardAction:MenuAction::toggleEnabled sender:sender];
}

- (void)selectDelay:(id)sender
{
    [self forwardAction:MenuAction::selectDelay sender:sender];
}

- (void)switchNow:(id)sender
{
    [self forwardAction:MenuAction::switchNow sender:sender];
}

- (void)about:(id)sender
{
    [self forwardAction:MenuAction::about sender:sender];
}

- (void)quit:(id)sender
{
    [self forwardAction:MenuAction::quit sender:sender];
}

@end

namespace lullswitch::macos_backend {

// One Objective-C face per C++ target, kept while the status bar or any of
// its items lives.
struct MacStatusBar::Targets {
    LullswitchStatusMenuController *objectFor(MenuTarget *target)
    {
        auto &object = objects[target];
        if (!object)
            object = [[LullswitchStatusMenuController alloc] initWithTarget:target];
        return object;
    }

    std::unordered_map<MenuTarget *, LullswitchStatusMenuController *> objects;
};

} // namespace lullswitch::macos_backend

namespace {

using namespace lullswitch::platform;
using namespace lullswitch::macos_backend;

SEL selectorFor(MenuAction action)
{
    switch (action) {
    case MenuAction::toggleEnabled:
        return @selector(toggleEnabled:);
    case MenuAction::selectDelay:
        return @selector(selectDelay:);
    case MenuAction::switchNow:
        return @selector(switchNow:);
    case MenuAction::about:
        return @selector(about:);
    case MenuAction::quit:
        return @selector(quit:);
    }
    return nullptr;
}

class MacMenu final : public Menu {
public:
    void removeAllItems() override;
    void addItem(std::shared_ptr<MenuItem> item) override;

    NSMenu *nsMenu() const { return menu_; }

private:
    NSMenu *menu_ = [[NSMenu alloc] init];
    // The wrappers live as long as their items are in the menu, so a chosen
    // item still finds its wrapper.
    std::vector<std::shared_ptr<MenuItem>> items_;
};

class MacMenuItem final : public MenuItem {
public:
    MacMenuItem(NSMenuItem *item, std::shared_ptr<MacStatusBar::Targets> targets)
        : item_(item)
        , targets_(std::move(targets))
    {
    }

    void setTarget(MenuTarget *target) override { item_.target = target ? targets_->objectFor(target) : nil; }
    void setEnabled(bool enabled) override { item_.enabled = enabled; }

    void setState(ControlState state) override
    {
        item_.state = state == ControlState::on ? NSControlStateValueOn : NSControlStateValueOff;
    }

    void setRepresentedObject(RepresentedObject object) override
    {
        if (const double *number = std::get_if<double>(&object))
            item_.representedObject = [NSNumber numberWithDouble:*number];
        else if (std::holds_alternative<OtherObject>(object))
            item_.representedObject = [[NSObject alloc] init];
        else
            item_.representedObject = nil;
    }

    RepresentedObject representedObject() const override
    {
        id object = item_.representedObject;
        if (!object)
            return std::monostate {};
        if ([object isKindOfClass:[NSNumber class]])
            return [static_cast<NSNumber *>(object) doubleValue];
        return OtherObject {};
    }

    void setSubmenu(std::shared_ptr<Menu> submenu) override
    {
        const auto *menu = dynamic_cast<const MacMenu *>(submenu.get());
        item_.submenu = menu ? menu->nsMenu() : nil;
        // The submenu's wrappers must outlive its items' choices.
        submenu_ = std::move(submenu);
    }

    NSMenuItem *nsMenuItem() const { return item_; }

private:
    NSMenuItem *item_;
    std::shared_ptr<MacStatusBar::Targets> targets_;
    std::shared_ptr<Menu> submenu_;
};

void MacMenu::removeAllItems()
{
    [menu_ removeAllItems];
    items_.clear();
}

void MacMenu::addItem(std::shared_ptr<MenuItem> item)
{
    const auto *macItem = dynamic_cast<const MacMenuItem *>(item.get());
    if (!macItem)
        return;
    [menu_ addItem:macItem->nsMenuItem()];
    items_.push_back(std::move(item));
}

class MacStatusItem final : public StatusItem, private StatusBarButton {
public:
    explicit MacStatusItem(NSStatusItem *item)
        : item_(item)
    {
    }

    void setMenu(std::shared_ptr<Menu> menu) override
    {
        const auto *macMenu = dynamic_cast<const MacMenu *>(menu.get());
        item_.menu = macMenu ? macMenu->nsMenu() : nil;
        menu_ = std::move(menu);
    }

    StatusBarButton *button() override { return item_.button ? this : nullptr; }

private:
    void setTitle(std::string_view title) override { item_.button.title = makeNSString(title); }
    void setToolTip(std::string_view toolTip) override { item_.button.toolTip = makeNSString(toolTip); }

    // Shown while held: AppKit removes the item when this reference goes.
    NSStatusItem *item_;
    std::shared_ptr<Menu> menu_;
};

} // namespace

namespace lullswitch::macos_backend {

MacStatusBar::MacStatusBar()
    : targets_(std::make_shared<Targets>())
{
}

MacStatusBar::~MacStatusBar() = default;

std::unique_ptr<StatusItem> MacStatusBar::statusItemWithLength(double length)
{
    NSStatusItem *item = [[NSStatusBar systemStatusBar] statusItemWithLength:static_cast<CGFloat>(length)];
    return std::make_unique<MacStatusItem>(item);
}

std::shared_ptr<Menu> MacStatusBar::createMenu() { return std::make_shared<MacMenu>(); }

std::shared_ptr<MenuItem> MacStatusBar::createMenuItem(
    std::string_view title, std::optional<MenuAction> action, std::string_view keyEquivalent)
{
    NSMenuItem *item = [[NSMenuItem alloc] initWithTitle:makeNSString(title)
                                                  action:action ? selectorFor(*action) : nullptr
                                           keyEquivalent:makeNSString(keyEquivalent)];
    auto wrapper = std::make_shared<MacMenuItem>(item, targets_);
    linkMenuItem(item, wrapper);
    return wrapper;
}

std::shared_ptr<MenuItem> MacStatusBar::createSeparatorItem()
{
    return std::make_shared<MacMenuItem>([NSMenuItem separatorItem], targets_);
}

} // namespace lullswitch::macos_backend
