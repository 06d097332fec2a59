#include "app/AppDelegate.h"

#include "platform/Platform.h"
#include "settings/SettingsStore.h"

namespace lullswitch {

std::shared_ptr<AppDelegate> AppDelegate::create()
{
    return std::make_shared<AppDelegate>(Key {});
}

namespace {

// The watcher's delay callback holds nothing: every call reads the store, so
// a newly stored delay is seen at the next tick.
double storedDelaySeconds()
{
    return SettingsStore::shared().delaySeconds();
}

} // namespace

AppDelegate::AppDelegate(Key)
    : inputSourceSwitcher_(std::make_unique<InputSourceSwitcher>()),
      keyboardWatcher_(IdleKeyboardWatcher::create(storedDelaySeconds))
{
}

void AppDelegate::applicationDidFinishLaunching()
{
    auto& application = platform::services().application;
    application.setActivationPolicy(platform::ActivationPolicy::accessory);
    for (const auto& window : application.windows())
        window->close();

    auto handlers = makeCommandHandlers(weak_from_this());
    statusMenuController_
        = std::make_unique<StatusMenuController>(std::move(handlers.onToggleEnabled), std::move(handlers.onSetDelay),
            std::move(handlers.onSwitchNow), std::move(handlers.onAbout), std::move(handlers.onQuit));

    keyboardWatcher_->onIdle = makeIdleCallback(weak_from_this());
    platform::services().userDefaults.setOnExternalChange(makeExternalChangeCallback(weak_from_this()));

    if (SettingsStore::shared().isEnabled())
        keyboardWatcher_->start();

    statusMenuController_->rebuildMenu();
}

void AppDelegate::followStoredSwitch()
{
    // The stored value decides, not one just computed.
    if (SettingsStore::shared().isEnabled())
        keyboardWatcher_->start();
    else
        keyboardWatcher_->stop();
    rebuildMenu();
}

void AppDelegate::rebuildMenu()
{
    // The handlers exist before the menu does.
    if (statusMenuController_)
        statusMenuController_->rebuildMenu();
}

void AppDelegate::applicationWillTerminate()
{
    keyboardWatcher_->stop();
}

IdleKeyboardWatcher::IdleCallback AppDelegate::makeIdleCallback(std::weak_ptr<AppDelegate> delegate)
{
    return [weakSelf = std::move(delegate)] {
        // Checked first: while off, the input source is not even asked.
        if (!SettingsStore::shared().isEnabled())
            return;
        auto self = weakSelf.lock();
        if (!self)
            return;
        if (self->inputSourceSwitcher_->isJapaneseInputActive())
            self->inputSourceSwitcher_->switchToEisu();
    };
}

std::function<void()> AppDelegate::makeExternalChangeCallback(std::weak_ptr<AppDelegate> delegate)
{
    return [weakSelf = std::move(delegate)] {
        // As the toggle does. A new delay needs no restart: the watcher reads
        // it at every tick.
        if (auto self = weakSelf.lock())
            self->followStoredSwitch();
    };
}

// Each handler holds the delegate weakly and, once it is gone, skips the
// steps that need it.
AppDelegate::CommandHandlers AppDelegate::makeCommandHandlers(std::weak_ptr<AppDelegate> delegate)
{
    CommandHandlers handlers;
    handlers.onToggleEnabled = [weakSelf = delegate] {
        auto& settings = SettingsStore::shared();
        settings.setIsEnabled(!settings.isEnabled());
        if (auto self = weakSelf.lock())
            self->followStoredSwitch();
    };
    handlers.onSetDelay = [weakSelf = delegate](double seconds) {
        SettingsStore::shared().setDelaySeconds(seconds);
        // Restarted whether on or off: while off its ticks do nothing.
        if (auto self = weakSelf.lock()) {
            self->keyboardWatcher_->restart();
            self->rebuildMenu();
        }
    };
    handlers.onSwitchNow = [weakSelf = delegate] {
        if (auto self = weakSelf.lock())
            self->inputSourceSwitcher_->switchToEisu();
    };
    handlers.onAbout = [weakSelf = delegate] {
        if (auto self = weakSelf.lock())
            self->showAbout();
    };
    handlers.onQuit = [weakSelf = delegate] {
        if (auto self = weakSelf.lock())
            self->keyboardWatcher_->stop();
        // Termination is requested even when the delegate is gone.
        platform::services().application.terminate();
    };
    return handlers;
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
