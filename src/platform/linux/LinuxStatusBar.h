#pragma once

#include "platform/StatusBar.h"

#include <gio/gio.h>

#include <functional>
#include <memory>
#include <set>

namespace lullswitch::linux_backend {

class DBusMenuExporter;

// The desktop's tray as a status bar: each status item is a
// StatusNotifierItem with its menu served over dbusmenu, on the given
// session-bus connection.
class LinuxStatusBar final : public platform::StatusBar {
public:
    explicit LinuxStatusBar(GDBusConnection* connection);
    LinuxStatusBar(const LinuxStatusBar&) = delete;
    LinuxStatusBar& operator=(const LinuxStatusBar&) = delete;
    ~LinuxStatusBar() override;

    std::unique_ptr<platform::StatusItem> statusItemWithLength(double length) override;
    std::shared_ptr<platform::Menu> createMenu() override;
    std::shared_ptr<platform::MenuItem> createMenuItem(
        std::string_view title, std::optional<platform::MenuAction> action, std::string_view keyEquivalent) override;
    std::shared_ptr<platform::MenuItem> createSeparatorItem() override;

    // Tells every exported menu that a menu or item changed; menus and items
    // may outlive the bar, so they hold it weakly.
    struct Changes {
        std::set<DBusMenuExporter*> exporters;
        void menuChanged() const;
    };

private:
    std::function<void()> changeCallback() const;

    GDBusConnection* connection_;
    std::shared_ptr<Changes> changes_;
    std::shared_ptr<std::set<int>> instancesInUse_;
};

} // namespace lullswitch::linux_backend
