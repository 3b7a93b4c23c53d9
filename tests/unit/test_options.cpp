// SPDX-License-Identifier: GPL-2.0-or-later
// Command line handling shared by both daemons.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log.h"

namespace {

struct OptionCase {
    const char *name;
    std::vector<std::string> args;
    int expected_level;
    bool prints_usage;
};

class OptionTable : public ::testing::TestWithParam<OptionCase> {};

int run_log_set(const std::vector<std::string> &args) {
    std::vector<std::string> storage = {"quil-helper-test"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    g_debug_level = 6;
    log_set(static_cast<int>(storage.size()), argv.data());
    return g_debug_level;
}

TEST_P(OptionTable, SetsTheLevelAndNeverStops) {
    const OptionCase &c = GetParam();
    ::testing::internal::CaptureStderr();
    int level = run_log_set(c.args);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(level, c.expected_level);
    EXPECT_EQ(!err.empty(), c.prints_usage) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Options, OptionTable,
    ::testing::Values(
        OptionCase{"none", {}, 6, false}, OptionCase{"level_9", {"-l", "9"}, 6, false},
        OptionCase{"level_0", {"-l", "0"}, 0, false}, OptionCase{"level_2", {"-l", "2"}, 2, false},
        OptionCase{"level_7_attached", {"-l7"}, 7, false},
        OptionCase{"level_not_a_number", {"-l", "abc"}, 0, false},
        OptionCase{"level_negative", {"-l", "-1"}, 6, false},
        OptionCase{"version", {"-v"}, 6, false}, OptionCase{"unknown", {"-x"}, 6, true},
        OptionCase{"level_missing_argument", {"-l"}, 6, true},
        OptionCase{"debug_ignores_operand", {"-d", "5"}, 7, false},
        OptionCase{"level_then_debug", {"-l", "3", "-d"}, 7, false},
        OptionCase{"debug_then_level", {"-d", "-l", "3"}, 3, false},
        OptionCase{"long_loglevel_value", {"--loglevel=4"}, 4, false},
        OptionCase{"long_loglevel_without_value", {"--loglevel"}, 6, false},
        OptionCase{"long_debug", {"--debug=x"}, 7, false},
        OptionCase{"long_debug_missing_argument", {"--debug"}, 6, true},
        OptionCase{"long_version", {"--version"}, 6, false},
        OptionCase{"unknown_then_level", {"-x", "-l", "1"}, 1, true}),
    [](const ::testing::TestParamInfo<OptionCase> &info) { return std::string(info.param.name); });

TEST(Usage, ExactText) {
    ::testing::internal::CaptureStderr();
    run_log_set({"-x"});
    std::string err = ::testing::internal::GetCapturedStderr();
    const std::string usage =
        " -v                     --force                      print  version\n"
        " -d <debug level:xx>    --debug <debug:num>          LOG Debug\n"
        " -l <id:file path>      --Level <Level:string>       Level for bin\n"
        "\n"
        "Example: \n"
        "./quil_flash -v -d -l 7\n";
    ASSERT_EQ(usage.size(), 233u);
    EXPECT_EQ(std::strlen(quil_usage_text), 233u);
    const std::string first_line =
        std::string(program_invocation_short_name) + " -v -d -l <Level> ...\n";
    // getopt's own complaint comes first; ours follows it.
    EXPECT_NE(err.find(first_line + usage), std::string::npos) << err;
    EXPECT_EQ(err.substr(err.size() - usage.size()), usage);
}

TEST(LogText, OutsideTextStaysOneLine) {
    EXPECT_EQ(quil_printable("md:M1"), "md:M1");
    EXPECT_EQ(quil_printable(std::string_view("a\nb\r\x7f\0c", 7)), "a\\x0ab\\x0d\\x7f\\x00c");
    EXPECT_EQ(quil_printable("$(id);`x`"), "$(id);`x`");
}

}  // namespace
