// SPDX-License-Identifier: GPL-2.0-or-later
// The message records and the queue operations that build them.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "helper_queue.h"

namespace {

void put_len(HelperMessage &msg, int32_t len) {
    std::memcpy(msg.body.data() + 12, &len, sizeof(len));
}

TEST(Records, FillPlacesHeaderPayloadAndTerminator) {
    HelperMessage msg;
    msg.body.fill('x');
    int32_t len =
        helper_message_fill(msg, HELPER_MSG_CONTROL, 0, CONTROL_SIM_STATE, 0, "SIM removed");
    EXPECT_EQ(len, 11);
    EXPECT_EQ(msg.mtype, HELPER_MSG_CONTROL);
    HelperRequest header = helper_message_header(msg);
    EXPECT_EQ(header.cid, 0x11);
    EXPECT_EQ(header.len, 11);
    EXPECT_EQ(helper_message_payload(msg), "SIM removed");
    EXPECT_EQ(msg.body[27], '\0');
    EXPECT_EQ(msg.body[HELPER_BODY_SIZE - 1], '\0');
}

TEST(Records, EmptyPayloadHasLenZeroAndANulPayloadByte) {
    HelperMessage msg;
    helper_message_fill(msg, HELPER_MSG_NORMAL, 3, 0x1002, 0, "");
    EXPECT_EQ(helper_message_header(msg).len, 0);
    EXPECT_EQ(msg.body[16], '\0');
    EXPECT_TRUE(helper_message_payload(msg).empty());
}

TEST(Records, OversizePayloadIsCutToFitTheBody) {
    HelperMessage msg;
    std::string big(5000, 'a');
    EXPECT_EQ(helper_message_fill(msg, HELPER_MSG_NORMAL, 1, 2, 0, big), HELPER_MAX_PAYLOAD);
    EXPECT_EQ(helper_message_payload(msg).size(), 2023u);
    EXPECT_EQ(msg.body[16 + 2023], '\0');
}

class ImpossibleLen : public ::testing::TestWithParam<int32_t> {};

TEST_P(ImpossibleLen, ReadsNothingPastTheBody) {
    HelperMessage msg;
    helper_message_fill(msg, HELPER_MSG_NORMAL, 1, 0x1002, 0, "AT");
    put_len(msg, GetParam());
    EXPECT_FALSE(helper_message_len_valid(msg));
    EXPECT_TRUE(helper_message_payload(msg).empty());
    EXPECT_EQ(helper_message_header(msg).cid, 0x1002);
}

INSTANTIATE_TEST_SUITE_P(Lens, ImpossibleLen,
                         ::testing::Values(-1, INT32_MIN, 2024, 2040, 4096, INT32_MAX));

TEST(Records, LargestLenIsValid) {
    HelperMessage msg;
    helper_message_fill(msg, HELPER_MSG_NORMAL, 1, 2, 0, "");
    put_len(msg, 2023);
    EXPECT_TRUE(helper_message_len_valid(msg));
    EXPECT_EQ(helper_message_payload(msg).size(), 2023u);
}

// Runs the queue operations in a directory of its own, so that the keys are private
// to the test, and removes the queues afterwards.
class QueueFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        old_dir_ = std::filesystem::current_path();
        char tmpl[] = "/tmp/quil-queue-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::filesystem::current_path(dir_);
        ASSERT_EQ(quil_adapter_helper_queue_init(), 0);
    }
    void TearDown() override {
        for (int i = 0; i < 2; ++i) {
            int id = quil_adapter_get_helper_seq_id(i);
            if (id != -1)
                msgctl(id, IPC_RMID, nullptr);
        }
        std::filesystem::current_path(old_dir_);
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path old_dir_;
    std::filesystem::path dir_;
};

TEST_F(QueueFixture, DefaultErrorResponse) {
    ASSERT_EQ(quil_adapter_alloc_and_send_resp_structure(7, 0x5000, 1, 5, "ERROR"), 0);
    HelperMessage msg;
    ASSERT_EQ(quil_adapter_helperd_get_normal_msg_from_helperm(&msg), 0);
    HelperRequest header = helper_message_header(msg);
    EXPECT_EQ(msg.mtype, HELPER_MSG_NORMAL);
    EXPECT_EQ(header.serviceid, 7);
    EXPECT_EQ(header.cid, 0x5000);
    EXPECT_EQ(header.rtcode, 1);
    EXPECT_EQ(header.len, 5);
    EXPECT_EQ(helper_message_payload(msg), "ERROR");
    EXPECT_EQ(msg.body[21], '\0');
}

