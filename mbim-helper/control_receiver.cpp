// SPDX-License-Identifier: GPL-2.0-or-later
#include "control_receiver.h"

#include "heap_block.h"
#include "log.h"
#include "main_loop.h"
#include "mbim_connection.h"
#include "mbim_indications.h"

namespace {

gboolean quit_main_loop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

gpointer quil_helper_control_receiver(gpointer) {
    auto buffer = quil::alloc_zeroed<HelperMessage>(sizeof(HelperMessage));
    if (!buffer) {
        QLOG_ERR("malloc failed!");
        return nullptr;
    }
    QLOG_DEBUG("ready to get control message!");
    for (;;) {
        int ret = quil_adapter_helperm_get_control_msg_from_helperd(buffer.get());
        if (ret == 0) {
            QLOG_DEBUG("Get control message!");
        } else if (ret == -1) {
            // The queue is gone until a D-Bus helper creates it again.
            quil_adapter_missing_queue_pause();
        }
        quil_helper_control_dispatch(*buffer);
    }
    return nullptr;
}

}  // namespace

void quil_helper_control_dispatch(const HelperMessage &msg) {
    HelperRequest header = helper_message_header(msg);
    switch (header.cid) {
        case CONTROL_NONE:
            break;
        case CONTROL_MBIM_PORT_INIT:
            quil_adapter_mbim_port_init(helper_message_payload(msg));
            break;
        case CONTROL_MBIM_PORT_REMOVED:
            quil_adapter_mbim_port_remove();
            break;
        case CONTROL_SUBSCRIBER_READY_QUERY:
            quil_adapter_helperm_get_subscriber_ready_status(
                quil_adapter_helperm_control_get_subscriber_ready_status_ready);
            break;
        case CONTROL_HOME_PROVIDER_QUERY:
            quil_adapter_helperm_get_local_mccmnc(
                quil_adapter_helperm_control_get_local_mccmnc_ready, nullptr);
            break;
        case CONTROL_REGISTER_STATE_QUERY:
            quil_adapter_helperm_get_network_mccmnc(
                quil_adapter_helperm_control_get_network_mccmnc_ready, nullptr);
            break;
        case CONTROL_HELPERM_STOP: {
            GMainLoop *loop = main_loop.load();
            if (loop != nullptr) {
                QLOG_ERR("Caught signal, stopping quil-helper-mbim...");
                g_idle_add(quit_main_loop, loop);
            }
            break;
        }
        default:
            QLOG_ERR("Invalid control cid! refuse to execute!");
            break;
    }
}

int quil_helperm_control_receiver_init() {
    // Queues that are there already were made by a D-Bus helper that runs (or ran)
    // beside us; one that starts later announces the module on its own.
    bool peer_queues = quil_adapter_get_helper_seq_id(HELPER_QUEUE_TO_HELPERD) != -1;
    if (quil_adapter_helper_queue_init() != 0) {
        QLOG_ERR("message_queue_init failed! can't init message seq!");
        return -1;
    }
    GThread *thread =
        g_thread_try_new("control_recv", quil_helper_control_receiver, nullptr, nullptr);
    if (thread == nullptr) {
        QLOG_ERR("thread init failed!");
        return -1;
    }
    g_thread_unref(thread);
    if (peer_queues) {
        // This process knows nothing of the module yet: the port is opened once the
        // D-Bus helper, which follows the module's presence, announces it.
        QLOG_DEBUG("ask for the module to be announced again!");
        quil_adapter_helperm_send_control_message_to_helperd(CONTROL_MODULE_ANNOUNCE_REQUEST, 0,
                                                             "");
    }
    return 0;
}
