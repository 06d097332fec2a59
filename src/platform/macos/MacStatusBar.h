#pragma once

#include "platform/StatusBar.h"

#include <memory>

namespace lullswitch::platform::macos {

// The system status bar, NSMenu and NSMenuItem. A chosen item reaches its C++
// target through an Objective-C target object that this status bar keeps for
// as long as it lives (AppKit holds menu item targets weakly).
class MacStatusBar final : public StatusBar {
public:
    MacStatusBar();
    ~MacStatusBar() override;
    MacStatusBar(const MacStatusBar&) = delete;
    MacStatusBar& operator=(const MacStatusBar&) = delete;

    std::unique_ptr<StatusItem> statusItemWithLength(double length) override;
    std::shared_ptr<Menu> createMenu() override;
    std::shared_ptr<MenuItem> createMenuItem(
        std::string_view title, std::optional<MenuAction> action, std::string_view keyEquivalent) override;
    std::shared_ptr<MenuItem> createSeparatorItem() override;

    // The Objective-C targets, shared with the items that name them.
    struct Targets;

private:
    std::shared_ptr<Targets> targets_;
};

} // namespace lullswitch::platform::macos
