#pragma once

#include "platform/Application.h"

#include <memory>

namespace lullswitch::platform::macos {

// NSApplication, its windows and its alerts. `run` never returns: AppKit ends
// the process from `terminate:` once applicationWillTerminate has run.
class MacApplication final : public Application {
public:
    MacApplication();
    ~MacApplication() override;
    MacApplication(const MacApplication&) = delete;
    MacApplication& operator=(const MacApplication&) = delete;

    void setActivationPolicy(ActivationPolicy policy) override;
    std::vector<std::shared_ptr<Window>> windows() override;
    void terminate() override;
    std::unique_ptr<Alert> createAlert() override;
    void run(ApplicationDelegate& delegate) override;

private:
    // The Objective-C objects the application keeps: the delegate adapter
    // (NSApp holds its delegate weakly) and the signal sources.
    struct Retained;
    std::unique_ptr<Retained> retained_;
};

} // namespace lullswitch::platform::macos
