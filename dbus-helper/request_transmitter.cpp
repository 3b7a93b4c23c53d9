// SPDX-License-Identifier: GPL-2.0-or-later
#include "request_transmitter.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "edl_flash.h"
#include "gpio_reset.h"
#include "heap_block.h"
#include "helper_queue.h"
#include "log.h"
#include "modem_manager.h"
#include "module_catalogue.h"
#include "request_payload.h"

int32_t last_request_serviceid = 0;
int32_t last_request_cid = 0;

namespace {

constexpr auto kResponseTimeout = std::chrono::seconds(6);
// The MBIM helper answers a fastboot flash request only once the module shows up in
// fastboot mode: it writes the reboot command, waits 3 s, then polls lsusb up to 5
// times 1 s apart, about 8 s and five lsusb runs in the worst case. 15 s leaves room
// for a slow lsusb on a busy USB bus and for opening the AT port.
constexpr auto kFastbootResponseTimeout = std::chrono::seconds(15);

std::chrono::seconds response_limit(int32_t cid) {
    return cid == CID_FASTBOOT_FLASH ? kFastbootResponseTimeout : kResponseTimeout;
}

constexpr std::string_view kResetSuccess = "reset_modem_hw_success";
constexpr std::string_view kResetFail = "reset_modem_hw_fail";

// The guard of a waiting pass. Its thread sleeps until a deadline is set and passes;
// the time-out then runs under the mutex, so that once close() has returned no
// time-out is under way.
struct RequestTimer {
    std::mutex mutex;
    std::condition_variable wake;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    bool thread_started = false;
};

// Never destroyed: the timer thread still waits on the condition variable while exit()
// runs the static destructors, and destroying a condition variable that has a waiter
// blocks for good, so the daemon would never end after its first forwarded request.
union LastingRequestTimer {
    RequestTimer timer;
    LastingRequestTimer() : timer() {}
    ~LastingRequestTimer() {}
};
LastingRequestTimer lasting_request_timer;
RequestTimer &request_timer = lasting_request_timer.timer;

gpointer request_timer_thread(gpointer) {
    std::unique_lock lock(request_timer.mutex);
    for (;;) {
        if (!request_timer.deadline) {
            request_timer.wake.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < *request_timer.deadline) {
            request_timer.wake.wait_until(lock, *request_timer.deadline);
            continue;
        }
        request_timer.deadline.reset();
        restore_main_signal_work();
    }
    return nullptr;
}

// The request as the client sent it; every failure reply echoes it with rtcode 1.
struct ClientRequest {
    GDBusMethodInvocation *invocation;
    int32_t serviceid;
    int32_t cid;
    int32_t rtcode;
    int32_t len;
    const char *payload;

