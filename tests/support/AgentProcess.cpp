#include "AgentProcess.h"

#include "TestTrayHost.h"
#include "platform/linux/GLibHandles.h"

#include <csignal>
#include <sys/wait.h>
#include <thread>

namespace lullswitch::tray_test {

using namespace linux_backend;

namespace {

using Strv = platform::UniqueCPtr<gchar*, g_strfreev>;

Strv environmentWith(const AgentProcess::Environment& environment)
{
    gchar** env = g_get_environ();
    for (const auto& [name, value] : environment)
        env = value ? g_environ_setenv(env, name.c_str(), value->c_str(), TRUE) : g_environ_unsetenv(env, name.c_str());
    return Strv(env);
}

int decode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

AgentProcess::AgentProcess(const Environment& environment)
{
    gchar* argv[] = { const_cast<gchar*>(LULLSWITCH_AGENT), nullptr };
    GErrorPtr error;
    if (!g_spawn_async(nullptr, argv, environmentWith(environment).get(), G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr,
            &pid_, ErrorOut(error)))
        throw TrayError(std::string("cannot start lullswitch: ") + error->message);
}

AgentProcess::~AgentProcess()
{
    signal(SIGKILL);
    if (!status_)
        waitpid(pid_, nullptr, 0);
    g_spawn_close_pid(pid_);
}

void AgentProcess::signal(int number) const
{
    if (!status_)
        kill(pid_, number);
}

std::optional<int> AgentProcess::waitForExit(double seconds)
{
    const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * G_USEC_PER_SEC);
    for (int status = 0; !status_; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        if (waitpid(pid_, &status, WNOHANG) == pid_)
            status_ = decode(status);
        else if (g_get_monotonic_time() > deadline)
            break;
    }
    return status_;
}

} // namespace lullswitch::tray_test
