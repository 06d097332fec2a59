#pragma once

#include "platform/StatusBar.h"

#include <memory>

namespace lullswitch::macos_backend {

// The system status bar, NSMenu and NSMenuItem. A chosen item reaches its C++
// target through an Objective-C target object that this status bar keeps for
// as long as it lives (AppKit holds menu item targets weakly).
class MacStatusBar final : public platform::StatusBar {
public:
    MacStatusBar();
    ~MacStatusBar() override;
    MacStatusBar(const MacStatusBar&) = delete;
    MacStatusBar& operator=(const MacStatusBar&) = delete;

    std::unique_ptr<platform::StatusItem> statusItemWithLength(double length) override;
    std::shared_ptr<platform::Menu> createMenu() override;
    std::shared_ptr<platform::MenuItem> createMenuItem(
        std::string_view title, std::optional<platform::MenuAction> action, std::string_view keyEquivalent) override;
    std::shared_ptr<platform::MenuItem> createSeparatorItem() override;

    // The Objective-C targets, shared with the items that name them.
    struct Targets;

private:
    std::shared_ptr<Targets> targets_;
};

} // namespace lullswitch::macos_backend
