// SPDX-License-Identifier: GPL-2.0-or-later
// The command-name table of quilctl and its agreement check with the MBIM helper's
// command table.
#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>

#include "command_names.h"
#include "command_table.h"

using quil::CommandKind;
using quil::DaemonRow;
using quil::DaemonRowKind;
using quil::NamesProblem;
using quil::PayloadRule;

namespace {

bool kebab_case(std::string_view name) {
    if (name.empty() || name.front() == '-' || name.back() == '-')
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        bool fits = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
        if (!fits || (c == '-' && name[i + 1] == '-'))
            return false;
    }
    return true;
}

}  // namespace

TEST(CommandNames, NamesAndCidsAreUniqueAndNamesAreKebabCase) {
    std::set<std::string_view> names;
    std::set<int32_t> cids;
    for (const auto &row : quil::command_names) {
        EXPECT_TRUE(names.insert(row.name).second) << row.name;
        EXPECT_TRUE(cids.insert(row.cid).second) << row.name;
        EXPECT_TRUE(kebab_case(row.name)) << row.name;
        EXPECT_FALSE(row.description.empty()) << row.name;
        // The words quilctl keeps for itself are no command names.
        for (std::string_view word : {"raw", "list", "flash", "monitor", "help"})
            EXPECT_NE(row.name, word);
    }
}

TEST(CommandNames, PayloadRulesFollowTheKinds) {
    for (const auto &row : quil::command_names) {
        SCOPED_TRACE(std::string(row.name));
        switch (row.kind) {
            case CommandKind::query:
            case CommandKind::local:
                EXPECT_EQ(row.payload, PayloadRule::none);
                break;
            case CommandKind::set:
            case CommandKind::flash:
                EXPECT_EQ(row.payload, PayloadRule::required);
                break;
        }
    }
}

// The names a user meets first, with what they stand for.
TEST(CommandNames, WellKnownNames) {
    struct Expected {
        std::string_view name;
        int32_t cid;
        CommandKind kind;
    };
    for (const Expected &e : {
             Expected{"fw-version", 0x1002, CommandKind::query},
             Expected{"imei", 0x1006, CommandKind::query},
             Expected{"sar-enable", 0x4001, CommandKind::set},
             Expected{"sar-state", 0x4002, CommandKind::query},
             Expected{"slot", 0x4027, CommandKind::query},
             Expected{"slot-set", 0x4028, CommandKind::set},
             Expected{"port-state", 0x2001, CommandKind::local},
             Expected{"reset", 0x2003, CommandKind::local},
             Expected{"home-network", 0x1007, CommandKind::query},
             Expected{"registered-network", 0x4026, CommandKind::query},
             Expected{"module-reset", 0x0100, CommandKind::query},
             Expected{"fastboot-flash", 0x100a, CommandKind::flash},
             Expected{"edl-flash", 0x2004, CommandKind::flash},
         }) {
        const quil::CommandName *row = quil::find_command_name(e.name);
        ASSERT_NE(row, nullptr) << e.name;
        EXPECT_EQ(row->cid, e.cid) << e.name;
        EXPECT_EQ(row->kind, e.kind) << e.name;
        EXPECT_EQ(quil::find_command_cid(e.cid), row);
    }
    EXPECT_EQ(quil::find_command_name("no-such-command"), nullptr);
    EXPECT_EQ(quil::find_command_cid(0x5000), nullptr);
}

// The daemon's table as it is: every served row named, the unserved ones may go
// without a name (quilctl raw reaches them).
TEST(CommandNames, AgreeWithTheDaemonTable) {
    for (const auto &row : quil::command_names) {
        if (row.kind == CommandKind::local)
            continue;
        EXPECT_NE(quil_find_command(row.cid), nullptr) << row.name;
    }
    for (int32_t cid : {0x1002, 0x4001, 0x4028, 0x100a, 0x2004, 0x3004})
        EXPECT_NE(quil::find_command_cid(cid), nullptr) << cid;
    // No completion, or no command text: the daemon always answers "ERROR".
    for (int32_t cid : {0x0001, 0x0019, 0x1009, 0x401e, 0x4006, 0x4029}) {
        EXPECT_NE(quil_find_command(cid), nullptr) << cid;
        EXPECT_EQ(quil::find_command_cid(cid), nullptr) << cid;
    }
}

