// SPDX-License-Identifier: GPL-2.0-or-later
#include "mbim_connection.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>

#include "heap_block.h"
#include "helper_queue.h"
#include "log.h"
#include "mbim_indications.h"
#include "run_command.h"

// A line in the log format, written under a caller's name and line.
#define QLOG_AS(threshold, prio, word, caller, line, fmt, ...)                                     \
    do {                                                                                           \
        if (g_debug_level > (threshold))                                                           \
            syslog((prio), "[" word "]: %s:%u: " fmt, (caller), (line)__VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

std::atomic<int32_t> mbim_ready{0};
std::shared_mutex mbim_fd_guard;

namespace {

// Written under mbim_mutex; a sender copies its references under the same lock.
MbimDevice *mbim_device = nullptr;
GCancellable *mbim_cancellable = nullptr;
std::mutex mbim_mutex;
// Under mbim_mutex: a removal query is pending, and the port name of a cid 1 that
// came meanwhile (empty: none).
bool removal_pending = false;
std::string init_after_removal;

constexpr std::size_t MBIMPORT_NAME_MAX = 15;
constexpr guint MBIM_OPEN_TIMEOUT_S = 30;
constexpr guint MBIM_COMMAND_TIMEOUT_S = 5;
constexpr int MBIM_READY_WAITS = 3;

// A device name prefix as it appears in /dev: letters, digits, '-', '_' and '.'.
// Nothing that find would read as a pattern or a path.
bool mbimport_name_valid(std::string_view name) {
    if (name.empty() || name.size() > MBIMPORT_NAME_MAX)
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return g_ascii_isalnum(c) || c == '-' || c == '_' || c == '.';
    });
}

// The last line find printed, without its newline.
std::string last_line(const std::string &output) {
    std::string_view text(output);
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    std::size_t start = text.rfind('\n');
    if (start != std::string_view::npos)
        text.remove_prefix(start + 1);
    return std::string(text);
}

// Closes and releases a device. libmbim-glib 1.28 closes the socket of a device opened
// through the proxy twice; the second close would hit whatever descriptor another
// thread has been given that number meanwhile, so the close runs while no other
// thread of ours is creating descriptors (mbim_fd_guard).
void release_device(MbimDevice *device) {
    std::unique_lock<std::shared_mutex> guard(mbim_fd_guard);
    g_signal_handlers_disconnect_by_func(
        device, reinterpret_cast<gpointer>(quil_port_notification_cb), nullptr);
    mbim_device_close_force(device, nullptr);
    g_object_unref(device);
}

void device_open_ready(GObject *source, GAsyncResult *res, gpointer) {
    QLOG_DEBUG("device_open_ready hello world!");
    MbimDevice *device = MBIM_DEVICE(source);
    GError *error = nullptr;
    if (!mbim_device_open_full_finish(device, res, &error)) {
        std::fprintf(stderr, "error: couldn't open the MbimDevice: %s\n", error->message);
        g_error_free(error);
        return;
    }
    QLOG_DEBUG("MBIM Device at '%s' ready", mbim_device_get_path_display(device));
    {
        std::lock_guard<std::mutex> guard(mbim_mutex);
        if (device != mbim_device) {
            // Replaced by a later attempt or torn down while it was opening.
            QLOG_DEBUG("device replaced while opening, dropped");
            return;
        }
        mbim_ready.store(1);
    }
    QLOG_DEBUG("mbim port init finished! flag:%d", mbim_ready.load());
    g_signal_connect(device, MBIM_DEVICE_SIGNAL_INDICATE_STATUS,
                     G_CALLBACK(quil_port_notification_cb), nullptr);
}

void device_new_ready(GObject *, GAsyncResult *res, gpointer) {
    QLOG_DEBUG("device_new_ready hello world!");
    GError *error = nullptr;
    MbimDevice *device = mbim_device_new_finish(res, &error);
    if (device == nullptr) {
        std::fprintf(stderr, "error: couldn't create MbimDevice: %s\n", error->message);
        g_error_free(error);
        return;
    }
    MbimDevice *replaced = nullptr;
    GCancellable *cancellable = nullptr;
    {
        std::lock_guard<std::mutex> guard(mbim_mutex);
        replaced = mbim_device;
        mbim_device = device;
        if (mbim_cancellable != nullptr)
            cancellable = G_CANCELLABLE(g_object_ref(mbim_cancellable));
    }
    if (replaced != nullptr)
        release_device(replaced);
    mbim_device_open_full(device, MBIM_DEVICE_OPEN_FLAGS_PROXY, MBIM_OPEN_TIMEOUT_S, cancellable,
                          device_open_ready, nullptr);
    if (cancellable != nullptr)
        g_object_unref(cancellable);
}

// The creation is started from the main loop, where every other libmbim call runs.
gboolean start_device_new(gpointer data) {
    GObjectRef<GFile> file(static_cast<GFile *>(data));
    GCancellable *cancellable = nullptr;
    {
        std::lock_guard<std::mutex> guard(mbim_mutex);
        if (mbim_cancellable != nullptr)
            cancellable = G_CANCELLABLE(g_object_ref(mbim_cancellable));
    }
    mbim_device_new(file.get(), cancellable, device_new_ready, nullptr);
    if (cancellable != nullptr)
        g_object_unref(cancellable);
    return G_SOURCE_REMOVE;
}

bool take_port_handle(MbimPortHandle *handle) {
    std::lock_guard<std::mutex> guard(mbim_mutex);
    if (mbim_ready.load() != 1 || mbim_device == nullptr)
        return false;
    handle->device.reset(MBIM_DEVICE(g_object_ref(mbim_device)));
    handle->cancellable.reset(
        mbim_cancellable != nullptr ? G_CANCELLABLE(g_object_ref(mbim_cancellable)) : nullptr);
    return true;
}

struct PendingCommand {
    MbimPortHandle handle;
    MbimMessageRef message;
    GAsyncReadyCallback callback;
    gpointer user_data;
};

gboolean send_pending_command(gpointer data) {
    std::unique_ptr<PendingCommand> pending(static_cast<PendingCommand *>(data));
    // The transaction keeps its own references to the device and the message.
    mbim_device_command(pending->handle.device.get(), pending->message.get(),
                        MBIM_COMMAND_TIMEOUT_S, pending->handle.cancellable.get(),
                        pending->callback, pending->user_data);
    return G_SOURCE_REMOVE;
}

}  // namespace

