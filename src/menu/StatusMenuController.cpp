#include "menu/StatusMenuController.h"

#include "platform/Platform.h"
#include "settings/SettingsStore.h"

#include <string>

namespace lullswitch {

using platform::MenuAction;

namespace {

platform::StatusBar& statusBar()
{
    return platform::services().statusBar;
}

} // namespace

StatusMenuController::StatusMenuController(
    Callback onToggleEnabled, DelayCallback onSetDelay, Callback onSwitchNow, Callback onAbout, Callback onQuit)
    : statusItem_(statusBar().statusItemWithLength(platform::variableStatusItemLength)),
      menu_(statusBar().createMenu()),
      onToggleEnabled_(std::move(onToggleEnabled)),
      onSetDelay_(std::move(onSetDelay)),
      onSwitchNow_(std::move(onSwitchNow)),
      onAbout_(std::move(onAbout)),
      onQuit_(std::move(onQuit))
{
    statusItem_->setMenu(menu_);
    rebuildMenu();
}

std::shared_ptr<platform::MenuItem> StatusMenuController::addItem(
    std::string_view title, std::optional<MenuAction> action, std::string_view keyEquivalent)
{
    auto item = statusBar().createMenuItem(title, action, keyEquivalent);
    if (action)
        item->setTarget(this);
    return item;
}

void StatusMenuController::rebuildMenu()
{
    auto& settings = SettingsStore::shared();
    if (auto* button = statusItem_->button()) {
        button->setTitle(settings.isEnabled() ? "戻" : "休");
        button->setToolTip("Lullswitch");
    }

    menu_->removeAllItems();

    auto header = addItem("Lullswitch", std::nullopt);
    header->setEnabled(false);
    menu_->addItem(header);
    menu_->addItem(statusBar().createSeparatorItem());

    menu_->addItem(addItem(settings.isEnabled() ? "動作中：ON" : "停止中：OFF", MenuAction::toggleEnabled));

    auto delayMenu = statusBar().createMenu();
    for (double delay : delayChoices) {
        auto item = addItem(std::to_string(static_cast<long>(delay)) + "秒", MenuAction::selectDelay);
        item->setRepresentedObject(delay);
        // Exact equality: only the four menu values ever check an item.
        item->setState(settings.delaySeconds() == delay ? platform::ControlState::on : platform::ControlState::off);
        delayMenu->addItem(item);
    }
    auto delayParent = addItem("待ち時間", std::nullopt);
    delayParent->setSubmenu(delayMenu);
    menu_->addItem(delayParent);

    menu_->addItem(addItem("今すぐ英数へ戻す", MenuAction::switchNow));
    menu_->addItem(statusBar().createSeparatorItem());

    auto method = addItem("監視方式：軽量タイマー", std::nullopt);
    method->setEnabled(false);
    menu_->addItem(method);
    auto privacy = addItem("入力内容は記録・送信しません", std::nullopt);
    privacy->setEnabled(false);
    menu_->addItem(privacy);
    menu_->addItem(addItem("このアプリについて", MenuAction::about));
    menu_->addItem(statusBar().createSeparatorItem());
    // No modifier set: the platform's default applies.
    menu_->addItem(addItem("終了", MenuAction::quit, "q"));
}

void StatusMenuController::toggleEnabled()
{
    onToggleEnabled_();
}

void StatusMenuController::selectDelay(platform::MenuItem& sender)
{
    const auto object = sender.representedObject();
    if (const double* seconds = std::get_if<double>(&object))
        onSetDelay_(*seconds);
}

void StatusMenuController::switchNow()
{
    onSwitchNow_();
}

void StatusMenuController::about()
{
    onAbout_();
}

void StatusMenuController::quit()
{
    onQuit_();
}

void StatusMenuController::perform(MenuAction action, platform::MenuItem& sender)
{
    switch (action) {
    case MenuAction::toggleEnabled:
        toggleEnabled();
        return;
    case MenuAction::selectDelay:
        selectDelay(sender);
        return;
    case MenuAction::switchNow:
        switchNow();
        return;
    case MenuAction::about:
        about();
        return;
    case MenuAction::quit:
        quit();
        return;
    }
}

} // namespace lullswitch
