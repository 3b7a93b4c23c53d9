// SPDX-License-Identifier: GPL-2.0-or-later
#include "request_transmitter.h"

#include <cstring>
#include <string>
#include <string_view>

#include "authorization.h"
#include "edl_flash.h"
#include "gpio_reset.h"
#include "helper_queue.h"
#include "log.h"
#include "module_catalogue.h"
#include "pending_call.h"
#include "relay_line.h"
#include "request_payload.h"

namespace {

constexpr std::string_view kResetSuccess = "reset_modem_hw_success";
constexpr std::string_view kResetFail = "reset_modem_hw_fail";

// A literal whose stated length counts its terminating NUL, as the reset replies do.
int32_t len_with_nul(std::string_view text) {
    return static_cast<int32_t>(text.size() + 1);
}

void serve_port_state(PendingCall &call) {
    char result[PORT_STATE_SIZE] = {};
    quillon_get_port_command_ready(result);
    call.reply(call.rtcode(), static_cast<int32_t>(strnlen(result, sizeof(result))),
               std::string_view(result, strnlen(result, sizeof(result))));
}

void serve_hw_reset(PendingCall &call) {
    if (quillon_reset_modem_hw_ready() != 0) {
        call.reply(1, len_with_nul(kResetFail), kResetFail);
        return;
    }
    call.reply(call.rtcode(), len_with_nul(kResetSuccess), kResetSuccess);
}

// 0x2004: with the module waiting in download mode the flash runs here, in a thread
// of its own with the whole payload, one at a time; otherwise the MBIM helper gets it.
void serve_edl_flash(PendingCall call) {
    char result[PORT_STATE_SIZE] = {};
    quillon_get_port_command_ready(result);
    if (std::strstr(result, "flashport") == nullptr) {
        quil_relay_forward(std::move(call));
        return;
    }
    if (quil_edl_flash_start(call.forwarded_payload()) != EdlFlashStart::started)
        return;  // the call answers its failure as it goes
    call.reply(call.rtcode(), static_cast<int32_t>(EDL_FLASH_REPLY.size()), EDL_FLASH_REPLY);
}

// An authorized call.
void serve(PendingCall call) {
    switch (call.cid()) {
        case CID_HW_RESET:
            serve_hw_reset(call);
            return;
        case CID_EDL_FLASH:
            serve_edl_flash(std::move(call));
            return;
        case CID_PORT_STATE:
            serve_port_state(call);
            return;
        default:
            quil_relay_forward(std::move(call));
            return;
    }
}

}  // namespace

gboolean request_transmitter(QuillonGdbusHelper *, GDBusMethodInvocation *invocation,
                             GVariant *msgd_int, gpointer) {
    QLOG_DEBUG("enter! helper get request! req struct size: %ld",
               static_cast<long>(sizeof(HelperRequest)));
    int32_t serviceid = 0;
    int32_t cid = 0;
    int32_t rtcode = 0;
    int32_t len = 0;
    const char *payload = "";
    g_variant_get(msgd_int, "((ii)ii&s)", &serviceid, &cid, &rtcode, &len, &payload);

    // len bytes are taken from the payload text, and the request must fit a message
    // body: a len the text cannot honour is refused before anything is read.
    std::size_t payload_size = std::strlen(payload);
    if (!quil_request_len_valid(len, payload_size)) {
        QLOG_ERR("invalid len %d for a payload of %zu bytes, refuse request!", len, payload_size);
        PendingCall(invocation, serviceid, cid, rtcode, len, payload).fail();
        return TRUE;
    }

    // The decision comes later, from the main loop; a refusal answers the invocation
    // itself and drops the request unserved.
    quil_authorize_request(invocation, cid,
                           [invocation, serviceid, cid, rtcode, len, text = std::string(payload)] {
                               serve(PendingCall(invocation, serviceid, cid, rtcode, len, text));
                           });
    return TRUE;
}
