// SPDX-License-Identifier: GPL-2.0-or-later
// quil-helper-dbus: owns com.quillon.helper on the system bus, forwards sendMesg
// calls to quil-helper-mbim over the message queues and turns its control messages
// into D-Bus signals.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "control_message_receiver.h"
#include "daemon_state.h"
#include "dbus_service.h"
#include "gpio_reset.h"
#include "helper_queue.h"
#include "log.h"
#include "presence_monitor.h"
#include "relay_line.h"

namespace {

// The adapter mutexes. The module-information mutex of the shared core is statically
// initialised; these are set up at start-up.
pthread_mutex_t force_sync_mutex;
pthread_mutex_t adapter_mutex_1;
pthread_mutex_t adapter_mutex_2;
pthread_mutex_t adapter_mutex_3;

constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGHUP, SIGTERM};

// The termination signals only write their number into this pipe; the thread
// "sig-watch" reads it and runs quit_cb outside signal context.
std::array<int, 2> signal_pipe = {-1, -1};

void on_stop_signal(int signo) {
    int saved_errno = errno;
    auto byte = static_cast<unsigned char>(signo);
    if (write(signal_pipe[1], &byte, 1) < 0) {
        // The pipe is full of earlier signals: one of them stops the daemon anyway.
    }
    errno = saved_errno;
}

gpointer signal_watch(gpointer) {
    for (;;) {
        unsigned char byte = 0;
        ssize_t n = read(signal_pipe[0], &byte, 1);
        if (n == 1) {
            quit_cb(byte);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return nullptr;
        }
    }
}

int quil_adapter_all_mutex_init() {
    int ret = 0;
    ret |= pthread_mutex_init(&force_sync_mutex, nullptr);
    ret |= pthread_mutex_init(&adapter_mutex_1, nullptr);
    ret |= pthread_mutex_init(&adapter_mutex_2, nullptr);
    ret |= pthread_mutex_init(&adapter_mutex_3, nullptr);
    if (ret != 0)
        QLOG_ERR("init mutex failed!");
    return ret;
}

void quil_mutex_force_sync_unlock() {
    pthread_mutex_unlock(&force_sync_mutex);
    QLOG_DEBUG("finished!");
}

int quil_install_stop_handlers() {
    if (pipe2(signal_pipe.data(), O_CLOEXEC) != 0) {
        QLOG_ERR("can't create signal pipe!");
        return -1;
    }
    fcntl(signal_pipe[1], F_SETFL, fcntl(signal_pipe[1], F_GETFL) | O_NONBLOCK);
    GThread *thread = g_thread_try_new("sig-watch", signal_watch, nullptr, nullptr);
    if (thread == nullptr) {
        QLOG_ERR("thread init failed!");
        return -1;
    }
    g_thread_unref(thread);
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : kStopSignals)
        sigaction(signo, &action, nullptr);
    return 0;
}

int quil_helperd_control_receiver_init() {
    if (quil_adapter_helper_queue_init() != 0) {
        QLOG_ERR("message_queue_init failed! can't init message seq!");
        return 0;  // the daemon runs on without a control receiver
    }
    GThread *thread =
        g_thread_try_new("mbim-ctl-rcv", quil_helper_control_message_receiver, nullptr, nullptr);
    if (thread == nullptr) {
        QLOG_ERR("thread init failed!");
        return -1;
    }
    g_thread_unref(thread);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    quil_log_open("helper");
    QLOG_INFO("quil_helper_service version:%s", QUIL_HELPER_VERSION);
    log_set(argc, argv);

    quil_register_helper_service();

    int ret = quil_adapter_all_mutex_init();
    if (ret != 0) {
        QLOG_CRIT("quil_mutex_init failed! exit mainloop!");
        return ret;
    }

    if (quil_install_stop_handlers() != 0) {
        QLOG_CRIT("quil_install_stop_handlers failed! exit mainloop!");
        return -1;
    }

    if (quil_helperd_control_receiver_init() != 0) {
        QLOG_CRIT("quil_helper_control_receiver_init failed! exit mainloop!");
        return -1;
    }

    if (quil_relay_receiver_start() != 0) {
        QLOG_CRIT("quil_relay_receiver_start failed! exit mainloop!");
        return -1;
    }

    if (quil_helper_device_check_thread_init() != 0) {
        QLOG_CRIT("quil_helper_device_check_thread_init failed! exit mainloop!");
        return -1;
    }

    if (quillon_hwreset_gpio_init() != 0)
        QLOG_CRIT("quillon_hwreset_gpio_init failed!");

    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    quil_publish_main_loop(loop);
    g_main_loop_run(loop);

    quil_mutex_force_sync_unlock();
    quil_udev_deinit();
    quil_withdraw_main_loop();
    g_main_loop_unref(loop);
    QLOG_CRIT("exiting 'quil-helper-dbus'...");
    closelog();
    return 0;
}
