// SPDX-License-Identifier: GPL-2.0-or-later
// quil-helper-mbim: executes the D-Bus helper's requests on the module's AT and MBIM
// ports and reports the module's events back.
#include "command_table.h"
#include "control_receiver.h"
#include "fd_guard.h"
#include "log.h"
#include "main_loop.h"
#include "mbim_connection.h"

std::atomic<GMainLoop *> main_loop{nullptr};

int main(int argc, char **argv) {
    quil_log_open("helper_mbim_analyzer");
    log_set(argc, argv);

    if (quil_helperm_control_receiver_init() != 0) {
        QLOG_CRIT("quil_helper_control_receiver_init failed! exit mainloop!");
        return -1;
    }
    if (quil_main_receiver_init() != 0) {
        QLOG_CRIT("quil_main_receiver_init failed! exit mainloop!");
        return -1;
    }

    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    main_loop.store(loop);
    // libmbim closes a proxy device's socket twice: see fd_guard.h.
    quil::guard_main_context_dispatch(nullptr);
    g_main_loop_run(loop);

    main_loop.store(nullptr);
    g_main_loop_unref(loop);
    quil_adapter_mbim_port_deinit();
    QLOG_CRIT("exiting 'quil-helper-mbim'...");
    closelog();
    return 0;
}
