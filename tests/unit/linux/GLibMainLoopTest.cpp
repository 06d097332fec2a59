#include "platform/linux/GLibMainLoop.h"
#include "platform/linux/GLibHandles.h"

#include <gmock/gmock.h>

#include <glib.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lullswitch::linux_backend {
namespace {

// Drives a private main context, pushed as the thread default, for real
// timeouts of a few milliseconds.
class GLibMainLoopTest : public ::testing::Test {
protected:
    GLibMainLoopTest() { g_main_context_push_thread_default(context.get()); }
    ~GLibMainLoopTest() override { g_main_context_pop_thread_default(context.get()); }

    // Iterates the context for `milliseconds` of real time, or until `done`.
    void runFor(
        int milliseconds, const std::function<bool()>& done = [] { return false; })
    {
        const gint64 end = g_get_monotonic_time() + milliseconds * 1000;
        while (!done() && g_get_monotonic_time() < end)
            if (!g_main_context_iteration(context.get(), FALSE))
                g_usleep(500);
    }

    platform::UniqueCPtr<GMainContext, g_main_context_unref> context { g_main_context_new() };
    GLibMainLoop loop;
};

TEST_F(GLibMainLoopTest, FirstRunAfterTheIntervalThenEveryInterval)
{
    // The context has run before and sat idle, as the agent's loop has when a
    // menu command restarts the watcher.
    runFor(5);
    g_usleep(30000);

    std::vector<gint64> runs;
    const gint64 scheduled = g_get_monotonic_time();
    // Each run as the context timed it: the next interval counts from that
    // time, not from when the handler gets to read the clock.
    auto timer = loop.scheduleRepeating(0.05, [&] { runs.push_back(g_source_get_time(g_main_current_source())); });
    g_main_context_iteration(context.get(), FALSE);
    EXPECT_TRUE(runs.empty()) << "not due yet";
    runFor(2000, [&] { return runs.size() >= 3; });
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_GE(runs[0] - scheduled, 50000);
    for (std::size_t i = 1; i < runs.size(); ++i)
        EXPECT_GE(runs[i] - runs[i - 1], 50000) << "run " << i;
}

// How long the context would sleep before the first run, asked without
// waiting it out.
TEST_F(GLibMainLoopTest, IntervalIsRoundedToMilliseconds)
{
    const std::pair<double, int> cases[]
        = { { 0.25, 250 }, { 0.0016, 2 }, { 0.0004, 0 }, { -1.0, 0 }, { std::nan(""), 0 } };
    for (const auto& [seconds, milliseconds] : cases) {
        auto timer = loop.scheduleRepeating(seconds, [] {});
        ASSERT_TRUE(g_main_context_acquire(context.get()));
        gint priority = 0, timeout = -1;
        g_main_context_prepare(context.get(), &priority);
        GPollFD fds[8];
        g_main_context_query(context.get(), priority, &timeout, fds, 8);
        g_main_context_release(context.get());
        EXPECT_THAT(timeout, ::testing::AllOf(::testing::Le(milliseconds), ::testing::Ge(milliseconds - 2))) << seconds;
    }
}

// Timers run on the thread-default context only. Destroying a timer stops it,
// even when overdue, and releases its handler.
// A handler may destroy its own timer (its captured text outlives the call;
// the sanitizer build sees a use after free) and another due one, which then
// never runs: due together, timers run in the order they were made.
TEST_F(GLibMainLoopTest, DestroyingATimerStopsItAndReleasesItsHandlerEvenFromAHandler)
{
    auto token = std::make_shared<int>(0);
    std::vector<int> runs(3);
    platform::TimerHandle first, second;
    std::string seenAfterReset;
    first = loop.scheduleRepeating(0.005, [&, token, text = std::string(64, 'h')] {
        ++runs[0];
        second.reset();
        first.reset();
        seenAfterReset = text;
    });
    second = loop.scheduleRepeating(0.005, [&] {
        ++runs[1];
        first.reset();
    });
    auto overdue = loop.scheduleRepeating(0.005, [&] { ++runs[2]; });
    g_usleep(10000);
    while (g_main_context_iteration(g_main_context_default(), FALSE)) { }
    overdue.reset();
    runFor(60);
    EXPECT_EQ(runs, (std::vector<int> { 1, 0, 0 }));
    EXPECT_EQ(token.use_count(), 1) << "the handler is released with the timer";
    EXPECT_EQ(seenAfterReset, std::string(64, 'h'));
}

} // namespace
} // namespace lullswitch::linux_backend