    void reply(int32_t rt, int32_t length, const char *text) const {
        quil_adapter_helperd_send_resp_to_dbus(invocation, serviceid, cid, rt, length, text);
    }
    void fail() const { reply(1, len, payload); }
};

// A literal whose stated length counts its terminating NUL, as the reset replies do.
int32_t len_with_nul(std::string_view text) {
    return static_cast<int32_t>(text.size() + 1);
}

void serve_port_state(const ClientRequest &request) {
    char result[PORT_STATE_SIZE] = {};
    quillon_get_port_command_ready(result);
    request.reply(request.rtcode, static_cast<int32_t>(strnlen(result, sizeof(result))), result);
}

void serve_hw_reset(const ClientRequest &request) {
    if (quillon_reset_modem_hw_ready() != 0) {
        request.reply(1, len_with_nul(kResetFail), kResetFail.data());
        return;
    }
    request.reply(request.rtcode, len_with_nul(kResetSuccess), kResetSuccess.data());
}

// The text and len of a received response as they may go on the bus. false when its
// len does not fit the body (the queues are open to every local user).
bool response_payload(const HelperMessage &msg, std::string *text, int32_t *len) {
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
    if (repaired) {
        QLOG_WARN("response payload is not UTF-8, invalid bytes replaced!");
        *len = static_cast<int32_t>(text->size());
    }
    return true;
}

// Puts the request on queue 0 and waits for its response on queue 1. Returns the
// rtcode the client was answered with (1 for every failure).
int32_t forward_request(const ClientRequest &request) {
    QLOG_DEBUG("Not special req, send req to helperm to deal!");
    auto msg = quil::alloc_zeroed<HelperMessage>(sizeof(HelperMessage));
    if (!msg) {
        QLOG_ERR("malloc failed!");
        request.fail();
        return 1;
    }
    helper_message_fill(*msg, HELPER_MSG_NORMAL, request.serviceid, request.cid, request.rtcode,
                        std::string_view(request.payload, static_cast<std::size_t>(request.len)));
    if (quil_adapter_helperd_send_req_to_helperm(msg.get()) != 0) {
        QLOG_ERR("Send message failed!");
        request.fail();
        return 1;
    }
    last_request_serviceid = request.serviceid;
    last_request_cid = request.cid;
    bool mismatched = false;

    for (;;) {
        if (quil_adapter_helperd_timer_handle(response_limit(request.cid)) != 0) {
            QLOG_DEBUG("Get message failed!");
            request.fail();
            return 1;
        }
        for (;;) {
            int ret = quil_adapter_helperd_get_normal_msg_from_helperm(msg.get());
            if (ret == -1) {
                QLOG_ERR("message queue not existed!");
                quil_adapter_helperd_timer_close();
                QLOG_DEBUG("Get message failed!");
                request.fail();
                return 1;
            }
            int err = errno;
            QLOG_DEBUG("ret:%d", ret == 0 ? static_cast<int>(HELPER_BODY_SIZE) : -1);
            if (ret == 0)
                break;
            QLOG_DEBUG("errno:%s", std::strerror(err));
            if (err == EINTR) {
                QLOG_DEBUG("system call error, give another chance to get!");
                continue;
            }
            quil_adapter_helperd_timer_close();
            QLOG_DEBUG("Get message failed!");
            request.fail();
            return 1;
        }
        quil_adapter_helperd_timer_close();

        HelperRequest header = helper_message_header(*msg);
        QLOG_DEBUG("len:%d", header.len);
        std::string text;
        int32_t len = 0;
        if (header.cid == request.cid && header.serviceid == request.serviceid) {
            if (!response_payload(*msg, &text, &len)) {
                request.fail();
                return 1;
            }
            request.reply(header.rtcode, len, text.c_str());
            QLOG_DEBUG("Helper send resp!");
            return header.rtcode;
        }
        if (!mismatched) {
            mismatched = true;
            QLOG_ERR("Get mismatched message, drop it and retry to get response!");
            continue;
        }
        QLOG_ERR("Get mismatched message again! return error to dbus!");
        response_payload(*msg, &text, &len);
        request.reply(1, len, text.c_str());
        return 1;
    }
}

// A fastboot flash request: ModemManager is asked to leave the module alone before the
// module reboots into its bootloader, for as long as the flash runs; a request that
// failed starts no flash and ends the inhibition at once.
void forward_fastboot_flash(const ClientRequest &request) {
    ModemInhibition inhibition = quil_modem_manager_inhibit_module();
    if (forward_request(request) == 0)
        inhibition.keep_until_flash_ends();
}

}  // namespace

void quil_adapter_helperd_send_resp_to_dbus(GDBusMethodInvocation *invocation, int32_t serviceid,
                                            int32_t cid, int32_t rtcode, int32_t len,
                                            const char *payload) {
    QLOG_DEBUG("Send resp to caller!");
    GVariant *msg_out = g_variant_new("((ii)iis)", serviceid, cid, rtcode, len, payload);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(@((ii)iis))", msg_out));
}

