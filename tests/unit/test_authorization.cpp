// SPDX-License-Identifier: GPL-2.0-or-later
#include "authorization.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

struct Row {
    int32_t cid;
    std::string_view action;
};

class AuthClassTable : public ::testing::TestWithParam<Row> {};

TEST_P(AuthClassTable, ActionOfCid) {
    EXPECT_EQ(quil_auth_action_id(quil_command_auth_class(GetParam().cid)), GetParam().action);
}

constexpr std::string_view QUERY = "com.quillon.helper.query";
constexpr std::string_view CONFIGURE = "com.quillon.helper.configure";
constexpr std::string_view FLASH = "com.quillon.helper.flash";

INSTANTIATE_TEST_SUITE_P(
    Rows, AuthClassTable,
    ::testing::Values(
        // versions, IMEI, home network, USB ids, port state, ATI7, network, slot
        Row{0x1001, QUERY}, Row{0x1005, QUERY}, Row{0x1006, QUERY}, Row{0x1007, QUERY},
        Row{0x1008, QUERY}, Row{0x2002, QUERY}, Row{0x2001, QUERY}, Row{0x3004, QUERY},
        Row{0x4026, QUERY}, Row{0x4027, QUERY},
        // SAR and antenna state queries
        Row{0x4002, QUERY}, Row{0x4004, QUERY}, Row{0x4008, QUERY}, Row{0x4012, QUERY},
        Row{0x4015, QUERY}, Row{0x4016, QUERY}, Row{0x401b, QUERY}, Row{0x4021, QUERY},
        Row{0x4023, QUERY}, Row{0x4024, QUERY},
        // set commands, slot switch, function reset, hardware reset
        Row{0x4001, CONFIGURE}, Row{0x4020, CONFIGURE}, Row{0x4025, CONFIGURE},
        Row{0x4028, CONFIGURE}, Row{0x0100, CONFIGURE}, Row{0x2003, CONFIGURE},
        // rows that only ever answer "ERROR", and unknown ids
        Row{0x1009, CONFIGURE}, Row{0x401e, CONFIGURE}, Row{0x4006, CONFIGURE},
        Row{0x4029, CONFIGURE}, Row{0x0001, CONFIGURE}, Row{0x7777, CONFIGURE}, Row{0, CONFIGURE},
        Row{-1, CONFIGURE},
        // flashing
        Row{0x100a, FLASH}, Row{0x2004, FLASH}));

}  // namespace
