#pragma once

#include "platform/Application.h"

#include <memory>

namespace lullswitch::macos_backend {

// NSApplication, its windows and its alerts. `run` never returns: AppKit ends
// the process from `terminate:` once applicationWillTerminate has run.
class MacApplication final : public platform::Application {
public:
    MacApplication();
    ~MacApplication() override;
    MacApplication(const MacApplication&) = delete;
    MacApplication& operator=(const MacApplication&) = delete;

    void setActivationPolicy(platform::ActivationPolicy policy) override;
    std::vector<std::shared_ptr<platform::Window>> windows() override;
    void terminate() override;
    std::unique_ptr<platform::Alert> createAlert() override;
    void run(platform::ApplicationDelegate& delegate) override;

private:
    // The Objective-C objects the application keeps: the delegate adapter
    // (NSApp holds its delegate weakly) and the signal sources.
    struct Retained;
    std::unique_ptr<Retained> retained_;
};

} // namespace lullswitch::macos_backend
