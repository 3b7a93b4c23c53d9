// SPDX-License-Identifier: GPL-2.0-or-later
// The SIM state table: every ready state with both values of the SIM-inserted flag,
// for an indication and for the answer to the subscriber ready status query.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim_state.h"

namespace {

using Source = SimStateSource;

struct Row {
    uint32_t ready_state;
    bool inserted;
    Source source;
    SimStateStep expected;
};

constexpr SimStateStep step(bool inserted, SimReport report, bool home, bool reg, unsigned logs) {
    return SimStateStep{inserted, report, home, reg, logs};
}

const std::vector<Row> table = {
    // 0 not initialised: reported as inserted once.
    {0, false, Source::Indication,
     step(true, SimReport::Inserted, false, false, SIM_LOG_INITIALIZING)},
    {0, true, Source::Indication,
     step(true, SimReport::None, false, false, SIM_LOG_INITIALIZING | SIM_LOG_INSERTED_BEFORE)},
    {0, false, Source::QueryAnswer,
     step(true, SimReport::Inserted, false, false, SIM_LOG_INITIALIZING)},
    // 1 initialised: the indication posts only the home provider query, the query answer
    // also the register state query.
    {1, false, Source::Indication, step(true, SimReport::Inserted, true, false, 0)},
    {1, false, Source::QueryAnswer, step(true, SimReport::Inserted, true, true, 0)},
    {1, true, Source::Indication,
     step(true, SimReport::None, false, false, SIM_LOG_INSERTED_BEFORE)},
    {1, true, Source::QueryAnswer,
     step(true, SimReport::None, false, false, SIM_LOG_INSERTED_BEFORE)},
    // 2 not inserted: "SIM removed" only after "SIM inserted".
    {2, false, Source::Indication,
     step(false, SimReport::None, false, false, SIM_LOG_NOT_INSERTED)},
    {2, true, Source::Indication, step(false, SimReport::Removed, false, false, 0)},
    {2, true, Source::QueryAnswer, step(false, SimReport::Removed, false, false, 0)},
    // 4 failure: like 2, with its own line first.
    {4, false, Source::Indication,
     step(false, SimReport::None, false, false, SIM_LOG_FAILURE | SIM_LOG_NOT_INSERTED)},
    {4, true, Source::Indication, step(false, SimReport::Removed, false, false, SIM_LOG_FAILURE)},
    // 6 locked, 7 no eSIM profile, 3, 5 and unknown values: nothing sent, flag kept.
    {6, false, Source::Indication, step(false, SimReport::None, false, false, SIM_LOG_LOCKED)},
    {6, true, Source::QueryAnswer, step(true, SimReport::None, false, false, SIM_LOG_LOCKED)},
    {7, false, Source::Indication, step(false, SimReport::None, false, false, SIM_LOG_NO_ESIM)},
    {7, true, Source::Indication, step(true, SimReport::None, false, false, SIM_LOG_NO_ESIM)},
    {3, false, Source::Indication, step(false, SimReport::None, false, false, SIM_LOG_UNSUPPORTED)},
    {5, true, Source::QueryAnswer, step(true, SimReport::None, false, false, SIM_LOG_UNSUPPORTED)},
    {0xffffffffu, true, Source::Indication,
     step(true, SimReport::None, false, false, SIM_LOG_UNSUPPORTED)},
};

TEST(SimState, TableRows) {
    for (const Row &row : table) {
        SCOPED_TRACE(testing::Message()
                     << "ready state " << row.ready_state << ", inserted " << row.inserted
                     << ", query answer " << (row.source == Source::QueryAnswer));
        SimStateStep got = quil_sim_state_step(row.ready_state, row.inserted, row.source);
        EXPECT_EQ(got.inserted, row.expected.inserted);
        EXPECT_EQ(got.report, row.expected.report);
        EXPECT_EQ(got.post_home_provider, row.expected.post_home_provider);
        EXPECT_EQ(got.post_register_state, row.expected.post_register_state);
        EXPECT_EQ(got.logs, row.expected.logs);
    }
}

// Sequences as the module reports them, starting with the flag clear.
TEST(SimState, Sequences) {
    struct Sequence {
        std::vector<uint32_t> states;
        std::vector<SimReport> reports;
        int home_provider_queries;
    };
    const std::vector<Sequence> sequences = {
        {{0, 1}, {SimReport::Inserted, SimReport::None}, 0},
        {{1, 1}, {SimReport::Inserted, SimReport::None}, 1},
        {{1, 2, 1}, {SimReport::Inserted, SimReport::Removed, SimReport::Inserted}, 2},
        {{6, 1}, {SimReport::None, SimReport::Inserted}, 1},
        {{2, 4, 2}, {SimReport::None, SimReport::None, SimReport::None}, 0},
        {{1, 4, 4}, {SimReport::Inserted, SimReport::Removed, SimReport::None}, 1},
    };
    for (const Sequence &seq : sequences) {
        bool inserted = false;
        int home_queries = 0;
        for (std::size_t i = 0; i < seq.states.size(); ++i) {
            SimStateStep got = quil_sim_state_step(seq.states[i], inserted, Source::Indication);
            EXPECT_EQ(got.report, seq.reports[i]) << "step " << i;
            home_queries += got.post_home_provider ? 1 : 0;
            inserted = got.inserted;
        }
        EXPECT_EQ(home_queries, seq.home_provider_queries);
    }
}

static_assert(quil_sim_state_step(1, false, Source::QueryAnswer).post_register_state);

}  // namespace
