// The cost of the watcher's four-times-a-second tick, with the real Linux
// preferences file underneath and nothing in it changing.

#include "fakes/FakePlatform.h"
#include "idle/IdleKeyboardWatcher.h"
#include "platform/linux/GLibMainLoop.h"
#include "platform/linux/KeyFileUserDefaults.h"
#include "settings/SettingsStore.h"

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace lullswitch {
namespace {

// The shared settings store binds to the first store it sees, for the whole
// process, so the file store lives as long as the process.
class BenchmarkPreferences {
public:
    BenchmarkPreferences()
        : directory_(makeDirectory()), defaults_(directory_ + "/lullswitch/preferences.ini", mainLoop_)
    {
    }
    ~BenchmarkPreferences()
    {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    linux_backend::KeyFileUserDefaults& defaults() { return defaults_; }

private:
    static std::string makeDirectory()
    {
        char pattern[] = "/tmp/lullswitch-bench-XXXXXX";
        if (!::mkdtemp(pattern)) {
            std::perror("lullswitch_bench: cannot make a directory in /tmp");
            std::exit(1);
        }
        return pattern;
    }

    std::string directory_;
    linux_backend::GLibMainLoop mainLoop_;
    linux_backend::KeyFileUserDefaults defaults_;
};

BenchmarkPreferences& preferences()
{
    static BenchmarkPreferences instance;
    return instance;
}

// One enabled tick per iteration: the isEnabled read, three idle readings,
// the delay callback's delaySeconds read (as the application's is) and the
// latch. Argument: the keyboard's idle seconds against the stored 2 s delay
// (0.1: typing; 60: idle, with the latch already set).
void enabledTickOverUnchangedFile(benchmark::State& state)
{
    auto& defaults = preferences().defaults();
    fakes::FakePlatform fakes;
    platform::Platform platform { defaults, fakes.keyboardEventClock, fakes.mainLoop, fakes.inputSources,
        fakes.statusBar, fakes.application };
    platform::ScopedPlatform installed(platform);

    auto& settings = SettingsStore::shared();
    settings.setIsEnabled(true);
    settings.setDelaySeconds(2.0);
    fakes.keyboardEventClock.setIdle(static_cast<double>(state.range(0)) / 10.0);

    int idleRuns = 0;
    auto watcher = IdleKeyboardWatcher::create([] { return SettingsStore::shared().delaySeconds(); });
    watcher->onIdle = [&idleRuns] { ++idleRuns; };
    watcher->start();
    fakes.mainLoop.fire();
    const auto parses = defaults.parseCount();

    for (auto _ : state)
        fakes.mainLoop.fire();

    if (defaults.parseCount() != parses)
        state.SkipWithError("the unchanged file was parsed again");
    if (idleRuns != (state.range(0) >= 20 ? 1 : 0))
        state.SkipWithError("the tick did not do what an enabled tick does");
    if (fakes.keyboardEventClock.readCount() != 3 * (static_cast<int>(state.iterations()) + 1))
        state.SkipWithError("not every tick took the three idle readings");
}

BENCHMARK(enabledTickOverUnchangedFile)
    ->Arg(1)
    ->Arg(600)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);

} // namespace
} // namespace lullswitch
