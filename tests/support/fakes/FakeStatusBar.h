#pragma once

#include "platform/common/MenuTree.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace lullswitch::fakes {

// Keeps the status items and their menu trees so a test can read what a
// person would see and choose an item.
class FakeStatusBar final : public platform::StatusBar {
public:
    explicit FakeStatusBar(std::vector<std::string>& log) : log_(log) { }

    std::unique_ptr<platform::StatusItem> statusItemWithLength(double length) override
    {
        lastLength_ = length;
        log_.push_back("status item created");
        auto item = std::make_unique<TrackedStatusItem>(items_, givesButtons_);
        items_.push_back(item.get());
        return item;
    }
    std::shared_ptr<platform::Menu> createMenu() override { return std::make_shared<platform::MenuTreeMenu>(); }
    std::shared_ptr<platform::MenuItem> createMenuItem(
        std::string_view title, std::optional<platform::MenuAction> action, std::string_view keyEquivalent) override
    {
        return std::make_shared<platform::MenuTreeItem>(std::string(title), action, std::string(keyEquivalent));
    }
    std::shared_ptr<platform::MenuItem> createSeparatorItem() override { return platform::MenuTreeItem::separator(); }

    // The next status item comes without a button.
    void setGivesButtons(bool givesButtons) { givesButtons_ = givesButtons; }
    // The most recent status item still held; throws when there is none.
    platform::MenuTreeStatusItem& statusItem() const { return *items_.at(items_.size() - 1); }
    double lastLength() const { return lastLength_; }
    int statusItemCount() const { return static_cast<int>(items_.size()); }
    platform::MenuTreeMenu& menu() const
    {
        if (auto* menu = statusItem().treeMenu())
            return *menu;
        throw std::logic_error("no menu");
    }
    // The item with this title in the menu or a submenu; throws when there is
    // none.
    platform::MenuTreeItem& item(std::string_view title) const
    {
        auto items = menu().items();
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i]->title() == title)
                return *items[i];
            if (auto* submenu = items[i]->treeSubmenu())
                items.insert(items.end(), submenu->items().begin(), submenu->items().end());
        }
        throw std::logic_error("no menu item titled " + std::string(title));
    }
    // Chooses it as a person would; returns whether an action ran.
    bool choose(std::string_view title) const { return item(title).choose(); }

private:
    struct TrackedStatusItem final : platform::MenuTreeStatusItem {
        TrackedStatusItem(std::vector<platform::MenuTreeStatusItem*>& all, bool hasButton)
            : MenuTreeStatusItem(hasButton), items(all)
        {
        }
        ~TrackedStatusItem() override { std::erase(items, this); }
        std::vector<platform::MenuTreeStatusItem*>& items;
    };
    std::vector<std::string>& log_;
    bool givesButtons_ = true;
    double lastLength_ = 0.0;
    std::vector<platform::MenuTreeStatusItem*> items_;
};

} // namespace lullswitch::fakes
