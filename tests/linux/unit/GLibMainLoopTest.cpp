#include "platform/linux/GLibMainLoop.h"

#include <gtest/gtest.h>

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
    GLibMainLoopTest() : context_(g_main_context_new()) { g_main_context_push_thread_default(context_); }
    ~GLibMainLoopTest() override
    {
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }

    // Iterates the context for `milliseconds` of real time, or until `done`.
    void runFor(
        int milliseconds, const std::function<bool()>& done = [] { return false; })
    {
        bool isOver = false;
        GSource* guard = g_timeout_source_new(static_cast<guint>(milliseconds));
        g_source_set_callback(
            guard,
            [](gpointer data) {
                *static_cast<bool*>(data) = true;
                return G_SOURCE_REMOVE;
            },
            &isOver, nullptr);
        g_source_attach(guard, context_);
        while (!isOver && !done())
            g_main_context_iteration(context_, TRUE);
        g_source_destroy(guard);
        g_source_unref(guard);
    }

    GMainContext* context_;
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
    auto timer = loop.scheduleRepeating(0.05, [&] { runs.push_back(g_get_monotonic_time()); });
    g_main_context_iteration(context_, FALSE);
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
    struct Case {
        double seconds;
        int milliseconds;
    };
    const Case cases[] = { { 0.25, 250 }, { 0.0016, 2 }, { 0.0004, 0 }, { -1.0, 0 }, { std::nan(""), 0 } };
    for (const auto& c : cases) {
        auto timer = loop.scheduleRepeating(c.seconds, [] {});
        ASSERT_TRUE(g_main_context_acquire(context_));
        gint priority = 0;
        g_main_context_prepare(context_, &priority);
        gint timeout = -1;
        GPollFD fds[8];
        g_main_context_query(context_, priority, &timeout, fds, 8);
        g_main_context_release(context_);
        EXPECT_LE(timeout, c.milliseconds) << c.seconds;
        EXPECT_GE(timeout, c.milliseconds - 2) << c.seconds;
    }
}

TEST_F(GLibMainLoopTest, RunsOnlyOnTheThreadDefaultContext)
{
    int runs = 0;
    auto timer = loop.scheduleRepeating(0.001, [&] { ++runs; });
    g_usleep(5000);
    g_main_context_push_thread_default(nullptr);
    while (g_main_context_iteration(nullptr, FALSE)) { }
    g_main_context_pop_thread_default(nullptr);
    EXPECT_EQ(runs, 0);
    runFor(200, [&] { return runs > 0; });
    EXPECT_EQ(runs, 1);
}

TEST_F(GLibMainLoopTest, DestroyingTheTimerStopsItAndReleasesTheHandler)
{
    auto token = std::make_shared<int>(0);
    int runs = 0;
    auto timer = loop.scheduleRepeating(0.005, [&runs, token] { ++runs; });
    EXPECT_EQ(token.use_count(), 2);

    runFor(500, [&] { return runs == 2; });
    ASSERT_EQ(runs, 2);
    timer.reset();
    EXPECT_EQ(token.use_count(), 1) << "the handler is released with the timer";
    runFor(40);
    EXPECT_EQ(runs, 2);

    // Destroyed when overdue but not yet dispatched: it never runs.
    timer = loop.scheduleRepeating(0.005, [&runs] { ++runs; });
    g_usleep(10000);
    timer.reset();
    runFor(40);
    EXPECT_EQ(runs, 2);
}

// A handler may destroy its own timer (reading its captured text after the
// reset shows it outlives its call; the sanitizer build catches a use after
// free) and another due one, which then never runs. Due together, timers run
// in the order they were made.
TEST_F(GLibMainLoopTest, HandlerMayDestroyItsOwnOrAnotherDueTimer)
{
    platform::TimerHandle first;
    platform::TimerHandle second;
    int firstRuns = 0;
    int secondRuns = 0;
    std::string seenAfterCancel;
    first = loop.scheduleRepeating(0.005, [&, text = std::string(64, 'h')] {
        ++firstRuns;
        second.reset();
        first.reset();
        seenAfterCancel = text;
    });
    second = loop.scheduleRepeating(0.005, [&] {
        ++secondRuns;
        first.reset();
    });
    g_usleep(10000);
    runFor(60);
    EXPECT_EQ(firstRuns, 1);
    EXPECT_EQ(secondRuns, 0);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(seenAfterCancel, std::string(64, 'h'));
}

} // namespace
} // namespace lullswitch::linux_backend
