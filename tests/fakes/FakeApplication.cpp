#include "fakes/FakeApplication.h"

namespace lullswitch::fakes {

class FakeApplication::FakeWindow final : public platform::Window {
public:
    FakeWindow(FakeApplication& application, std::string name) : application_(application), name_(std::move(name)) { }

    void close() override
    {
        isOpen = false;
        if (application_.log_)
            application_.log_->push_back("window closed " + name_);
    }

    bool isOpen = true;

private:
    FakeApplication& application_;
    std::string name_;
};

class FakeApplication::FakeAlert final : public platform::Alert {
public:
    FakeAlert(FakeApplication& application) : application_(application) { }

    void setMessageText(std::string_view text) override { record_.messageText = text; }
    void setInformativeText(std::string_view text) override { record_.informativeText = text; }
    void setAlertStyle(platform::AlertStyle style) override { record_.style = style; }
    void addButtonWithTitle(std::string_view title) override { record_.buttons.emplace_back(title); }
    long runModal() override
    {
        ++record_.runModalCount;
        application_.alerts_.push_back(record_);
        if (application_.log_)
            application_.log_->push_back("alert dismissed");
        return 1000;
    }

private:
    FakeApplication& application_;
    AlertRecord record_;
};

void FakeApplication::setActivationPolicy(platform::ActivationPolicy policy)
{
    policy_ = policy;
    if (log_)
        log_->push_back("activation policy " + std::to_string(static_cast<int>(policy)));
}

std::vector<std::shared_ptr<platform::Window>> FakeApplication::windows()
{
    std::vector<std::shared_ptr<platform::Window>> open;
    for (const auto& window : windows_) {
        if (window->isOpen)
            open.push_back(window);
    }
    return open;
}

void FakeApplication::terminate()
{
    ++terminates_;
    if (log_)
        log_->push_back("terminate");
    if (delegate_)
        delegate_->applicationWillTerminate();
}

std::unique_ptr<platform::Alert> FakeApplication::createAlert()
{
    return std::make_unique<FakeAlert>(*this);
}

void FakeApplication::run(platform::ApplicationDelegate& delegate)
{
    delegate_ = &delegate;
    delegate.applicationDidFinishLaunching();
    if (whileRunning)
        whileRunning();
    if (terminates_ == 0)
        terminate();
    delegate_ = nullptr;
}

void FakeApplication::openWindows(const std::vector<std::string>& names)
{
    for (const auto& name : names)
        windows_.push_back(std::make_shared<FakeWindow>(*this, name));
}

int FakeApplication::openWindowCount() const
{
    int count = 0;
    for (const auto& window : windows_)
        count += window->isOpen ? 1 : 0;
    return count;
}

} // namespace lullswitch::fakes
