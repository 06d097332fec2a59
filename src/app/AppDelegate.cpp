#include "app/AppDelegate.h"

#include "platform/Platform.h"
#include "settings/SettingsStore.h"

namespace lullswitch {

std::shared_ptr<AppDelegate> AppDelegate::create()
{
    return std::make_shared<AppDelegate>(Key {});
}

AppDelegate::AppDelegate(Key)
    : inputSourceSwitcher_(std::make_unique<InputSourceSwitcher>())
      // Holds nothing: every call reads the store.
      ,
      keyboardWatcher_(IdleKeyboardWatcher::create([] { return SettingsStore::shared().delaySeconds(); }))
{
}

void AppDelegate::applicationDidFinishLaunching()
{
    auto& application = platform::services().application;
    application.setActivationPolicy(platform::ActivationPolicy::accessory);
    for (const auto& window : application.windows())
        window->close();

    statusMenuController_ = makeStatusMenuController();

    keyboardWatcher_->onIdle = [weakSelf = weak_from_this()] {
        if (!SettingsStore::shared().isEnabled())
            return;
        auto self = weakSelf.lock();
        if (!self)
            return;
        if (self->inputSourceSwitcher_->isJapaneseInputActive())
            self->inputSourceSwitcher_->switchToEisu();
    };

    if (SettingsStore::shared().isEnabled())
        keyboardWatcher_->start();

    if (statusMenuController_)
        statusMenuController_->rebuildMenu();
}

void AppDelegate::applicationWillTerminate()
{
    keyboardWatcher_->stop();
}

// Each handler resolves its weak reference afresh at every step that needs
// the delegate, and skips that step when it no longer resolves.
std::unique_ptr<StatusMenuController> AppDelegate::makeStatusMenuController()
{
    using Weak = std::weak_ptr<AppDelegate>;
    auto onToggleEnabled = [weakSelf = Weak(weak_from_this())] {
        auto& settings = SettingsStore::shared();
        settings.setIsEnabled(!settings.isEnabled());
        const bool isEnabled = settings.isEnabled();
        if (auto self = weakSelf.lock()) {
            if (isEnabled)
                self->keyboardWatcher_->start();
            else
                self->keyboardWatcher_->stop();
        }
        if (auto self = weakSelf.lock(); self && self->statusMenuController_)
            self->statusMenuController_->rebuildMenu();
    };
    auto onSetDelay = [weakSelf = Weak(weak_from_this())](double seconds) {
        SettingsStore::shared().setDelaySeconds(seconds);
        if (auto self = weakSelf.lock())
            self->keyboardWatcher_->restart();
        if (auto self = weakSelf.lock(); self && self->statusMenuController_)
            self->statusMenuController_->rebuildMenu();
    };
    auto onSwitchNow = [weakSelf = Weak(weak_from_this())] {
        if (auto self = weakSelf.lock())
            self->inputSourceSwitcher_->switchToEisu();
    };
    auto onAbout = [weakSelf = Weak(weak_from_this())] {
        if (auto self = weakSelf.lock())
            self->showAbout();
    };
    auto onQuit = [weakSelf = Weak(weak_from_this())] {
        if (auto self = weakSelf.lock())
            self->keyboardWatcher_->stop();
        platform::services().application.terminate();
    };
    return std::make_unique<StatusMenuController>(std::move(onToggleEnabled), std::move(onSetDelay),
        std::move(onSwitchNow), std::move(onAbout), std::move(onQuit));
}

void AppDelegate::showAbout() const
{
    auto alert = platform::services().application.createAlert();
    alert->setMessageText(aboutMessageText);
    alert->setInformativeText(aboutInformativeText);
    alert->setAlertStyle(platform::AlertStyle::informational);
    alert->addButtonWithTitle("OK");
    alert->runModal();
}

} // namespace lullswitch
