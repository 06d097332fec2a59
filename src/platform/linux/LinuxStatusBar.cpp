#include "platform/linux/LinuxStatusBar.h"

#include "platform/common/MenuTree.h"
#include "platform/linux/DBusMenuExporter.h"
#include "platform/linux/StatusNotifierItem.h"

#include <string>

namespace lullswitch::linux_backend {

namespace {

// The tray item: the in-memory status item, drawn by a StatusNotifierItem and
// a dbusmenu export that follow its every change.
class TrayStatusItem final : public platform::StatusItem {
public:
    TrayStatusItem(GDBusConnection* connection, int instance, std::shared_ptr<LinuxStatusBar::Changes> changes,
        std::shared_ptr<std::set<int>> instancesInUse)
        : instance_(instance),
          changes_(std::move(changes)),
          instancesInUse_(std::move(instancesInUse)),
          menuExporter_(connection, instance == 1 ? "/MenuBar" : "/MenuBar/" + std::to_string(instance)),
          notifierItem_(connection,
              instance == 1 ? StatusNotifierItem::defaultObjectPath
                            : std::string(StatusNotifierItem::defaultObjectPath) + "/" + std::to_string(instance),
              menuExporter_.objectPath(), instance),
          tree_(true, [this] { follow(); })
    {
        changes_->exporters.insert(&menuExporter_);
    }
    ~TrayStatusItem() override
    {
        changes_->exporters.erase(&menuExporter_);
        instancesInUse_->erase(instance_);
    }

    void setMenu(std::shared_ptr<platform::Menu> menu) override { tree_.setMenu(std::move(menu)); }
    platform::StatusBarButton* button() override { return tree_.button(); }

private:
    void follow()
    {
        notifierItem_.setTitle(tree_.title());
        notifierItem_.setToolTip(tree_.toolTip());
        menuExporter_.setRootMenu(tree_.sharedTreeMenu());
    }

    int instance_;
    std::shared_ptr<LinuxStatusBar::Changes> changes_;
    std::shared_ptr<std::set<int>> instancesInUse_;
    DBusMenuExporter menuExporter_;
    StatusNotifierItem notifierItem_;
    platform::MenuTreeStatusItem tree_;
};

} // namespace

void LinuxStatusBar::Changes::menuChanged() const
{
    for (auto* exporter : exporters)
        exporter->menuChanged();
}

LinuxStatusBar::LinuxStatusBar(GDBusConnection* connection)
    : connection_(connection), changes_(std::make_shared<Changes>()), instancesInUse_(std::make_shared<std::set<int>>())
{
}

LinuxStatusBar::~LinuxStatusBar() = default;

std::function<void()> LinuxStatusBar::changeCallback() const
{
    return [weakChanges = std::weak_ptr<Changes>(changes_)] {
        if (auto changes = weakChanges.lock())
            changes->menuChanged();
    };
}

// The length has no meaning in a tray: hosts size their items.
std::unique_ptr<platform::StatusItem> LinuxStatusBar::statusItemWithLength(double)
{
    int instance = 1;
    while (instancesInUse_->contains(instance))
        ++instance;
    instancesInUse_->insert(instance);
    return std::make_unique<TrayStatusItem>(connection_, instance, changes_, instancesInUse_);
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
