// lullswitch_agent_bench: the whole agent's cost and speed, inside a virtual
// session (run it through scripts/bench-agent):
//   - CPU time (user + system) while it watches an idle keyboard, extrapolated
//     to one hour, and its peak resident memory;
//   - the latency from the idle delay being reached to fcitx5 reporting the
//     alphanumeric input method, over many trials;
//   - side by side in the same window, the shell loop a user could write
//     instead (xprintidle and fcitx5-remote every 0.25 s), and the CPU ratio.
//
//   lullswitch_agent_bench [--idle-seconds=60] [--trials=20]
#include "SessionSupport.h"
#include "TestTrayHost.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <glib-unix.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace lullswitch;
using namespace lullswitch::tray_test;

constexpr double delaySeconds = 2.0;

struct Targets {
    static constexpr double cpuSecondsPerHour = 0.5;
    static constexpr double peakRssKiB = 8 * 1024;
    static constexpr double latencyP95 = 0.3;
    static constexpr double cpuRatio = 100;
};

void sleepFor(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

double now()
{
    return static_cast<double>(g_get_monotonic_time()) / G_USEC_PER_SEC;
}

// Fields of /proc/<pid>/stat after the command name, 1-based as in proc(5).
std::vector<std::string> statFields(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    std::vector<std::string> fields = { "", "", "" };
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    while (rest >> field)
        fields.push_back(field);
    return fields;
}

// utime + stime (+ cutime + cstime: children it has waited for), seconds,
// in clock ticks as /proc/<pid>/stat counts them.
double statCpuSeconds(int pid, bool withChildren)
{
    const auto fields = statFields(pid);
    if (fields.size() < 17)
        return 0;
    double ticks = std::stod(fields[14]) + std::stod(fields[15]);
    if (withChildren)
        ticks += std::stod(fields[16]) + std::stod(fields[17]);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Time on CPU of every thread, in nanoseconds (/proc/<pid>/task/*/schedstat):
// the precise figure behind the ticks.
double scheduledCpuSeconds(int pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    if (DIR* tasks = opendir(dir.c_str())) {
        while (dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] == '.')
                continue;
            std::ifstream in(dir + "/" + entry->d_name + "/schedstat");
            double nanoseconds = 0;
            if (in >> nanoseconds)
                total += nanoseconds / 1e9;
        }
        closedir(tasks);
    }
    return total;
}

double statusKiB(int pid, const char* key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return std::stod(line.substr(std::strlen(key) + 1));
    return 0;
}

std::string currentInputMethod()
{
    return session_test::fcitxCurrentInputMethod().value_or("");
}

// A process that does nothing but wake four times a second on a GLib timer:
// the floor under any 0.25 s poller on this machine.
int runEmptyTimer()
{
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_timeout_add(
        250, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    g_unix_signal_add(
        SIGTERM,
        [](gpointer data) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(data));
            return G_SOURCE_REMOVE;
        },
        loop);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    return 0;
}

class Child {
public:
    explicit Child(std::vector<std::string> argv)
    {
        std::vector<gchar*> args;
        for (auto& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        if (!g_spawn_async(nullptr, args.data(), nullptr,
                static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr, nullptr, &pid_,
                nullptr))
            throw TrayError("cannot start " + argv.front());
    }
    ~Child()
    {
        kill(pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
        g_spawn_close_pid(pid_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    int pid() const { return pid_; }

private:
    GPid pid_ = 0;
};

// The obvious alternative, as a user would write it.
class ShellLoop : public Child {
public:
    ShellLoop() : Child({ "bash", "-c", script }) { }

private:
    static constexpr const char* script
        = "while :; do"
          "  if [ \"$(xprintidle)\" -ge 2000 ] && [ \"$(fcitx5-remote -n)\" = anthy ]; then"
          "    fcitx5-remote -s keyboard-us;"
          "  fi;"
          "  sleep 0.25;"
          "done";
};

double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const double rank = fraction * static_cast<double>(values.size() - 1);
    const auto low = static_cast<std::size_t>(rank);
    const auto high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (rank - static_cast<double>(low));
}

const char* verdict(bool met)
{
    return met ? "met" : "MISSED";
}

int benchmark(double idleSeconds, int trials)
{
    TestTrayHost panel;
    session_test::InputContextHolder inputContext;
    if (!inputContext.waitUntilFocused())
        throw TrayError("fcitx5 gave no input context");
    session_test::fcitxSetCurrentInputMethod("keyboard-us");
    session_test::ChildProcess agent(
        { LULLSWITCH_AGENT }, { { "XDG_CONFIG_HOME", std::string(g_getenv("XDG_CONFIG_HOME")) } });
    if (!session_test::iterateUntil([&] { return !panel.items().empty(); }, 10))
        throw TrayError("the agent's item did not register");
    sleepFor(1.0);
    const int pid = agent.pid();

    std::printf("Idle watching, %.0f s, the agent and the shell loop side by side...\n", idleSeconds);
    std::fflush(stdout);
    double agentTicks;
    double agentPrecise;
    double shellCpu;
    double floorCpu;
    {
        ShellLoop shell;
        Child emptyTimer({ "/proc/self/exe", "--empty-timer" });
        sleepFor(0.5);
        const double floorStart = scheduledCpuSeconds(emptyTimer.pid());
        const double shellStart = statCpuSeconds(shell.pid(), true);
        const double agentTicksStart = statCpuSeconds(pid, false);
        const double agentPreciseStart = scheduledCpuSeconds(pid);
        const double start = now();
        sleepFor(idleSeconds);
        const double elapsed = now() - start;
        agentTicks = (statCpuSeconds(pid, false) - agentTicksStart) / elapsed * 3600;
        agentPrecise = (scheduledCpuSeconds(pid) - agentPreciseStart) / elapsed * 3600;
        shellCpu = (statCpuSeconds(shell.pid(), true) - shellStart) / elapsed * 3600;
        floorCpu = (scheduledCpuSeconds(emptyTimer.pid()) - floorStart) / elapsed * 3600;
    }

    std::printf("Latency, %d trials: Japanese input on, one key, then hands off...\n", trials);
    std::fflush(stdout);
    std::vector<double> latencies;
    for (int trial = 0; trial < trials; ++trial) {
        session_test::fcitxSetCurrentInputMethod("anthy");
        session_test::run({ "xdotool", "key", "a" });
        const double lastKey = now();
        while (currentInputMethod() != "keyboard-us" && now() - lastKey < delaySeconds + 3)
            sleepFor(0.002);
        const double switched = now();
        if (currentInputMethod() != "keyboard-us")
            throw TrayError("no switch in trial " + std::to_string(trial));
        latencies.push_back(switched - lastKey - delaySeconds);
        // A pause of a different length before each trial, so that trials do
        // not all meet the watcher's tick at the same phase.
        sleepFor(0.1 + 0.037 * (trial % 7));
    }
    const double peakKiB = statusKiB(pid, "VmHWM:");
    const double rssKiB = statusKiB(pid, "VmRSS:");
    agent.signal(SIGTERM);
    const auto status = agent.waitForExit(5);

    const double p50 = percentile(latencies, 0.5);
    const double p95 = percentile(latencies, 0.95);
    const double ratio = agentPrecise > 0 ? shellCpu / agentPrecise : 0;
    std::printf("\n");
    std::printf("CPU while idle watching, per hour of wall time:\n");
    std::printf("  lullswitch    %.3f s (thread run time from schedstat); %.2f s from /proc/<pid>/stat ticks of "
                "1/%ld s   target <= %.1f s: %s\n",
        agentPrecise, agentTicks, sysconf(_SC_CLK_TCK), Targets::cpuSecondsPerHour,
        verdict(agentPrecise <= Targets::cpuSecondsPerHour));
    std::printf("  empty timer   %.3f s (a process that only wakes every 0.25 s: this machine's floor)\n", floorCpu);
    std::printf("  shell loop    %.1f s (xprintidle + fcitx5-remote every 0.25 s, children included)\n", shellCpu);
    std::printf("  ratio         %.0fx less CPU   target >= %.0fx: %s\n", ratio, Targets::cpuRatio,
        verdict(ratio >= Targets::cpuRatio));
    std::printf("Memory: peak RSS (VmHWM) %.0f KiB, RSS at the end %.0f KiB   target <= %.0f KiB: %s\n", peakKiB,
        rssKiB, Targets::peakRssKiB, verdict(peakKiB <= Targets::peakRssKiB));
    std::printf(
        "Latency from the %.0f s delay being reached to keyboard-us, %zu trials:\n", delaySeconds, latencies.size());
    std::printf("  p50 %.3f s  p95 %.3f s  min %.3f s  max %.3f s   target p95 <= %.1f s: %s\n", p50, p95,
        *std::min_element(latencies.begin(), latencies.end()), *std::max_element(latencies.begin(), latencies.end()),
        Targets::latencyP95, verdict(p95 <= Targets::latencyP95));
    std::printf("Agent exit status after SIGTERM: %d\n", status.value_or(-1));
    const bool allMet = agentPrecise <= Targets::cpuSecondsPerHour && ratio >= Targets::cpuRatio
        && peakKiB <= Targets::peakRssKiB && p95 <= Targets::latencyP95 && status == 0;
    return allMet ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    double idleSeconds = 60;
    int trials = 20;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--empty-timer")
            return runEmptyTimer();
        if (arg.rfind("--idle-seconds=", 0) == 0)
            idleSeconds = std::stod(arg.substr(15));
        else if (arg.rfind("--trials=", 0) == 0)
            trials = std::stoi(arg.substr(9));
        else {
            std::fprintf(stderr, "usage: %s [--idle-seconds=60] [--trials=20]\n", argv[0]);
            return 2;
        }
    }
    try {
        return benchmark(idleSeconds, std::max(trials, 2));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "lullswitch_agent_bench: %s\n", error.what());
        return 1;
    }
}
