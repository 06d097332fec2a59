#pragma once

#include "platform/Application.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lullswitch::fakes {

struct AlertRecord {
    std::string messageText;
    std::string informativeText;
    std::optional<platform::AlertStyle> style;
    std::vector<std::string> buttons;
    int runModalCount = 0;
};

// Records what the core asks of the application object; `run` launches the
// delegate and returns when the test has had its say.
class FakeApplication final : public platform::Application {
public:
    explicit FakeApplication(std::vector<std::string>* log = nullptr) : log_(log) { }

    void setActivationPolicy(platform::ActivationPolicy policy) override;
    std::vector<std::shared_ptr<platform::Window>> windows() override;
    void terminate() override;
    std::unique_ptr<platform::Alert> createAlert() override;
    void run(platform::ApplicationDelegate& delegate) override;

    // Windows open at launch, by name.
    void openWindows(const std::vector<std::string>& names);
    int openWindowCount() const;
    std::optional<platform::ActivationPolicy> activationPolicy() const { return policy_; }
    int terminateCount() const { return terminates_; }
    const std::vector<AlertRecord>& alerts() const { return alerts_; }
    // Runs while `run` is inside its loop, before termination.
    std::function<void()> whileRunning;

private:
    class FakeWindow;
    class FakeAlert;

    std::vector<std::string>* log_;
    std::optional<platform::ActivationPolicy> policy_;
    std::vector<std::shared_ptr<FakeWindow>> windows_;
    int terminates_ = 0;
    std::vector<AlertRecord> alerts_;
    platform::ApplicationDelegate* delegate_ = nullptr;
};

} // namespace lullswitch::fakes
