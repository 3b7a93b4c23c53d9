// SPDX-License-Identifier: GPL-2.0-or-later
// The D-Bus helper's pure rules: which sendMesg len is honoured, how a response
// payload is made fit for a D-Bus string, and which reset GPIO a SKU text selects.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "gpio_reset.h"
#include "request_payload.h"

namespace {

struct LenCase {
    int32_t len;
    std::size_t payload_size;
    bool valid;
};

TEST(RequestLen, Table) {
    const LenCase cases[] = {
        {0, 0, true},          {3, 3, true},
        {2, 3, true},          {-1, 3, false},
        {4, 3, false},         {2023, 2023, true},
        {2023, 5000, true},    {2024, 2024, false},
        {INT32_MIN, 0, false}, {INT32_MAX, 5000, false},
    };
    for (const LenCase &c : cases)
        EXPECT_EQ(quil_request_len_valid(c.len, c.payload_size), c.valid)
            << "len " << c.len << " payload " << c.payload_size;
}

struct TextCase {
    std::string_view payload;
    std::string expected;
    bool repaired;
};

TEST(ReplyPayloadText, Table) {
    using namespace std::string_view_literals;
    const TextCase cases[] = {
        {"ERROR"sv, "ERROR", false},
        {""sv, "", false},
        {"ab\0cd"sv, "ab", false},  // a D-Bus string ends at the first NUL
        {"caf\xc3\xa9"sv, "caf\xc3\xa9", false},
        {"bad\xff"sv, "bad\xef\xbf\xbd", true},
        {"\xc3"sv, "\xef\xbf\xbd", true},  // a sequence cut at the end
        {"a\xff\0\xff"sv, "a\xef\xbf\xbd", true},
    };
    for (const TextCase &c : cases) {
        bool repaired = !c.repaired;
        EXPECT_EQ(quil_reply_payload_text(c.payload, &repaired), c.expected);
        EXPECT_EQ(repaired, c.repaired);
    }
}

struct SkuCase {
    std::string_view text;
    int32_t gpio;
};

TEST(SkuidGpio, Table) {
    const SkuCase cases[] = {
        {"0CBD\n", 883},
        {"0C97", 596},
        {"0CC0", 0},
        {"0CB2", 717},
        {"0C0B", 595},
        {"ZZZZ", -1},
        {"", -1},
        // Two ids in one text: the one that comes first in the table wins.
        {"0CBD 0CB2", 717},
    };
    for (const SkuCase &c : cases)
        EXPECT_EQ(quil_skuid_gpio_lookup(c.text), c.gpio) << c.text;
}

}  // namespace