void quil_adapter_mbim_port_init(std::string_view mbimport) {
    // The name is what precedes the first NUL, as a text field holds it.
    std::string_view name = mbimport.substr(0, mbimport.find('\0'));
    QLOG_DEBUG("begin to init!");
    if (mbim_ready.load() == 1) {
        std::lock_guard<std::mutex> guard(mbim_mutex);
        if (removal_pending && mbimport_name_valid(name)) {
            // The module came back before the port of its earlier arrival was torn
            // down: open it again after the teardown.
            init_after_removal.assign(name);
            QLOG_DEBUG("module removal pending, init again after it!");
            return;
        }
        QLOG_DEBUG("mbim device has been inited!");
        return;
    }
    if (!mbimport_name_valid(name)) {
        QLOG_ERR("Invalid mbimport name, don't init!");
        return;
    }

    std::string output;
    int status = -1;
    {
        std::shared_lock<std::shared_mutex> guard(mbim_fd_guard);
        status = quil::run_argv({"find", "/dev", "-name", std::string(name) + "*"}, &output);
    }
    if (status == -1) {
        QLOG_ERR("execute command failed!");
        return;
    }
    std::string path = last_line(output);
    if (!quil::exited_ok(status) || path.empty()) {
        QLOG_ERR("can't find mbimport!");
        return;
    }

    GFile *file = g_file_new_for_path(path.c_str());
    if (file == nullptr) {
        QLOG_ERR("GFile new failed!");
        return;
    }
    GCancellable *replaced = nullptr;
    {
        std::lock_guard<std::mutex> guard(mbim_mutex);
        replaced = mbim_cancellable;
        mbim_cancellable = g_cancellable_new();
    }
    if (replaced != nullptr)
        g_object_unref(replaced);
    g_idle_add(start_device_new, file);
}

