#pragma once

#include "platform/Application.h"
#include "platform/linux/DesktopAlert.h"
#include "platform/linux/GLibRegistrations.h"

#include <memory>

namespace lullswitch::linux_backend {

// The application object on Linux: a GLib main loop on the default context.
// Launching completes in the loop's first iteration; SIGINT and SIGTERM arrive
// through the loop and take the quit command's path, terminate(), whose
// applicationWillTerminate stops the watcher just as the quit command does.
class LinuxApplication final : public platform::Application {
public:
    // `sessionBus` may be null; alerts then have no notification fallback.
    explicit LinuxApplication(GDBusConnection* sessionBus);
    LinuxApplication(const LinuxApplication&) = delete;
    LinuxApplication& operator=(const LinuxApplication&) = delete;
    ~LinuxApplication() override;

    // An agent on Linux has no window and no task-bar entry to begin with.
    void setActivationPolicy(platform::ActivationPolicy) override { }
    std::vector<std::shared_ptr<platform::Window>> windows() override { return {}; }
    void terminate() override;
    std::unique_ptr<platform::Alert> createAlert() override;
    void run(platform::ApplicationDelegate& delegate) override;

    bool isTerminating() const { return session_->isTerminating; }
    bool isShowingAlert() const { return session_->isAlertShowing; }

private:
    GDBusConnection* sessionBus_;
    std::shared_ptr<ModalSession> session_;
    platform::ApplicationDelegate* delegate_ = nullptr;
    GMainLoopPtr loop_;
    GSourcePtr interruptSignal_;
    GSourcePtr terminateSignal_;
    GSourcePtr hangupSignal_;
};

} // namespace lullswitch::linux_backend