// A small daemon table and its names, then one fault at a time.
constexpr std::array<DaemonRow, 5> kDaemon = {{
    {0x1002, DaemonRowKind::at_query},
    {0x4001, DaemonRowKind::at_set},
    {0x4028, DaemonRowKind::mbim},
    {0x100a, DaemonRowKind::fastboot_flash},
    {0x2001, DaemonRowKind::unserved},
}};
constexpr std::array<quil::CommandName, 5> kNames = {{
    {0x1002, "fw-version", CommandKind::query, PayloadRule::none, "d"},
    {0x4001, "sar-enable", CommandKind::set, PayloadRule::required, "d"},
    {0x4028, "slot-set", CommandKind::set, PayloadRule::required, "d"},
    {0x100a, "fastboot-flash", CommandKind::flash, PayloadRule::required, "d"},
    {0x2001, "port-state", CommandKind::local, PayloadRule::none, "d"},
}};
static_assert(quil::check_command_names(kDaemon, kNames).ok());

struct Broken {
    const char *what;
    int32_t cid;
    NamesProblem problem;
    void (*spoil)(std::array<DaemonRow, 5> &, std::array<quil::CommandName, 5> &);
};

class BrokenTable : public testing::TestWithParam<Broken> {};

TEST_P(BrokenTable, CheckerNamesTheFault) {
    auto daemon = kDaemon;
    auto names = kNames;
    GetParam().spoil(daemon, names);
    quil::NamesCheck check = quil::check_command_names(daemon, names);
    EXPECT_EQ(check.problem, GetParam().problem) << quil::names_problem_text(check.problem);
    EXPECT_EQ(check.cid, GetParam().cid);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BrokenTable,
    testing::Values(Broken{"set row named as a query", 0x4001, NamesProblem::kind_mismatch,
                           [](auto &, auto &n) {
                               n[1].kind = CommandKind::query;
                               n[1].payload = PayloadRule::none;
                           }},
                    Broken{"query row named as a set", 0x1002, NamesProblem::kind_mismatch,
                           [](auto &, auto &n) {
                               n[0].kind = CommandKind::set;
                               n[0].payload = PayloadRule::required;
                           }},
                    Broken{"new served row without a name", 0x4002,
                           NamesProblem::daemon_row_unnamed,
                           [](auto &d, auto &) {
                               d[4] = {0x4002, DaemonRowKind::at_query};
                           }},
                    Broken{"name whose row is gone", 0x4028, NamesProblem::name_without_row,
                           [](auto &d, auto &) {
                               d[2] = {0x0001, DaemonRowKind::unserved};
                           }},
                    Broken{"flash named as a query", 0x100a, NamesProblem::kind_mismatch,
                           [](auto &, auto &n) {
                               n[3].kind = CommandKind::query;
                               n[3].payload = PayloadRule::none;
                           }},
                    Broken{"query named on an unserved row", 0x2001, NamesProblem::kind_mismatch,
                           [](auto &, auto &n) { n[4].kind = CommandKind::query; }},
                    Broken{"set without a payload", 0x4001, NamesProblem::payload_rule_mismatch,
                           [](auto &, auto &n) { n[1].payload = PayloadRule::optional; }},
                    Broken{"two names for one cid", 0x1002, NamesProblem::duplicate_cid,
                           [](auto &, auto &n) { n[1].cid = 0x1002; }},
                    Broken{"one name twice", 0x4001, NamesProblem::duplicate_name,
                           [](auto &, auto &n) { n[1].name = "fw-version"; }},
                    Broken{"two daemon rows for one cid", 0x1002, NamesProblem::duplicate_cid,
                           [](auto &d, auto &) { d[1].cid = 0x1002; }}),
    [](const testing::TestParamInfo<Broken> &info) {
        std::string name = info.param.what;
        for (char &c : name)
            c = (c == ' ') ? '_' : c;
        return name;
    });
