#include "SessionSupport.h"
#include "SessionBus.h"

#include <sys/wait.h>

#include <csignal>
#include <cstdlib>
#include <stdexcept>

namespace lullswitch::session_test {

using namespace linux_backend;

namespace {

// A wait status as an exit status, -1 for a process ended by a signal.
int decode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// As exec takes it; the strings outlive it.
std::vector<gchar*> argumentVector(const std::vector<std::string>& argv)
{
    std::vector<gchar*> arguments;
    for (const auto& argument : argv)
        arguments.push_back(const_cast<gchar*>(argument.c_str()));
    arguments.push_back(nullptr);
    return arguments;
}

} // namespace

int run(const std::vector<std::string>& argv)
{
    auto arguments = argumentVector(argv);
    gint status = 0;
    if (!g_spawn_sync(nullptr, arguments.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, nullptr,
            &status, nullptr))
        return -1;
    return decode(status);
}

bool controlFcitx(const char* command)
{
    const char* script = std::getenv("LULLSWITCH_TEST_FCITX_CTL");
    return script && run({ script, command }) == 0;
}

bool iterateUntil(const std::function<bool()>& condition, double seconds)
{
    const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * G_USEC_PER_SEC);
    for (;;) {
        while (g_main_context_iteration(nullptr, FALSE)) { }
        if (condition())
            return true;
        if (g_get_monotonic_time() >= deadline)
            return false;
        g_usleep(10'000);
    }
}

void iterateFor(double seconds)
{
    iterateUntil([] { return false; }, seconds);
}

bool settleMainContext()
{
    for (int i = 0; i < 1000; ++i)
        if (!g_main_context_iteration(nullptr, FALSE))
            return true;
    return false;
}

double secondsSince(gint64 monotonicStart)
{
    return static_cast<double>(g_get_monotonic_time() - monotonicStart) / G_USEC_PER_SEC;
}

GDBusConnection* sessionBus()
{
    static GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus)
        throw std::runtime_error("no session bus: run inside scripts/virtual-session");
    return bus;
}

GVariantPtr callController(const char* method, GVariant* parameters, const char* replyType)
{
    return callOn(
        sessionBus(), "org.fcitx.Fcitx5", "/controller", "org.fcitx.Fcitx.Controller1", method, parameters, replyType);
}

std::optional<std::string> fcitxCurrentInputMethod()
{
    const auto reply = callController("CurrentInputMethod", nullptr, "(s)");
    const gchar* name = nullptr;
    if (reply)
        g_variant_get(reply.get(), "(&s)", &name);
    return name ? std::optional<std::string>(name) : std::nullopt;
}

bool fcitxSetCurrentInputMethod(const std::string& name)
{
    return callController("SetCurrentIM", g_variant_new("(s)", name.c_str()), "()") != nullptr;
}

bool fcitxIsOnBus()
{
    const auto reply = callOn(sessionBus(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", "org.fcitx.Fcitx5"), "(b)");
    return reply && g_variant_get_boolean(GVariantPtr(g_variant_get_child_value(reply.get(), 0)).get());
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Environment& environment, int stopSignal)
    : stopSignal_(stopSignal)
{
    auto arguments = argumentVector(argv);
    gchar** envp = g_get_environ();
    for (const auto& [name, value] : environment)
        envp = value ? g_environ_setenv(envp, name.c_str(), value->c_str(), TRUE)
                     : g_environ_unsetenv(envp, name.c_str());
    const platform::UniqueCPtr<gchar*, g_strfreev> env(envp);
    GErrorPtr error;
    const bool started = g_spawn_async(nullptr, arguments.data(), env.get(),
        GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL), nullptr, nullptr,
        &pid_, ErrorOut(error));
    if (!started)
        throw std::runtime_error("cannot start " + argv.at(0) + ": " + error->message);
}

ChildProcess::~ChildProcess()
{
    signal(stopSignal_);
    if (!status_)
        waitpid(pid_, nullptr, 0);
    g_spawn_close_pid(pid_);
}

void ChildProcess::signal(int number) const
{
    if (!status_)
        kill(pid_, number);
}

std::optional<int> ChildProcess::waitForExit(double seconds)
{
    const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * G_USEC_PER_SEC);
    for (int status = 0; !status_; g_usleep(10'000)) {
        if (waitpid(pid_, &status, WNOHANG) == pid_)
            status_ = decode(status);
        else if (g_get_monotonic_time() > deadline)
            break;
    }
    return status_;
}

InputContextHolder::InputContextHolder() : ChildProcess({ LULLSWITCH_TEST_IC }, {}, SIGTERM) { }

bool InputContextHolder::waitUntilFocused(double seconds)
{
    return iterateUntil([] { return !fcitxCurrentInputMethod().value_or("").empty(); }, seconds);
}

} // namespace lullswitch::session_test
