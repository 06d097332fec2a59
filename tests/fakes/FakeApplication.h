#pragma once

#include "platform/Application.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lullswitch::fakes {

struct AlertRecord {
    std::string messageText, informativeText;
    std::optional<platform::AlertStyle> style;
    std::vector<std::string> buttons;
    bool operator==(const AlertRecord&) const = default;
};

// Logs what the core asks of the application object and records the alerts
// shown; `run` launches the delegate, then runs `whileRunning` as its loop.
class FakeApplication final : public platform::Application {
public:
    explicit FakeApplication(std::vector<std::string>* log = nullptr) : log_(log) { }

    void setActivationPolicy(platform::ActivationPolicy policy) override
    {
        note("activation policy " + std::to_string(static_cast<int>(policy)));
    }
    std::vector<std::shared_ptr<platform::Window>> windows() override { return { windows_.begin(), windows_.end() }; }
    void terminate() override
    {
        note("terminate");
        if (delegate_)
            delegate_->applicationWillTerminate();
    }
    std::unique_ptr<platform::Alert> createAlert() override { return std::make_unique<FakeAlert>(alerts_); }
    void run(platform::ApplicationDelegate& delegate) override
    {
        delegate_ = &delegate;
        delegate.applicationDidFinishLaunching();
        whileRunning();
        delegate_ = nullptr;
    }

    // Windows open at launch, by name; closing one logs it.
    void openWindows(const std::vector<std::string>& names)
    {
        for (const auto& name : names)
            windows_.push_back(std::make_shared<FakeWindow>([this, name] { note("window closed " + name); }));
    }
    const std::vector<AlertRecord>& alerts() const { return alerts_; }
    std::function<void()> whileRunning;

private:
    struct FakeWindow final : platform::Window {
        explicit FakeWindow(std::function<void()> then) : onClose(std::move(then)) { }
        void close() override { onClose(); }
        std::function<void()> onClose;
    };
    // Recorded when shown.
    struct FakeAlert final : platform::Alert {
        explicit FakeAlert(std::vector<AlertRecord>& into) : shown(into) { }
        void setMessageText(std::string_view text) override { record.messageText = text; }
        void setInformativeText(std::string_view text) override { record.informativeText = text; }
        void setAlertStyle(platform::AlertStyle style) override { record.style = style; }
        void addButtonWithTitle(std::string_view title) override { record.buttons.emplace_back(title); }
        long runModal() override
        {
            shown.push_back(record);
            return 1000;
        }
        std::vector<AlertRecord>& shown;
        AlertRecord record;
    };
    void note(std::string entry)
    {
        if (log_)
            log_->push_back(std::move(entry));
    }

    std::vector<std::string>* log_;
    std::vector<std::shared_ptr<FakeWindow>> windows_;
    std::vector<AlertRecord> alerts_;
    platform::ApplicationDelegate* delegate_ = nullptr;
};

} // namespace lullswitch::fakes
