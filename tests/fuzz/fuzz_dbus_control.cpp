// SPDX-License-Identifier: GPL-2.0-or-later
// The D-Bus helper's receiver of control messages (queue 1, type 2): any body goes
// through the handler the receiving thread calls, with an exported-nowhere skeleton,
// so that every signal is built (a text that is no valid D-Bus string would raise a
// GLib critical, fatal here).
#include <glib.h>

#include <cstdlib>

#include "control_message_receiver.h"
#include "daemon_state.h"
#include "fuzz_support.h"

// In place of the daemon's own: the handler never calls quit_cb, it asks its caller to.
void quit_cb(int) {
    quil_fuzz::fail("the handler never stops the daemon itself");
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quil_fuzz::init_process();
    helper_skeleton.store(quillon_gdbus_helper_skeleton_new());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    HelperMessage msg = quil_fuzz::message_from_bytes(data, size, HELPER_MSG_CONTROL);
    bool goes_on = quil_helper_control_message_handle(msg);
    quil_fuzz::require(goes_on == (helper_message_header(msg).cid != CONTROL_HELPERD_STOP),
                       "only control message 4 stops the D-Bus helper");
    // What the handler queued for the main loop (the end of a flash) runs here.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    return 0;
}
