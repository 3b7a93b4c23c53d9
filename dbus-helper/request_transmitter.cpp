// SPDX-License-Identifier: GPL-2.0-or-later
#include "request_transmitter.h"

#include <array>
#include <cstring>
#include <functional>
#include <memory>
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

// The port state probe runs lsusb: it runs in a worker thread, never on the main loop,
// and `done` gets the state there afterwards.
struct PortStateProbe {
    std::function<void(std::string_view)> done;
    std::array<char, PORT_STATE_SIZE> result{};
};

void probe_in_thread(GTask *, gpointer, gpointer data, GCancellable *) {
    quillon_get_port_command_ready(static_cast<PortStateProbe *>(data)->result.data());
}

void probe_finished(GObject *, GAsyncResult *result, gpointer) {
    auto *probe = static_cast<PortStateProbe *>(g_task_get_task_data(G_TASK(result)));
    probe->done(std::string_view(probe->result.data(),
                                 strnlen(probe->result.data(), probe->result.size())));
}

void probe_port_state(std::function<void(std::string_view)> done) {
    g_autoptr(GTask) task = g_task_new(nullptr, nullptr, probe_finished, nullptr);
    auto probe = std::make_unique<PortStateProbe>();
    probe->done = std::move(done);
    g_task_set_task_data(task, probe.release(), [](gpointer data) {
        std::unique_ptr<PortStateProbe>(static_cast<PortStateProbe *>(data));
    });
    g_task_run_in_thread(task, probe_in_thread);
}

// Moves a call into a callback that std::function can hold (it must be copyable).
std::shared_ptr<PendingCall> shared_call(PendingCall call) {
    return std::make_shared<PendingCall>(std::move(call));
}

void serve_port_state(PendingCall call) {
    probe_port_state([call = shared_call(std::move(call))](std::string_view state) {
        call->reply(call->rtcode(), static_cast<int32_t>(state.size()), state);
    });
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
    probe_port_state([call = shared_call(std::move(call))](std::string_view state) {
        if (state.find("flashport") == std::string_view::npos) {
            quil_relay_forward(std::move(*call));
            return;
        }
        if (quil_edl_flash_start(call->forwarded_payload()) != EdlFlashStart::started)
            return;  // the call answers its failure as it goes
        call->reply(call->rtcode(), static_cast<int32_t>(EDL_FLASH_REPLY.size()), EDL_FLASH_REPLY);
    });
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
            serve_port_state(std::move(call));
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
