// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay_line.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "heap_block.h"
#include "helper_queue.h"
#include "log.h"
#include "modem_manager.h"
#include "request_payload.h"

namespace {

constexpr guint kResponseTimeoutS = 6;
// The MBIM helper answers a fastboot flash request only once the module shows up in
// fastboot mode: it writes the reboot command, waits 3 s, then polls lsusb up to 5
// times 1 s apart, about 8 s and five lsusb runs in the worst case. 15 s leaves room
// for a slow lsusb on a busy USB bus and for opening the AT port.
constexpr guint kFastbootResponseTimeoutS = 15;
// A request the MBIM helper took but did not answer in time may still be answered:
// its answer would be taken for that of the next request with the same ids. The MBIM
// helper serves one request at a time, so its late answer comes before any later
// one; the next request with those ids waits for it, or for this long (the MBIM
// helper's longest request, the home provider's 40 tries half a second apart, takes
// 20 s; after that it has lost the request, restarted say).
constexpr auto kLateAnswerWait = std::chrono::seconds(20);
// Calls waiting beyond this many are refused at once: every local user may call, and
// the line must not grow without bound.
constexpr std::size_t kMaxWaiting = 512;

using Clock = std::chrono::steady_clock;

guint response_limit_s(int32_t cid) {
    return cid == CID_FASTBOOT_FLASH ? kFastbootResponseTimeoutS : kResponseTimeoutS;
}

struct RequestIds {
    int32_t serviceid;
    int32_t cid;
    bool operator==(const RequestIds &) const = default;
};

struct OwedAnswer {
    RequestIds ids;
    Clock::time_point until;
};

// The call on queue 0, waiting for its answer.
struct InFlight {
    PendingCall call;
    // A fastboot flash request keeps ModemManager off the module; released unless the
    // flash starts.
    std::optional<ModemInhibition> inhibition;
    guint limit_source = 0;
    bool mismatched = false;
    uint64_t number = 0;  // tells this call from later ones
};

struct RelayLine {
    std::deque<PendingCall> waiting;
    std::optional<InFlight> in_flight;
    std::vector<OwedAnswer> owed;
    guint owed_source = 0;
    uint64_t forwarded = 0;  // calls taken in flight so far
};

// Main loop only.
RelayLine &relay_line() {
    static RelayLine line;
    return line;
}

RequestIds ids_of(const PendingCall &call) {
    return {call.serviceid(), call.cid()};
}

void forward_next();
gboolean response_limit_passed(gpointer);

void drop_expired_owed() {
    auto &owed = relay_line().owed;
    auto now = Clock::now();
    std::erase_if(owed, [&](const OwedAnswer &o) {
        if (now < o.until)
            return false;
        QLOG_WARN("no late answer for serviceid %d cid 0x%04x came, not waited for any more",
                  o.ids.serviceid, o.ids.cid);
        return true;
    });
}

bool answer_owed(RequestIds ids) {
    drop_expired_owed();
    for (const auto &o : relay_line().owed)
        if (o.ids == ids)
            return true;
    return false;
}

gboolean owed_expired(gpointer) {
    RelayLine &line = relay_line();
    line.owed_source = 0;
    drop_expired_owed();
    forward_next();
    return G_SOURCE_REMOVE;
}

// The head of the line waits for a late answer to its ids: wake up when that wait ends.
void arm_owed_timer() {
    RelayLine &line = relay_line();
    if (line.owed_source != 0 || line.owed.empty())
        return;
    auto first = line.owed.front().until;
    for (const auto &o : line.owed)
        first = std::min(first, o.until);
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(first - Clock::now());
    line.owed_source =
        g_timeout_add(static_cast<guint>(std::max<long>(wait.count(), 1)), owed_expired, nullptr);
}

// Ends the call in flight (answered or not) and moves the line on.
void finish_in_flight(bool flash_started) {
    RelayLine &line = relay_line();
    if (!line.in_flight)
        return;
    if (line.in_flight->limit_source != 0)
        g_source_remove(line.in_flight->limit_source);
    if (flash_started && line.in_flight->inhibition)
        line.in_flight->inhibition->keep_until_flash_ends();
    line.in_flight.reset();
    forward_next();
}

// The time-out: the request is withdrawn from queue 0 when the MBIM helper has not taken
// it yet (only requests: a control message waiting there stays), and the caller gets
// rtcode 1 with an empty payload.
gboolean response_limit_passed(gpointer) {
    RelayLine &line = relay_line();
    if (!line.in_flight)
        return G_SOURCE_REMOVE;
    line.in_flight->limit_source = 0;
    QLOG_ERR("quil-helperm no resp!");
    RequestIds ids = ids_of(line.in_flight->call);
    int id = quil_adapter_get_helper_seq_id(HELPER_QUEUE_TO_HELPERM);
    auto msg = quil::alloc_zeroed<HelperMessage>(sizeof(HelperMessage));
    bool withdrawn =
        id != -1 && msg &&
        msgrcv(id, msg.get(), HELPER_BODY_SIZE, HELPER_MSG_NORMAL, IPC_NOWAIT | MSG_NOERROR) >= 0;
    if (!withdrawn) {
        line.owed.push_back({ids, Clock::now() + kLateAnswerWait});
        QLOG_DEBUG("request serviceid %d cid 0x%04x was taken, its answer may still come",
                   ids.serviceid, ids.cid);
    }
    line.in_flight->call.reply(1, 0, "");
    finish_in_flight(false);
    return G_SOURCE_REMOVE;
}

// Puts the call in flight on queue 0 and starts its time limit; a call that cannot be
// sent is answered with the failure reply and the line moves on.
void send_in_flight() {
    RelayLine &line = relay_line();
    InFlight &flight = *line.in_flight;
    auto msg = quil::alloc_zeroed<HelperMessage>(sizeof(HelperMessage));
    if (!msg) {
        QLOG_ERR("malloc failed!");
        finish_in_flight(false);
        return;
    }
    helper_message_fill(*msg, HELPER_MSG_NORMAL, flight.call.serviceid(), flight.call.cid(),
                        flight.call.rtcode(), flight.call.forwarded_payload());
    if (quil_adapter_helperd_send_req_to_helperm(msg.get()) != 0) {
        QLOG_ERR("Send message failed!");
        finish_in_flight(false);
        return;
    }
    flight.limit_source =
        g_timeout_add_seconds(response_limit_s(flight.call.cid()), response_limit_passed, nullptr);
}

// Takes the head of the line in flight, unless a call is in flight already or the head
// must wait for a late answer to its ids.
void forward_next() {
    RelayLine &line = relay_line();
    if (line.in_flight || line.waiting.empty())
        return;
    if (answer_owed(ids_of(line.waiting.front()))) {
        arm_owed_timer();
        return;
    }
    line.in_flight.emplace(
        InFlight{std::move(line.waiting.front()), std::nullopt, 0, false, ++line.forwarded});
    line.waiting.pop_front();
    QLOG_DEBUG("Not special req, send req to helperm to deal!");
    if (line.in_flight->call.cid() != CID_FASTBOOT_FLASH) {
        send_in_flight();
        return;
    }
    // ModemManager is asked to leave the module alone before the module reboots into its
    // bootloader; the request goes out once it has answered (or could not).
    quil_modem_manager_inhibit_module(
        [number = line.in_flight->number](ModemInhibition inhibition) {
            RelayLine &line = relay_line();
            if (!line.in_flight || line.in_flight->number != number)
                return;  // answered meanwhile: the inhibition ends here
            line.in_flight->inhibition.emplace(std::move(inhibition));
            send_in_flight();
        });
}

// The text and len of a received answer as they may go on the bus: the bytes up to the
// first NUL made valid UTF-8, and a len no longer than that text. false when the body's
// len does not fit it.
bool answer_payload(const HelperMessage &msg, std::string *text, int32_t *len) {
    HelperRequest header = helper_message_header(msg);
    if (!helper_message_len_valid(msg)) {
        QLOG_ERR("response len %d does not fit a message!", header.len);
        text->clear();
        *len = 0;
        return false;
    }
    bool repaired = false;
    *text = quil_reply_payload_text(helper_message_payload(msg), &repaired);
    *len = header.len;
    if (repaired)
        QLOG_WARN("response payload is not UTF-8, invalid bytes replaced!");
    if (repaired || static_cast<std::size_t>(*len) > text->size())
        *len = static_cast<int32_t>(text->size());
    return true;
}

// Main loop: an answer the receiver took off queue 1.
void take_answer(const HelperMessage &msg) {
    RelayLine &line = relay_line();
    HelperRequest header = helper_message_header(msg);
    RequestIds ids{header.serviceid, header.cid};
    QLOG_DEBUG("len:%d", header.len);

    bool matches_in_flight = line.in_flight && ids_of(line.in_flight->call) == ids;
    if (!matches_in_flight) {
        // The late answer of a request that timed out: it is nobody's any more.
        auto &owed = line.owed;
        for (auto it = owed.begin(); it != owed.end(); ++it) {
            if (it->ids == ids) {
                owed.erase(it);
                QLOG_WARN("late answer for serviceid %d cid 0x%04x taken off, dropped",
                          ids.serviceid, ids.cid);
                forward_next();
                return;
            }
        }
    }
    if (!line.in_flight) {
        QLOG_WARN("answer for serviceid %d cid 0x%04x with no request waiting, dropped",
                  ids.serviceid, ids.cid);
        return;
    }
    InFlight &flight = *line.in_flight;
    if (matches_in_flight) {
        std::string text;
        int32_t len = 0;
        if (!answer_payload(msg, &text, &len)) {
            finish_in_flight(false);  // answered with the failure reply
            return;
        }
        flight.call.reply(header.rtcode, len, text);
        QLOG_DEBUG("Helper send resp!");
        finish_in_flight(header.rtcode == 0);
        return;
    }
    if (!flight.mismatched) {
        flight.mismatched = true;
        QLOG_ERR("Get mismatched message, drop it and retry to get response!");
        return;
    }
    // Another request's answer is never handed to this caller.
    QLOG_ERR("Get mismatched message again! return error to dbus!");
    finish_in_flight(false);
}

gboolean deliver_answer(gpointer data) {
    take_answer(*static_cast<const HelperMessage *>(data));
    return G_SOURCE_REMOVE;
}

void free_answer(gpointer data) {
    std::free(data);
}

// "resp-recv": receives every answer on queue 1 and hands it to the main loop.
gpointer receive_answers(gpointer) {
    for (;;) {
        auto msg = quil::alloc_zeroed<HelperMessage>(sizeof(HelperMessage));
        if (!msg) {
            QLOG_ERR("malloc failed!");
            quil_adapter_missing_queue_pause();
            continue;
        }
        int ret = quil_adapter_helperd_get_normal_msg_from_helperm(msg.get());
        if (ret == 0) {
            g_main_context_invoke_full(nullptr, G_PRIORITY_DEFAULT, deliver_answer, msg.release(),
                                       free_answer);
            continue;
        }
        if (ret == -1) {
            // Queue 1's absence is reported by the control message receiver.
            quil_adapter_missing_queue_pause();
            continue;
        }
        if (errno == EINTR)
            continue;
        QLOG_DEBUG("errno:%s", std::strerror(errno));
        quil_adapter_missing_queue_pause();
    }
    return nullptr;
}

}  // namespace

void quil_relay_forward(PendingCall call) {
    RelayLine &line = relay_line();
    if (line.waiting.size() >= kMaxWaiting) {
        QLOG_ERR("%zu requests wait for the MBIM helper, cid 0x%04x refused!", line.waiting.size(),
                 call.cid());
        return;  // the call answers its failure as it goes
    }
    line.waiting.push_back(std::move(call));
    forward_next();
}

int quil_relay_receiver_start() {
    GThread *thread = g_thread_try_new("resp-recv", receive_answers, nullptr, nullptr);
    if (thread == nullptr) {
        QLOG_ERR("thread init failed!");
        return -1;
    }
    g_thread_unref(thread);
    return 0;
}
