// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon_state.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "helper_queue.h"
#include "log.h"
#include "run_command.h"

namespace {

// The loop quit_cb stops, and what guards its use against its release at shutdown.
GMainLoop *main_loop = nullptr;
std::mutex main_loop_mutex;

gboolean publish(gpointer data) {
    std::lock_guard lock(main_loop_mutex);
    main_loop = static_cast<GMainLoop *>(data);
    return G_SOURCE_REMOVE;
}

void remove_queue(int id) {
    if (!quil::tool_available("ipcrm"))
        return;
    std::array<char, 32> command = {};
    std::snprintf(command.data(), command.size(), "ipcrm -q %d", id);
    if (std::system(command.data()) != 0)
        QLOG_DEBUG("%s failed", command.data());
}

}  // namespace

void quil_publish_main_loop(GMainLoop *loop) {
    g_idle_add_full(G_PRIORITY_HIGH, publish, loop, nullptr);
}

void quil_withdraw_main_loop() {
    std::lock_guard lock(main_loop_mutex);
    main_loop = nullptr;
}

void quit_cb(int) {
    int id0 = quil_adapter_get_helper_seq_id(HELPER_QUEUE_TO_HELPERM);
    int id1 = quil_adapter_get_helper_seq_id(HELPER_QUEUE_TO_HELPERD);
    remove_queue(id0);
    remove_queue(id1);
    std::lock_guard lock(main_loop_mutex);
    if (main_loop != nullptr) {
        QLOG_ERR("Caught signal, stopping main loop...");
        g_main_loop_quit(main_loop);
    }
}
