// SPDX-License-Identifier: GPL-2.0-or-later
// The pure rules of the AT channel: answer collection, set command composition and the
// cut-out of results.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "at_answer.h"

namespace {

// Cut-out --------------------------------------------------------------------------

struct CutCase {
    const char *what;
    AtCutRule rule;
    std::string answer;
    std::optional<std::string> expected;
};

class CutOut : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutOut, GivesTheExpectedToken) {
    const CutCase &c = GetParam();
    std::optional<std::string_view> got = quil_at_cut_out(c.rule, c.answer);
    if (!c.expected) {
        EXPECT_FALSE(got.has_value()) << c.what << ": got \"" << std::string(*got) << "\"";
    } else {
        ASSERT_TRUE(got.has_value()) << c.what;
        EXPECT_EQ(std::string(*got), *c.expected) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CutOut,
    ::testing::Values(
        CutCase{"quoted version", AtCutRule::quoted,
                "AT+GTSAPFWVER?\r\r\n+GTSAPFWVER: \"81600.0000.00.29\"\r\n\r\nOK\r\n",
                "81600.0000.00.29"},
        CutCase{"no quote at all", AtCutRule::quoted, "AT+GTSAPFWVER?\r\r\nOK\r\n", std::nullopt},
        CutCase{"one quote: rest of the answer", AtCutRule::quoted, "x\"abc\r\nOK", "abc\r\nOK"},
        CutCase{"line after echo", AtCutRule::after_lf, "AT+CGMR\r\r\nKT300.01.02\r\n\r\nOK\r\n",
                "KT300.01.02"},
        CutCase{"line without echo", AtCutRule::after_lf, "\r\n861234567890123\r\n\r\nOK\r\n",
                "861234567890123"},
        CutCase{"nothing after the only LF", AtCutRule::after_lf, "OK\n", std::nullopt},
        CutCase{"no LF", AtCutRule::after_lf, "OK", std::nullopt},
        CutCase{"rest after colon keeps its blank", AtCutRule::after_colon,
                "AT+GTOEMUSBID?\r\r\n+GTOEMUSBID: 3f1e,0a12\r\n\r\nOK\r\n", " 3f1e,0a12"},
        CutCase{"leading colons skipped", AtCutRule::after_colon, "::a:b\r\n", "b"},
        CutCase{"rest after blank", AtCutRule::after_blank,
                "AT+BODYSAREN?\r\r\n+BODYSAREN: 1\r\n\r\nOK\r\n", "1"},
        CutCase{"no blank", AtCutRule::after_blank, "+BODYSAREN:1\r\nOK", std::nullopt},
        CutCase{"second line: OK after echo", AtCutRule::second_line,
                "AT+GTFMODE=1\r\r\n\r\nOK\r\n", "OK"},
        CutCase{"second line: ERROR after echo", AtCutRule::second_line,
                "AT+GTFMODE=1\r\r\n\r\nERROR\r\n", "ERROR"},
        CutCase{"only one line", AtCutRule::second_line, "\r\nOK\r\n", std::nullopt},
        CutCase{"whole answer", AtCutRule::whole, "ATI7\r\r\nKT300\r\nOK\r\n",
                "ATI7\r\r\nKT300\r\nOK\r\n"},
        CutCase{"whole of nothing", AtCutRule::whole, "", std::nullopt}));

TEST(CutRule, TableNamesEachCidOnceAndOthersGetTheWholeAnswer) {
    std::set<int32_t> seen;
    for (const auto &row : at_cut_table)
        EXPECT_TRUE(seen.insert(row.cid).second) << std::hex << row.cid;

    struct {
        int32_t cid;
        AtCutRule rule;
    } const cases[] = {
        {0x1001, AtCutRule::quoted},      {0x1005, AtCutRule::quoted},
        {0x0100, AtCutRule::after_lf},    {0x1002, AtCutRule::after_lf},
        {0x4011, AtCutRule::after_lf},    {0x2002, AtCutRule::after_colon},
        {0x4024, AtCutRule::after_colon}, {0x4002, AtCutRule::after_blank},
        {0x4023, AtCutRule::after_blank}, {0x4005, AtCutRule::second_line},
        {0x4022, AtCutRule::second_line}, {0x3004, AtCutRule::whole},
        {0x4003, AtCutRule::whole},       {0x4025, AtCutRule::whole},
        {0x5000, AtCutRule::whole},
    };
    for (const auto &c : cases)
        EXPECT_EQ(quil_at_cut_rule(c.cid), c.rule) << std::hex << c.cid;
}

// Answer collection ------------------------------------------------------------------

// Feeds one "read" into the buffer the way the exchange does.
void feed(AtAnswerBuffer &buffer, std::string_view bytes) {
    std::size_t n = std::min(bytes.size(), buffer.room());
    std::memcpy(buffer.free_space(), bytes.data(), n);
    buffer.commit(static_cast<long>(n));
}

TEST(AnswerBuffer, FinalWordEndsCollectionEvenInsideAWordOrAcrossReads) {
    struct {
        std::vector<std::string> reads;
        bool final;
    } const cases[] = {
        {{"\r\nOK\r\n"}, true},     {{"\r\n+CME ERROR: 10\r\n"}, true},      {{"BOOKS"}, true},
        {{"\r\nO", "K\r\n"}, true}, {{"AT+CGMR\r", "\r\nKT300\r\n"}, false}, {{}, false},
    };
    for (const auto &c : cases) {
        AtAnswerBuffer buffer;
        for (const auto &r : c.reads)
            feed(buffer, r);
        EXPECT_EQ(buffer.has_final(), c.final) << (c.reads.empty() ? "" : c.reads[0]);
    }
}

TEST(AnswerBuffer, FailedOrEmptyReadNeverMovesTheFillPosition) {
    AtAnswerBuffer buffer;
    feed(buffer, "abc");
    for (long n : {-1L, 0L, -4096L}) {
        buffer.commit(n);
        EXPECT_EQ(buffer.filled(), 3u);
        EXPECT_EQ(buffer.text(), "abc");
    }
}

TEST(AnswerBuffer, FloodFillsToTheLastByteAndStaysTerminated) {
    AtAnswerBuffer buffer;
    std::string flood(5000, 'x');
    feed(buffer, flood.substr(0, 1000));
    feed(buffer, flood.substr(0, 1500));  // only 1047 of these fit
    EXPECT_TRUE(buffer.full());
    EXPECT_EQ(buffer.room(), 0u);
    EXPECT_EQ(buffer.filled(), AT_ANSWER_SIZE - 1);
    EXPECT_EQ(buffer.text().size(), AT_ANSWER_SIZE - 1);
    EXPECT_EQ(*buffer.free_space(), '\0');
    buffer.commit(100);  // a read that claims more than the room is not believed
    EXPECT_EQ(buffer.filled(), AT_ANSWER_SIZE - 1);
}

TEST(AnswerBuffer, TextEndsAtTheFirstNul) {
    AtAnswerBuffer buffer;
    feed(buffer, std::string_view("ab\0cd\r\nOK", 9));
    EXPECT_EQ(buffer.filled(), 9u);
    EXPECT_EQ(buffer.text(), "ab");
    EXPECT_TRUE(buffer.has_final());
}

// Set command composition ------------------------------------------------------------

struct ComposeCase {
    const char *what;
    std::string row;
    std::string payload;
    SetCommandStatus status;
    std::string command;  // when ok
};

class Compose : public ::testing::TestWithParam<ComposeCase> {};

TEST_P(Compose, AcceptsOnlyArgumentsThatFit) {
    const ComposeCase &c = GetParam();
    char out[AT_SET_COMMAND_SIZE];
    std::memset(out, '#', sizeof(out));
    EXPECT_EQ(quil_at_compose_set_command(c.row, c.payload, out, sizeof(out)), c.status) << c.what;
    if (c.status == SetCommandStatus::ok)
        EXPECT_STREQ(out, c.command.c_str()) << c.what;
    else
        EXPECT_EQ(out[0], '#') << c.what << ": nothing may be written";
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, Compose,
    ::testing::Values(
        ComposeCase{"plain", "AT+GTFMODE=", "1", SetCommandStatus::ok, "AT+GTFMODE=1"},
        ComposeCase{"rest of a list", "AT+BODYSARON=1,", "2,3", SetCommandStatus::ok,
                    "AT+BODYSARON=1,2,3"},
        ComposeCase{"empty payload", "AT+GTFMODE=", "", SetCommandStatus::ok, "AT+GTFMODE="},
        ComposeCase{"exactly 127", "AT+GTFMODE=", std::string(116, '1'), SetCommandStatus::ok,
                    "AT+GTFMODE=" + std::string(116, '1')},
        ComposeCase{"128 is too long", "AT+GTFMODE=", std::string(117, '1'),
                    SetCommandStatus::too_long, ""},
        ComposeCase{"huge payload", "AT+GTFMODE=", std::string(2023, '1'),
                    SetCommandStatus::too_long, ""},
        ComposeCase{"CR", "AT+GTFMODE=", "1\rAT+CFUN=0", SetCommandStatus::illegal_character, ""},
        ComposeCase{"LF", "AT+GTFMODE=", "1\nAT+CFUN=0", SetCommandStatus::illegal_character, ""},
        ComposeCase{"ctrl-Z", "AT+GTFMODE=", "1\x1a", SetCommandStatus::illegal_character, ""},
        ComposeCase{"chained command", "AT+GTFMODE=", "1;+CFUN=0",
                    SetCommandStatus::illegal_character, ""},
        ComposeCase{"semicolon inside quotes", "AT+GTESIMCFG=", "\"a;b\"", SetCommandStatus::ok,
                    "AT+GTESIMCFG=\"a;b\""},
        ComposeCase{"semicolon after quotes", "AT+GTESIMCFG=", "\"a\";+CFUN=0",
                    SetCommandStatus::illegal_character, ""},
        // A quote left open hides the ';' from the check above, and the modem may read
        // the line differently: refused whatever follows it.
        ComposeCase{"unbalanced quote hides a chained command", "AT+BODYSARON=1,",
                    "1,\"x;AT+CFUN=", SetCommandStatus::illegal_character, ""},
        ComposeCase{"one quote alone", "AT+GTESIMCFG=", "\"", SetCommandStatus::illegal_character,
                    ""},
        ComposeCase{"three quotes", "AT+GTESIMCFG=", "\"a\",\"b",
                    SetCommandStatus::illegal_character, ""},
        ComposeCase{"two quoted strings", "AT+GTESIMCFG=", "\"a\",\"b;c\"", SetCommandStatus::ok,
                    "AT+GTESIMCFG=\"a\",\"b;c\""},
        ComposeCase{"empty quoted string", "AT+GTESIMCFG=", "\"\"", SetCommandStatus::ok,
                    "AT+GTESIMCFG=\"\""}));

// The set handler hands over the payload of an empty request as an empty view without
// a pointer; under UndefinedBehaviorSanitizer a copy from it is a fault.
TEST(Compose, EmptyViewsWithoutPointerAreComposed) {
    char out[AT_SET_COMMAND_SIZE];
    EXPECT_EQ(quil_at_compose_set_command("AT+GTFMODE=", std::string_view{}, out, sizeof(out)),
              SetCommandStatus::ok);
    EXPECT_STREQ(out, "AT+GTFMODE=");
    EXPECT_EQ(quil_at_compose_set_command(std::string_view{}, std::string_view{}, out, sizeof(out)),
              SetCommandStatus::ok);
    EXPECT_STREQ(out, "");
}

TEST(Compose, SmallOutputBufferIsHonoured) {
    char out[8];
    EXPECT_EQ(quil_at_compose_set_command("AT+X=", "12", out, sizeof(out)), SetCommandStatus::ok);
    EXPECT_STREQ(out, "AT+X=12");
    EXPECT_EQ(quil_at_compose_set_command("AT+X=", "123", out, sizeof(out)),
              SetCommandStatus::too_long);
}

// Smaller rules ----------------------------------------------------------------------

TEST(Syscmd, OnlyTheLowerCaseRebootCommandsReadNothing) {
    EXPECT_TRUE(quil_at_is_syscmd("at+syscmd=sys_reboot bootloader\r\n"));
    EXPECT_TRUE(quil_at_is_syscmd("at+syscmd=sys_reboot edl\r\n"));
    EXPECT_FALSE(quil_at_is_syscmd("AT+SYSCMD=sys_reboot edl\r\n"));
    EXPECT_FALSE(quil_at_is_syscmd("AT+CGMR\r\n"));
}

TEST(UsbId, ColonsAndNewlinesAreRemoved) {
    struct {
        const char *in;
        const char *out;
    } const cases[] = {
        {"3f1e:0a12\n", "3f1e0a12"},
        {"0000:0000", "00000000"},
        {"AT\r\r\nOK\r\n", "AT\r\rOK\r"},
        {"", ""},
    };
    for (const auto &c : cases) {
        char buf[64];
        std::snprintf(buf, sizeof(buf), "%s", c.in);
        EXPECT_EQ(quil_at_strip_usb_id(buf), std::strlen(c.out));
        EXPECT_STREQ(buf, c.out);
    }
}

}  // namespace