void quil_adapter_mbim_port_deinit() {
    QLOG_DEBUG("enter!");
    MbimDevice *device = nullptr;
    GCancellable *cancellable = nullptr;
    {
        std::lock_guard<std::mutex> guard(mbim_mutex);
        mbim_ready.store(0);
        device = std::exchange(mbim_device, nullptr);
        cancellable = std::exchange(mbim_cancellable, nullptr);
    }
    // Senders that passed the readiness wait hold their own references; what they
    // send now fails on a closed port and is answered as a failure.
    if (cancellable != nullptr)
        g_object_unref(cancellable);
    if (device != nullptr)
        release_device(device);
}

void quil_adapter_helperm_deinit_get_subscriber_ready_status_ready(GObject *source,
                                                                   GAsyncResult *res, gpointer) {
    QLOG_DEBUG("enter!");
    // The outcome does not matter: the module is gone either way.
    MbimMessage *response = mbim_device_command_finish(MBIM_DEVICE(source), res, nullptr);
    if (response != nullptr)
        mbim_message_unref(response);
    bool stale = false;
    {
        std::lock_guard<std::mutex> guard(mbim_mutex);
        stale = MBIM_DEVICE(source) != mbim_device;
    }
    if (stale) {
        // An earlier removal already tore this port down, and the port that is open
        // now (if any) belongs to a later arrival of the module.
        QLOG_DEBUG("removal answer of a port already torn down, ignored!");
        return;
    }
    quil_sim_inserted_clear();
    quil_adapter_mbim_port_deinit();
    std::string again;
    {
        std::lock_guard<std::mutex> guard(mbim_mutex);
        removal_pending = false;
        again.swap(init_after_removal);
    }
    if (!again.empty())
        quil_adapter_helperd_send_control_message_to_helperm(
            CONTROL_MBIM_PORT_INIT, static_cast<uint32_t>(again.size()), again.c_str());
}

void quil_adapter_mbim_port_remove() {
    {
        std::lock_guard<std::mutex> guard(mbim_mutex);
        removal_pending = true;
        // The module went away again: an arrival noted meanwhile is void.
        init_after_removal.clear();
    }
    if (quil_adapter_helperm_get_subscriber_ready_status(
            quil_adapter_helperm_deinit_get_subscriber_ready_status_ready) != 0) {
        // Not torn down: the port was not ready.
        std::lock_guard<std::mutex> guard(mbim_mutex);
        removal_pending = false;
        init_after_removal.clear();
    }
}

int quil_adapter_mbim_wait_ready(const char *caller, unsigned line, bool log_flag,
                                 MbimPortHandle *handle) {
    if (log_flag)
        QLOG_AS(6, LOG_DEBUG, "Debug", caller, line, "MBIM FLAG:%d", mbim_ready.load());
    if (take_port_handle(handle))
        return 0;
    for (int wait = 0; wait < MBIM_READY_WAITS; ++wait) {
        QLOG_AS(6, LOG_DEBUG, "Debug", caller, line, "mbim device not ready! wait for 1s!");
        g_usleep(G_USEC_PER_SEC);
        if (take_port_handle(handle))
            return 0;
    }
    QLOG_AS(2, LOG_ERR, "Error", caller, line, "Reach max retry, mbim device not ready!");
    return 3;
}

void quil_adapter_mbim_command(MbimPortHandle handle, MbimMessageRef message,
                               GAsyncReadyCallback callback, gpointer user_data) {
    auto pending = std::make_unique<PendingCommand>(
        PendingCommand{std::move(handle), std::move(message), callback, user_data});
    g_idle_add(send_pending_command, pending.release());
}

MbimMessageRef quil_mbim_command_response(GObject *source, GAsyncResult *res, GError **error) {
    MbimMessageRef response(mbim_device_command_finish(MBIM_DEVICE(source), res, error));
    if (response == nullptr)
        return response;
    if (!mbim_message_response_get_result(response.get(), MBIM_MESSAGE_TYPE_COMMAND_DONE, error))
        response.reset();
    return response;
}

const char *quil_mbim_error_text(const GError *error) {
    return error != nullptr ? error->message : "unknown error";
}

bool quil_mbim_has_text(const char *text) {
    return text != nullptr && text[0] != '\0';
}
