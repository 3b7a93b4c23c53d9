// SPDX-License-Identifier: GPL-2.0-or-later
// The MBIM helper's receiver of control messages (queue 0, type 2): any body goes to
// the dispatcher the receiving thread calls, then the main loop's share of the work
// runs as far as it is due. No tool is found here, so a port announcement (0x0001)
// goes as far as the search for the port, and a query finds no device.
#include <atomic>

#include "control_receiver.h"
#include "fuzz_support.h"
#include "main_loop.h"

// The program's own (main.cpp): no loop runs here, so a stop request has nothing to end.
std::atomic<GMainLoop *> main_loop{nullptr};

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quil_fuzz::init_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    HelperMessage msg = quil_fuzz::message_from_bytes(data, size, HELPER_MSG_CONTROL);
    quil_helper_control_dispatch(msg);
    // What the dispatcher queued for the main loop runs here, as far as it is due.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    return 0;
}
