// SPDX-License-Identifier: GPL-2.0-or-later
// The flash request payloads that quilctl builds from its options.
#include <gtest/gtest.h>

#include <string>

#include "flash_request.h"

using quilctl::FastbootFields;

struct FastbootCase {
    const char *what;
    FastbootFields fields;
    const char *payload;  // null: refused
};

class FastbootPayload : public testing::TestWithParam<FastbootCase> {};

TEST_P(FastbootPayload, Built) {
    std::string error;
    auto payload = quilctl::fastboot_payload(GetParam().fields, &error);
    if (GetParam().payload == nullptr) {
        EXPECT_FALSE(payload) << *payload;
        EXPECT_FALSE(error.empty());
    } else {
        ASSERT_TRUE(payload) << error;
        EXPECT_EQ(*payload, GetParam().payload);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FastbootPayload,
    testing::Values(
        FastbootCase{"three_groups", {"", "A1", "M1", "", "", "P1"}, "ap:A1;md:M1;op:P1"},
        FastbootCase{"every_field",
                     {"/srv/pkg/", "A1", "M1", "D1", "O1", "P1"},
                     "path:/srv/pkg/;ap:A1;md:M1;dev:D1;oem:O1;op:P1"},
        FastbootCase{
            "path_gets_its_slash", {"/srv/pkg", "", "M1", "", "", ""}, "path:/srv/pkg/;md:M1"},
        FastbootCase{"no_group", {"/srv/pkg/", "", "", "", "", ""}, nullptr},
        FastbootCase{"relative_path", {"pkg/", "A1", "", "", "", ""}, nullptr},
        FastbootCase{"field_separator_in_a_value", {"", "A1;op:X", "", "", "", ""}, nullptr},
        FastbootCase{"control_character", {"", "A\n1", "", "", "", ""}, nullptr},
        // The daemon would take these for another field.
        FastbootCase{"modem_value_read_as_ap", {"", "", "map", "", "", ""}, nullptr},
        FastbootCase{"ap_value_read_as_path", {"", "mypath", "", "", "", ""}, nullptr},
        FastbootCase{"op_value_read_as_dev", {"", "", "", "", "", "dev2"}, nullptr}),
    [](const auto &info) { return std::string(info.param.what); });

TEST(EdlPayload, BuiltAndRefused) {
    std::string error;
    EXPECT_EQ(quilctl::edl_payload("A1", "M1", &error).value_or("refused"), "ap:A1;md:M1");
    EXPECT_FALSE(quilctl::edl_payload("", "M1", &error));
    EXPECT_FALSE(quilctl::edl_payload("A1", "", &error));
    EXPECT_FALSE(quilctl::edl_payload("A1;x", "M1", &error));
    // A modem field holding "ap" is taken for the AP field.
    EXPECT_FALSE(quilctl::edl_payload("A1", "snap", &error));
    EXPECT_NE(error.find("--modem"), std::string::npos);
}
