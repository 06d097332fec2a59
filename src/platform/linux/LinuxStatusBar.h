#pragma once

#include "platform/StatusBar.h"

#include <gio/gio.h>

#include <functional>
#include <memory>

namespace lullswitch::linux_backend {

class DBusMenuExporter;

// The desktop's tray as a status bar of one status item: a StatusNotifierItem
// with its menu served over dbusmenu, on the given session-bus connection.
class LinuxStatusBar final : public platform::StatusBar {
public:
    explicit LinuxStatusBar(GDBusConnection* connection);
    LinuxStatusBar(const LinuxStatusBar&) = delete;
    LinuxStatusBar& operator=(const LinuxStatusBar&) = delete;
    ~LinuxStatusBar() override;

    // The one item; asking for a second is a programming error.
    std::unique_ptr<platform::StatusItem> statusItemWithLength(double length) override;
    std::shared_ptr<platform::Menu> createMenu() override;
    std::shared_ptr<platform::MenuItem> createMenuItem(
        std::string_view title, std::optional<platform::MenuAction> action, std::string_view keyEquivalent) override;
    std::shared_ptr<platform::MenuItem> createSeparatorItem() override;

private:
    std::function<void()> changeCallback() const;

    GDBusConnection* connection_;
    // Menus and items may outlive the bar and its item, so they hold the
    // export weakly.
    std::shared_ptr<DBusMenuExporter> menuExporter_;
    bool hasItem_ = false;
};

} // namespace lullswitch::linux_backend