TEST_F(QueueFixture, ResponseWithEmptyPayload) {
    ASSERT_EQ(quil_adapter_alloc_and_send_resp_structure(1, 0x1002, 0, 0, nullptr), 0);
    HelperMessage msg;
    ASSERT_EQ(quil_adapter_helperd_get_normal_msg_from_helperm(&msg), 0);
    EXPECT_EQ(helper_message_header(msg).len, 0);
    EXPECT_EQ(msg.body[16], '\0');
}

TEST_F(QueueFixture, OversizeResponseIsCut) {
    std::string big(3000, 'z');
    ASSERT_EQ(quil_adapter_alloc_and_send_resp_structure(1, 0x1002, 0, 3000, big.c_str()), 0);
    HelperMessage msg;
    ASSERT_EQ(quil_adapter_helperd_get_normal_msg_from_helperm(&msg), 0);
    EXPECT_EQ(helper_message_header(msg).len, 2023);
    EXPECT_EQ(msg.body[HELPER_BODY_SIZE - 1], '\0');
}

TEST_F(QueueFixture, ControlMessagesGoToTheirOwnType) {
    quil_adapter_helperm_send_control_message_to_helperd(CONTROL_SIM_STATE, 11, "SIM removed");
    ASSERT_EQ(quil_adapter_alloc_and_send_resp_structure(2, 0x1006, 0, 2, "42"), 0);
    HelperMessage msg;
    // The response is taken first although the control message is older.
    ASSERT_EQ(quil_adapter_helperd_get_normal_msg_from_helperm(&msg), 0);
    EXPECT_EQ(helper_message_payload(msg), "42");
    ASSERT_EQ(quil_adapter_helperd_get_control_msg_from_helperm(&msg), 0);
    EXPECT_EQ(msg.mtype, HELPER_MSG_CONTROL);
    EXPECT_EQ(helper_message_header(msg).serviceid, 0);
    EXPECT_EQ(helper_message_payload(msg), "SIM removed");
    EXPECT_EQ(msg.body[27], '\0');
}

TEST_F(QueueFixture, OversizeForeignMessageIsTakenCutToTheBody) {
    struct {
        long mtype;
        char text[3000];
    } foreign{};
    foreign.mtype = HELPER_MSG_NORMAL;
    std::memset(foreign.text, 'q', sizeof(foreign.text));
    ASSERT_EQ(msgsnd(quil_adapter_get_helper_seq_id(1), &foreign, sizeof(foreign.text), 0), 0);
    HelperMessage msg;
    ASSERT_EQ(quil_adapter_helperd_get_normal_msg_from_helperm(&msg), 0);
    EXPECT_FALSE(helper_message_len_valid(msg));
    EXPECT_TRUE(helper_message_payload(msg).empty());
}

TEST_F(QueueFixture, CidOnlyControlMessageToOwnQueue) {
    quil_adapter_helperd_send_control_message_to_helperm(CONTROL_HOME_PROVIDER_QUERY);
    HelperMessage msg;
    ASSERT_EQ(quil_adapter_helperm_get_control_msg_from_helperd(&msg), 0);
    EXPECT_EQ(helper_message_header(msg).cid, 0x12);
    EXPECT_EQ(helper_message_header(msg).len, 0);
}

TEST_F(QueueFixture, SecondInitFindsTheQueuesAndMissingQueuesFailSends) {
    int id0 = quil_adapter_get_helper_seq_id(0);
    EXPECT_EQ(quil_adapter_helper_queue_init(), 0);
    EXPECT_EQ(quil_adapter_get_helper_seq_id(0), id0);

    msgctl(quil_adapter_get_helper_seq_id(1), IPC_RMID, nullptr);
    EXPECT_EQ(quil_adapter_get_helper_seq_id(1), -1);
    // Queue 0 still exists, so a new start does not create queue 1 again.
    EXPECT_EQ(quil_adapter_helper_queue_init(), 0);
    EXPECT_EQ(quil_adapter_get_helper_seq_id(1), -1);
    EXPECT_EQ(quil_adapter_alloc_and_send_resp_structure(1, 2, 0, 0, nullptr), -1);
    HelperMessage msg;
    EXPECT_EQ(quil_adapter_helperd_get_normal_msg_from_helperm(&msg), -1);
}

}  // namespace
