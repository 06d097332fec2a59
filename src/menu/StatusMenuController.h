#pragma once

#include "platform/StatusBar.h"

#include <functional>
#include <memory>

namespace lullswitch {

// The status item and its menu: draws the current settings and turns each
// choice into one of five callbacks. Writes no setting, calls no component.
class StatusMenuController final : public platform::MenuTarget {
public:
    using Callback = std::function<void()>;
    using DelayCallback = std::function<void(double)>;

    // The delay choices, in menu order.
    static constexpr double delayChoices[] = { 1.0, 2.0, 3.0, 5.0 };

    // There is no controller without its five callbacks.
    StatusMenuController() = delete;
    StatusMenuController(
        Callback onToggleEnabled, DelayCallback onSetDelay, Callback onSwitchNow, Callback onAbout, Callback onQuit);
    // Menu items name it as their target by address.
    StatusMenuController(const StatusMenuController&) = delete;
    StatusMenuController& operator=(const StatusMenuController&) = delete;

    // Redraws the title and every entry from the current settings. May be
    // called from inside an action.
    void rebuildMenu();

    void toggleEnabled();
    void selectDelay(platform::MenuItem& sender);
    void switchNow();
    void about();
    void quit();

    void perform(platform::MenuAction action, platform::MenuItem& sender) override;

private:
    std::shared_ptr<platform::MenuItem> addItem(
        std::string_view title, std::optional<platform::MenuAction> action, std::string_view keyEquivalent = "");

    std::unique_ptr<platform::StatusItem> statusItem_;
    std::shared_ptr<platform::Menu> menu_;
    Callback onToggleEnabled_;
    DelayCallback onSetDelay_;
    Callback onSwitchNow_;
    Callback onAbout_;
    Callback onQuit_;
};

} // namespace lullswitch
