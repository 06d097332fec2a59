#pragma once

#include <memory>
#include <string_view>
#include <vector>

namespace lullswitch::platform {

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };
enum class AlertStyle { warning = 0, informational = 1, critical = 2 };

class Window {
public:
    virtual ~Window() = default;
    virtual void close() = 0;
};

class Alert {
public:
    virtual ~Alert() = default;
    virtual void setMessageText(std::string_view text) = 0;
    virtual void setInformativeText(std::string_view text) = 0;
    virtual void setAlertStyle(AlertStyle style) = 0;
    virtual void addButtonWithTitle(std::string_view title) = 0;
    // Returns only when the user has dismissed the alert.
    virtual long runModal() = 0;
};

// Called by the platform on the main thread.
class ApplicationDelegate {
public:
    virtual void applicationDidFinishLaunching() = 0;
    virtual void applicationWillTerminate() = 0;

protected:
    ~ApplicationDelegate() = default;
};

class Application {
public:
    virtual ~Application() = default;

    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    virtual std::vector<std::shared_ptr<Window>> windows() = 0;
    // Ends the process after the delegate's applicationWillTerminate has run.
    virtual void terminate() = 0;
    virtual std::unique_ptr<Alert> createAlert() = 0;

    // Installs the delegate, calls applicationDidFinishLaunching once when
    // launching is complete, runs the main loop until terminate, calls
    // applicationWillTerminate once, and returns when the process is to end.
    // Where terminating ends the process itself (AppKit), it never returns.
    virtual void run(ApplicationDelegate& delegate) = 0;
};

} // namespace lullswitch::platform
