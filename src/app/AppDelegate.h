#pragma once

#include "idle/IdleKeyboardWatcher.h"
#include "input_source/InputSourceSwitcher.h"
#include "menu/StatusMenuController.h"
#include "platform/Application.h"

#include <functional>
#include <memory>
#include <string_view>

namespace lullswitch {

// Creates the long-lived components, wires them with callbacks, and starts
// and stops idle watching over the life of the process. Owned through a
// shared pointer: every callback it hands out holds it weakly.
class AppDelegate final : public platform::ApplicationDelegate, public std::enable_shared_from_this<AppDelegate> {
    struct Key {
        explicit Key() = default;
    };

public:
    static constexpr std::string_view aboutMessageText = "Lullswitch";
    static constexpr std::string_view aboutInformativeText
        = "2秒間キーボード操作がないとき、日本語入力から英数入力へ戻す軽量メニューバーアプリです。\n\n"
          "入力内容は記録・保存・送信しません。";

    // Touches neither the settings nor any user interface.
    static std::shared_ptr<AppDelegate> create();
    explicit AppDelegate(Key);
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override;

    // Runs the About alert modally; returns once it is dismissed.
    void showAbout() const;

    // The five menu command handlers and the idle callback, each holding the
    // delegate only weakly.
    struct CommandHandlers {
        StatusMenuController::Callback onToggleEnabled;
        StatusMenuController::DelayCallback onSetDelay;
        StatusMenuController::Callback onSwitchNow;
        StatusMenuController::Callback onAbout;
        StatusMenuController::Callback onQuit;
    };
    static CommandHandlers makeCommandHandlers(std::weak_ptr<AppDelegate> delegate);
    static IdleKeyboardWatcher::IdleCallback makeIdleCallback(std::weak_ptr<AppDelegate> delegate);
    // What the store's change notice runs: the stored values take effect as
    // if chosen from the menu.
    static std::function<void()> makeExternalChangeCallback(std::weak_ptr<AppDelegate> delegate);

    IdleKeyboardWatcher& keyboardWatcher() const { return *keyboardWatcher_; }

private:
    // Runs the watcher while switching is stored as on, and redraws the menu.
    void followStoredSwitch();
    void rebuildMenu();

    std::unique_ptr<InputSourceSwitcher> inputSourceSwitcher_;
    std::shared_ptr<IdleKeyboardWatcher> keyboardWatcher_;
    std::unique_ptr<StatusMenuController> statusMenuController_;
};

} // namespace lullswitch
