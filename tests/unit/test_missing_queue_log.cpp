// SPDX-License-Identifier: GPL-2.0-or-later
// The rate of a looping receiver's "message queue not existed!" lines.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "helper_queue.h"

namespace {

using namespace std::chrono_literals;
using Clock = MissingQueueLog::Clock;

// Attempts every 200 ms, as a receiver pauses between them.
constexpr auto kPause = 200ms;

TEST(MissingQueueLog, FirstAttemptThenOnceAMinute) {
    MissingQueueLog log;
    Clock::time_point t0 = Clock::now();
    std::vector<unsigned> logged_at;            // attempt numbers that gave a line
    for (int i = 0; i < 5 * 60 * 3 + 1; ++i) {  // three minutes and one attempt
        if (log.attempt(t0 + i * kPause))
            logged_at.push_back(log.attempts());
    }
    EXPECT_EQ(logged_at, (std::vector<unsigned>{1, 301, 601, 901}));
}

TEST(MissingQueueLog, FoundEndsTheAbsenceAndTheNextOneIsLoggedAtOnce) {
    MissingQueueLog log;
    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(log.found(), 0u) << "no absence yet";
    EXPECT_TRUE(log.attempt(t0));
    EXPECT_FALSE(log.attempt(t0 + kPause));
    EXPECT_FALSE(log.attempt(t0 + 2 * kPause));
    EXPECT_EQ(log.found(), 3u);
    EXPECT_EQ(log.attempts(), 0u);
    // Gone again a moment later: a new absence, reported at its first attempt.
    EXPECT_TRUE(log.attempt(t0 + 3 * kPause));
    EXPECT_EQ(log.attempts(), 1u);
}

}  // namespace
