#pragma once

#include "platform/Application.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lullswitch::fakes {

// Logs what the core asks of the application object, each alert shown as
// "alert message|informative text|style|buttons"; `run` launches the
// delegate, then runs `whileRunning` as its loop.
class FakeApplication final : public platform::Application {
public:
    explicit FakeApplication(std::vector<std::string>& log) : log_(log) { }

    void setActivationPolicy(platform::ActivationPolicy policy) override
    {
        log_.push_back("activation policy " + std::to_string(static_cast<int>(policy)));
    }
    std::vector<std::shared_ptr<platform::Window>> windows() override { return { windows_.begin(), windows_.end() }; }
    void terminate() override
    {
        log_.push_back("terminate");
        if (delegate_)
            delegate_->applicationWillTerminate();
    }
    std::unique_ptr<platform::Alert> createAlert() override { return std::make_unique<FakeAlert>(*this); }
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
            windows_.push_back(std::make_shared<FakeWindow>([this, name] { log_.push_back("window closed " + name); }));
    }
    std::function<void()> whileRunning;

private:
    struct FakeWindow final : platform::Window {
        explicit FakeWindow(std::function<void()> then) : onClose(std::move(then)) { }
        void close() override { onClose(); }
        std::function<void()> onClose;
    };
    // Logged when shown.
    struct FakeAlert final : platform::Alert {
        explicit FakeAlert(FakeApplication& owner) : application(owner) { }
        void setMessageText(std::string_view text) override { message = text; }
        void setInformativeText(std::string_view text) override { informative = text; }
        void setAlertStyle(platform::AlertStyle s) override { style = std::to_string(static_cast<int>(s)); }
        void addButtonWithTitle(std::string_view title) override { buttons += title; }
        long runModal() override
        {
            application.log_.push_back("alert " + message + "|" + informative + "|" + style + "|" + buttons);
            return 1000;
        }
        FakeApplication& application;
        std::string message, informative, style, buttons;
    };
    std::vector<std::string>& log_;
    std::vector<std::shared_ptr<FakeWindow>> windows_;
    platform::ApplicationDelegate* delegate_ = nullptr;
};

} // namespace lullswitch::fakes
