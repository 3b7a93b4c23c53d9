// SPDX-License-Identifier: GPL-2.0-or-later
// The descriptor guard: creations wait while a descriptor may be closed twice, the
// holds nest in one thread, and a guarded main loop lets creations through only
// while it polls.
#include <glib.h>
#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "fd_guard.h"
#include "heap_block.h"

namespace {

using namespace std::chrono_literals;

// Starts a creation in another thread; the future is ready once it got through.
std::future<void> create_elsewhere() {
    return std::async(std::launch::async, [] { quil::DescriptorCreation creating; });
}

TEST(FdGuard, CreationWaitsForAClosingSection) {
    std::future<void> done;
    {
        quil::DescriptorClosing closing;
        done = create_elsewhere();
        EXPECT_EQ(done.wait_for(100ms), std::future_status::timeout);
    }
    EXPECT_EQ(done.wait_for(5s), std::future_status::ready);
}

TEST(FdGuard, HoldsNestInOneThread) {
    {
        quil::DescriptorClosing closing;
        quil::DescriptorClosing again;
        quil::DescriptorCreation creating;  // the closer may create: no-op, no deadlock
        EXPECT_TRUE(quil::descriptor_guard_held_exclusively());
    }
    EXPECT_FALSE(quil::descriptor_guard_held_exclusively());
    {
        quil::DescriptorCreation creating;
        quil::DescriptorCreation again;
        quil::DescriptorClosing closing;  // closes nothing twice in here: no deadlock
        EXPECT_FALSE(quil::descriptor_guard_held_exclusively());
    }
    EXPECT_EQ(create_elsewhere().wait_for(5s), std::future_status::ready);
}

TEST(FdGuard, OpenDescriptorOpens) {
    quil::UniqueFd fd = quil::open_descriptor("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_TRUE(fd);
    EXPECT_FALSE(quil::open_descriptor("/nonexistent/x", O_RDONLY));
}

// Last: the guarded loop keeps the guard for this thread for the rest of the process.
TEST(FdGuard, GuardedLoopLetsCreationsThroughOnlyWhileItPolls) {
    GMainContext *context = g_main_context_new();
    quil::guard_main_context_dispatch(context);
    EXPECT_TRUE(quil::descriptor_guard_held_exclusively());

    // While it dispatches (here: outside any iteration) nobody creates.
    std::future<void> done = create_elsewhere();
    EXPECT_EQ(done.wait_for(100ms), std::future_status::timeout);
    // One iteration that polls (up to the time-out) lets the waiting creation through.
    GSource *timeout = g_timeout_source_new(2000);
    g_source_set_callback(
        timeout, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(timeout, context);
    g_source_unref(timeout);
    std::atomic<bool> woken{false};
    std::thread waker([&] {
        done.wait();
        woken = true;
        g_main_context_wakeup(context);
    });
    auto start = std::chrono::steady_clock::now();
    while (!woken)
        g_main_context_iteration(context, TRUE);
    waker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    // Back from its poll, the loop holds the guard again: a creation started now
    // waits (for good: the thread is left behind when the test ends).
    EXPECT_TRUE(quil::descriptor_guard_held_exclusively());
    static std::atomic<bool> created{false};
    std::thread([] {
        quil::DescriptorCreation creating;
        created = true;
    }).detach();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(created);
    g_main_context_unref(context);
}

}  // namespace
