#include "AgentProcess.h"

#include "TestTrayHost.h"
#include "platform/linux/GLibHandles.h"

#include <csignal>
#include <sys/wait.h>
#include <thread>

namespace lullswitch::tray_test {

using namespace linux_backend;

std::vector<gchar*> AgentProcess::environmentWith(const Environment& environment)
{
    gchar** env = g_get_environ();
    for (const auto& [name, value] : environment)
        env = value ? g_environ_setenv(env, name.c_str(), value->c_str(), TRUE) : g_environ_unsetenv(env, name.c_str());
    std::vector<gchar*> result;
    for (gchar** entry = env; *entry; ++entry)
        result.push_back(*entry);
    result.push_back(nullptr);
    g_free(env); // the strings now belong to the caller's vector
    return result;
}

namespace {

void freeEnvironment(std::vector<gchar*>& env)
{
    for (gchar* entry : env)
        g_free(entry);
}

std::optional<int> decode(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return -1;
}

} // namespace

AgentProcess::AgentProcess(const Environment& environment)
{
    auto env = environmentWith(environment);
    gchar* argv[] = { const_cast<gchar*>(LULLSWITCH_AGENT), nullptr };
    GError* rawError = nullptr;
    const gboolean spawned
        = g_spawn_async(nullptr, argv, env.data(), G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid_, &rawError);
    GErrorPtr error(rawError);
    freeEnvironment(env);
    if (!spawned)
        throw TrayError(std::string("cannot start lullswitch: ") + error->message);
}

AgentProcess::~AgentProcess()
{
    if (!status_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
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
    while (!status_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_)
            status_ = decode(status);
        else if (g_get_monotonic_time() > deadline)
            break;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

bool AgentProcess::isRunning()
{
    return !waitForExit(0);
}

std::pair<int, std::string> AgentProcess::runToEnd(const Environment& environment, double seconds)
{
    auto env = environmentWith(environment);
    const std::string timeout = std::to_string(seconds);
    gchar* argv[] = { const_cast<gchar*>("timeout"), const_cast<gchar*>(timeout.c_str()),
        const_cast<gchar*>(LULLSWITCH_AGENT), nullptr };
    gchar* errorText = nullptr;
    gint status = 0;
    GError* rawError = nullptr;
    const gboolean ran = g_spawn_sync(nullptr, argv, env.data(),
        static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL), nullptr, nullptr, nullptr,
        &errorText, &status, &rawError);
    GErrorPtr error(rawError);
    GMallocPtr<gchar> ownedText(errorText);
    freeEnvironment(env);
    if (!ran)
        throw TrayError("cannot run lullswitch");
    return { *decode(status), errorText ? errorText : "" };
}

} // namespace lullswitch::tray_test
