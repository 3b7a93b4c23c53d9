// SPDX-License-Identifier: GPL-2.0-or-later
// The two System V message queues between the daemons and the records they carry.
//
// Queue 0 runs from the D-Bus helper to the MBIM helper, queue 1 back. Both carry
// fixed-size HelperMessage blocks of type HELPER_MSG_NORMAL (requests, responses) or
// HELPER_MSG_CONTROL (control messages). The queues are writable by every local user,
// so nothing read from a body is trusted: every access goes through the bounded views
// below.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr long HELPER_MSG_NORMAL = 1;
inline constexpr long HELPER_MSG_CONTROL = 2;

inline constexpr int HELPER_QUEUE_TO_HELPERM = 0;  // queue 0
inline constexpr int HELPER_QUEUE_TO_HELPERD = 1;  // queue 1

// Control command ids.
enum ControlCid : int32_t {
    CONTROL_NONE = 0x0000,
    CONTROL_MBIM_PORT_INIT = 0x0001,
    CONTROL_MBIM_PORT_REMOVED = 0x0002,
    CONTROL_HELPERM_STOP = 0x0003,
    CONTROL_HELPERD_STOP = 0x0004,
    // Queue 1, no payload: the MBIM helper (re)started beside a running D-Bus helper
    // and asks it to announce the module again (cid 1, then cid 16) if it is present.
    CONTROL_MODULE_ANNOUNCE_REQUEST = 0x0005,
    CONTROL_SUBSCRIBER_READY_QUERY = 0x0010,
    CONTROL_SIM_STATE = 0x0011,
    CONTROL_HOME_PROVIDER_QUERY = 0x0012,
    CONTROL_HOME_PROVIDER = 0x0013,
    CONTROL_REGISTER_STATE_QUERY = 0x0014,
    CONTROL_REGISTERED_PROVIDER = 0x0015,
    CONTROL_FASTBOOT_STATUS = 0x100a,
    // Queue 1: a percentage the fastboot flash has shown, as decimal digits.
    CONTROL_FASTBOOT_PROGRESS = 0x100b,
};

// The record header; the payload follows it, NUL-terminated.
struct HelperRequest {
    int32_t serviceid;
    int32_t cid;
    int32_t rtcode;
    int32_t len;
    // payload bytes follow
};
static_assert(sizeof(HelperRequest) == 16);

inline constexpr std::size_t HELPER_BODY_SIZE = 2040;
inline constexpr std::size_t HELPER_HEADER_SIZE = sizeof(HelperRequest);
// 16 + len + 1 must fit the body.
inline constexpr int32_t HELPER_MAX_PAYLOAD = HELPER_BODY_SIZE - HELPER_HEADER_SIZE - 1;
static_assert(HELPER_MAX_PAYLOAD == 2023);

struct HelperMessage {
    long mtype;
    std::array<char, HELPER_BODY_SIZE> body;
};
static_assert(sizeof(HelperMessage) == 2048);
static_assert(offsetof(HelperMessage, body) == 8);

// The header of a received body, read field by field.
HelperRequest helper_message_header(const HelperMessage &msg);

// True when the body's len lies in 0..2023, so that its payload and the terminator
// lie inside the body.
bool helper_message_len_valid(const HelperMessage &msg);

// The payload of a received body: len bytes when len is valid, otherwise empty.
// Never reaches past the body.
std::string_view helper_message_payload(const HelperMessage &msg);

// Fills msg with a record: zeroes it, sets mtype and the header and copies the
// payload. A payload longer than 2023 bytes is cut to 2023; the stored len says how
// many bytes were kept. Returns the stored len.
int32_t helper_message_fill(HelperMessage &msg, long mtype, int32_t serviceid, int32_t cid,
                            int32_t rtcode, std::string_view payload);

// Queue set-up and look-up.
int quil_adapter_helper_queue_init();
int quil_adapter_get_helper_seq_id(int32_t index);

// Sending. Each returns 0 on success and -1 on failure unless it returns nothing.
// Requests (queue 0) and control messages never wait for room on a full queue: the
// message is dropped with a line; only the MBIM helper's answers wait on queue 1.
int quil_adapter_helperm_send_msg_to_helperd(const HelperMessage *msg);
int quil_adapter_alloc_and_send_resp_structure(int32_t serviceid, int32_t cid, int32_t rtcode,
                                               int32_t len, const char *payload);
void quil_adapter_helperm_send_control_message_to_helperd(int32_t cid, int32_t len,
                                                          const char *text);
// Puts msg on queue 0 without waiting: 0 when sent, HELPER_SEND_QUEUE_FULL (logged)
// when the queue holds all it can, -1 on any other failure.
inline constexpr int HELPER_SEND_QUEUE_FULL = -3;
int quil_adapter_helperd_send_req_to_helperm(const HelperMessage *msg);
void quil_adapter_helperd_send_control_message_to_helperm(int32_t cid, uint32_t len,
                                                          const char *text);
void quil_adapter_helperd_send_control_message_to_helperm(int32_t cid);

// Receiving: each zeroes msg, looks its queue up and waits for the oldest message
// of its type. Returns 0 on success, -1 when the queue is missing (nothing logged:
// the caller decides whether that is worth a line), -2 when the receive failed.
int quil_adapter_helperm_get_normal_msg_from_helperd(HelperMessage *msg);
int quil_adapter_helperm_get_control_msg_from_helperd(HelperMessage *msg);
int quil_adapter_helperd_get_normal_msg_from_helperm(HelperMessage *msg);
int quil_adapter_helperd_get_control_msg_from_helperm(HelperMessage *msg);

// Pause of a looping receiver whose queue is missing, so that a daemon whose peer is
// gone does not spin; short enough that a queue made again is found within a second.
void quil_adapter_missing_queue_pause();

// When a looping receiver reports its missing queue: at the first attempt that finds
// it missing, then once a minute while it stays missing, not at every attempt.
class MissingQueueLog {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kInterval{60};

    // One attempt at `now` found the queue missing; true when a line is due.
    bool attempt(Clock::time_point now);
    // Attempts of the current absence so far.
    unsigned attempts() const { return attempts_; }
    // The queue is there: the attempts of the absence that ended (0 when none).
    unsigned found();

  private:
    unsigned attempts_ = 0;
    Clock::time_point last_line_{};
};

// A looping receiver's missing queue: "message queue not existed!" when due (with the
// attempts so far after the first line), under the caller's name, then the pause.
void quil_adapter_missing_queue(MissingQueueLog &log, const char *caller, unsigned line);
// Its queue was there: after an absence, one line with the attempts it took.
void quil_adapter_queue_found(MissingQueueLog &log, const char *caller, unsigned line);
#define QUIL_QUEUE_MISSING(log) quil_adapter_missing_queue((log), __func__, __LINE__)
#define QUIL_QUEUE_FOUND(log) quil_adapter_queue_found((log), __func__, __LINE__)
