#include "platform/linux/LinuxApplication.h"

#include <glib-unix.h>

#include <csignal>

namespace lullswitch::linux_backend {

namespace {

// Installed at construction, so that a signal arriving before the loop runs
// waits for it instead of killing the process.
GSourcePtr watchSignal(int signal, std::function<void()> action)
{
    GSourcePtr source(g_unix_signal_source_new(signal));
    setCallback(source.get(), std::move(action), true);
    g_source_attach(source.get(), nullptr);
    return source;
}

} // namespace

LinuxApplication::LinuxApplication(GDBusConnection* sessionBus)
    : sessionBus_(sessionBus),
      session_(std::make_shared<ModalSession>()),
      interruptSignal_(watchSignal(SIGINT, [this] { terminate(); })),
      terminateSignal_(watchSignal(SIGTERM, [this] { terminate(); })),
      // Started with `lullswitch &`, the agent outlives the terminal that
      // started it, as a tray agent should. Caught rather than ignored, so
      // the programs it starts get the default back.
      hangupSignal_(watchSignal(SIGHUP, [] {}))
{
}

LinuxApplication::~LinuxApplication() = default;

void LinuxApplication::terminate()
{
    if (session_->isTerminating)
        return;
    session_->isTerminating = true;
    if (delegate_)
        delegate_->applicationWillTerminate();
    if (loop_)
        g_main_loop_quit(loop_.get());
    // A modal alert waiting in its own iteration must notice too.
    g_main_context_wakeup(nullptr);
}

std::unique_ptr<platform::Alert> LinuxApplication::createAlert()
{
    return std::make_unique<DesktopAlert>(session_, sessionBus_);
}

void LinuxApplication::run(platform::ApplicationDelegate& delegate)
{
    if (session_->isTerminating)
        return;
    delegate_ = &delegate;
    loop_.reset(g_main_loop_new(nullptr, FALSE));
    // Ahead of any signal already waiting, so that termination follows launch.
    auto launch = ScheduledCall::idle([this] { delegate_->applicationDidFinishLaunching(); }, G_PRIORITY_HIGH);
    g_main_loop_run(loop_.get());
    loop_.reset();
    delegate_ = nullptr;
}

} // namespace lullswitch::linux_backend
