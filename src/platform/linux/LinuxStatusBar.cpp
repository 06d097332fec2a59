#include "platform/linux/LinuxStatusBar.h"

#include "platform/common/MenuTree.h"
#include "platform/linux/DBusMenuExporter.h"
#include "platform/linux/StatusNotifierItem.h"

#include <stdexcept>
#include <string>

namespace lullswitch::linux_backend {

namespace {

// The tray item: the in-memory status item, drawn by a StatusNotifierItem and
// the bar's dbusmenu export, which follow its every change.
class TrayStatusItem final : public platform::StatusItem {
public:
    TrayStatusItem(GDBusConnection* connection, std::shared_ptr<DBusMenuExporter> menuExporter)
        : menuExporter_(std::move(menuExporter)),
          notifierItem_(connection, menuExporter_->objectPath()),
          tree_(true, [this] { follow(); })
    {
    }

    void setMenu(std::shared_ptr<platform::Menu> menu) override { tree_.setMenu(std::move(menu)); }
    platform::StatusBarButton* button() override { return tree_.button(); }

private:
    void follow()
    {
        notifierItem_.setTitle(tree_.title());
        notifierItem_.setToolTip(tree_.toolTip());
        menuExporter_->setRootMenu(tree_.sharedTreeMenu());
    }

    std::shared_ptr<DBusMenuExporter> menuExporter_;
    StatusNotifierItem notifierItem_;
    platform::MenuTreeStatusItem tree_;
};

} // namespace

LinuxStatusBar::LinuxStatusBar(GDBusConnection* connection)
    : connection_(connection), menuExporter_(std::make_shared<DBusMenuExporter>(connection, "/MenuBar"))
{
}

LinuxStatusBar::~LinuxStatusBar() = default;

std::function<void()> LinuxStatusBar::changeCallback() const
{
    return [exporter = std::weak_ptr<DBusMenuExporter>(menuExporter_)] {
        if (auto menuExporter = exporter.lock())
            menuExporter->menuChanged();
    };
}

// The length has no meaning in a tray: hosts size their items.
std::unique_ptr<platform::StatusItem> LinuxStatusBar::statusItemWithLength(double)
{
    if (hasItem_)
        throw std::logic_error("the tray shows one item per process");
    hasItem_ = true;
    return std::make_unique<TrayStatusItem>(connection_, menuExporter_);
}

std::shared_ptr<platform::Menu> LinuxStatusBar::createMenu()
{
    return std::make_shared<platform::MenuTreeMenu>(changeCallback());
}

std::shared_ptr<platform::MenuItem> LinuxStatusBar::createMenuItem(
    std::string_view title, std::optional<platform::MenuAction> action, std::string_view keyEquivalent)
{
    return std::make_shared<platform::MenuTreeItem>(
        std::string(title), action, std::string(keyEquivalent), changeCallback());
}

std::shared_ptr<platform::MenuItem> LinuxStatusBar::createSeparatorItem()
{
    return platform::MenuTreeItem::separator(changeCallback());
}

} // namespace lullswitch::linux_backend