gboolean request_transmitter(QuillonGdbusHelper *, GDBusMethodInvocation *invocation,
                             GVariant *msgd_int, gpointer) {
    QLOG_DEBUG("enter! helper get request! req struct size: %ld",
               static_cast<long>(sizeof(HelperRequest)));
    ClientRequest request{invocation, 0, 0, 0, 0, ""};
    g_variant_get(msgd_int, "((ii)ii&s)", &request.serviceid, &request.cid, &request.rtcode,
                  &request.len, &request.payload);

    // len bytes are taken from the payload text, and the request must fit a message
    // body: a len the text cannot honour is refused before anything is read.
    std::size_t payload_size = std::strlen(request.payload);
    if (!quil_request_len_valid(request.len, payload_size)) {
        QLOG_ERR("invalid len %d for a payload of %zu bytes, refuse request!", request.len,
                 payload_size);
        request.fail();
        return TRUE;
    }

    switch (request.cid) {
        case CID_HW_RESET:
            serve_hw_reset(request);
            return TRUE;
        case CID_EDL_FLASH: {
            char result[PORT_STATE_SIZE] = {};
            quillon_get_port_command_ready(result);
            if (std::strstr(result, "flashport") != nullptr) {
                // The module waits in download mode: the flash runs in a thread of its
                // own with the whole payload, one at a time.
                std::string_view payload(request.payload, static_cast<std::size_t>(request.len));
                if (quil_edl_flash_start(payload) != EdlFlashStart::started) {
                    request.fail();
                    return TRUE;
                }
                request.reply(request.rtcode, static_cast<int32_t>(EDL_FLASH_REPLY.size()),
                              EDL_FLASH_REPLY.data());
                return TRUE;
            }
            forward_request(request);
            return TRUE;
        }
        case CID_PORT_STATE:
            serve_port_state(request);
            return TRUE;
        case CID_FASTBOOT_FLASH:
            forward_fastboot_flash(request);
            return TRUE;
        default:
            forward_request(request);
            return TRUE;
    }
}

int quil_adapter_helperd_timer_handle(std::chrono::seconds limit) {
    std::lock_guard lock(request_timer.mutex);
    if (!request_timer.thread_started) {
        GThread *thread = g_thread_try_new("req-timer", request_timer_thread, nullptr, nullptr);
        if (thread == nullptr) {
            QLOG_ERR("thread init failed!");
            return -1;
        }
        g_thread_unref(thread);
        request_timer.thread_started = true;
    }
    if (request_timer.deadline)
        QLOG_DEBUG("alarm is used!");
    else
        QLOG_DEBUG("alarm created!");
    request_timer.deadline = std::chrono::steady_clock::now() + limit;
    request_timer.wake.notify_one();
    return 0;
}

void quil_adapter_helperd_timer_close() {
    std::lock_guard lock(request_timer.mutex);
    request_timer.deadline.reset();
    QLOG_DEBUG("alarm closed!");
}

void restore_main_signal_work() {
    QLOG_ERR("quil-helperm no resp!");
    int32_t serviceid = last_request_serviceid;
    int32_t cid = last_request_cid;
    // Only a request is withdrawn: a control message waiting for the MBIM helper
    // (the one that opens its MBIM port, say) stays where it is.
    int id = quil_adapter_get_helper_seq_id(HELPER_QUEUE_TO_HELPERM);
    auto msg = quil::alloc_zeroed<HelperMessage>(sizeof(HelperMessage));
    if (id != -1 && msg &&
        msgrcv(id, msg.get(), HELPER_BODY_SIZE, HELPER_MSG_NORMAL, IPC_NOWAIT | MSG_NOERROR) >= 0) {
        HelperRequest header = helper_message_header(*msg);
        serviceid = header.serviceid;
        cid = header.cid;
    }
    quil_adapter_alloc_and_send_resp_structure(serviceid, cid, 1, 0, nullptr);
    QLOG_DEBUG("finished!");
}
