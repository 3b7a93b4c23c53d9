// SPDX-License-Identifier: GPL-2.0-or-later
#include "mbim_connection.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <list>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

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

namespace {

constexpr std::size_t MBIMPORT_NAME_MAX = 15;
constexpr guint MBIM_OPEN_TIMEOUT_S = 30;
// A reopening must not hold the port closed for long when the module stays silent.
constexpr guint MBIM_REOPEN_TIMEOUT_S = 5;
constexpr guint MBIM_COMMAND_TIMEOUT_S = 5;
constexpr int MBIM_READY_WAITS = 3;
constexpr guint MBIM_READY_WAIT_MS = 1000;
// A link that stayed up this long starts its reopening backoff from the beginning.
constexpr gint64 MBIM_LINK_STABLE_US = 10 * G_USEC_PER_SEC;

// The port's states: no module announced (or it went away), an attempt in flight,
// open, and lost while the module is present, waiting for the next attempt.
enum class Link { closed, opening, ready, waiting };

// A command sent on the device: its callback's task, answered either by libmbim's
// completion or, when the link is lost first, at once as failed.
struct InFlight {
    GTask *task;         // null once answered
    MbimDevice *device;  // the task's source object
};

// A command waiting for the port to become ready.
struct PendingCommand {
    const char *caller;
    unsigned line;
    MbimMessageRef message;
    GAsyncReadyCallback callback;
    gpointer user_data;
    MbimNotReadyFn not_ready;
    int waits = 0;
    guint timer = 0;
};

// Everything below is used in the main-loop thread only.
struct Connection {
    MbimDevice *device = nullptr;
    GCancellable *cancellable = nullptr;
    Link link = Link::closed;
    // The prefix of the announced module's port; empty while none is announced.
    std::string port_name;
    // Results of attempts other than the latest are dropped.
    guint generation = 0;
    // The latest attempt reopens a lost link (rather than following an announcement).
    bool reopening = false;
    unsigned attempts = 0;
    guint retry_timer = 0;
    gint64 ready_since = 0;
    // A removal query is pending, and the port name of a cid 1 that came meanwhile.
    bool removal_pending = false;
    std::string init_after_removal;
    std::vector<InFlight *> in_flight;
    std::list<std::unique_ptr<PendingCommand>> waiting;
};
Connection conn;

// Taken around every write of mbim_ready.
std::mutex mbim_mutex;

void set_ready(int32_t value) {
    std::lock_guard<std::mutex> guard(mbim_mutex);
    mbim_ready.store(value);
}

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

void device_removed_cb(MbimDevice *device, gpointer);
void device_error_cb(MbimDevice *device, GError *error, gpointer);
void link_lost_later(MbimDevice *device, std::string why);

// Closes and releases a device. libmbim-glib 1.28 closes the socket of a device opened
// through the proxy twice; the second close would hit whatever descriptor another
// thread has been given that number meanwhile, so the close runs while no other
// thread of ours is creating descriptors (mbim_fd_guard).
void release_device(MbimDevice *device) {
    quil::DescriptorClosing closing;
    g_signal_handlers_disconnect_by_func(
        device, reinterpret_cast<gpointer>(quil_port_notification_cb), nullptr);
    g_signal_handlers_disconnect_by_func(device, reinterpret_cast<gpointer>(device_removed_cb),
                                         nullptr);
    g_signal_handlers_disconnect_by_func(device, reinterpret_cast<gpointer>(device_error_cb),
                                         nullptr);
    mbim_device_close_force(device, nullptr);
    g_object_unref(device);
}

// Answers every command still pending on device as failed; libmbim's own completion
// of each, when it comes, is then dropped.
void fail_in_flight(MbimDevice *device) {
    std::vector<GTask *> tasks;
    auto gone = [device, &tasks](InFlight *flight) {
        if (flight->device != device)
            return false;
        tasks.push_back(std::exchange(flight->task, nullptr));
        return true;
    };
    conn.in_flight.erase(std::remove_if(conn.in_flight.begin(), conn.in_flight.end(), gone),
                         conn.in_flight.end());
    for (GTask *task : tasks) {
        g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_CLOSED, "mbim port closed");
        g_object_unref(task);
    }
}

// A failure that says the link itself is broken, not only this command.
bool link_fault(const GError *error) {
    return error != nullptr &&
           (error->domain == G_IO_ERROR ||
            g_error_matches(error, MBIM_CORE_ERROR, MBIM_CORE_ERROR_WRONG_STATE) ||
            g_error_matches(error, MBIM_PROTOCOL_ERROR, MBIM_PROTOCOL_ERROR_NOT_OPENED));
}

void inflight_done(GObject *source, GAsyncResult *res, gpointer data) {
    std::unique_ptr<InFlight> flight(static_cast<InFlight *>(data));
    GError *error = nullptr;
    MbimMessage *response = mbim_device_command_finish(MBIM_DEVICE(source), res, &error);
    if (flight->task == nullptr) {
        // Answered already when the link was lost.
        if (response != nullptr)
            mbim_message_unref(response);
        g_clear_error(&error);
        return;
    }
    auto &list = conn.in_flight;
    list.erase(std::remove(list.begin(), list.end(), flight.get()), list.end());
    GObjectRef<GTask> task(std::exchange(flight->task, nullptr));
    bool fault = response == nullptr && link_fault(error);
    std::string why = fault ? std::string("command failed: ") + error->message : std::string();
    if (response != nullptr) {
        g_task_return_pointer(task.get(), response,
                              reinterpret_cast<GDestroyNotify>(mbim_message_unref));
        g_clear_error(&error);
    } else if (error != nullptr) {
        g_task_return_error(task.get(), error);
    } else {
        g_task_return_new_error(task.get(), MBIM_CORE_ERROR, MBIM_CORE_ERROR_FAILED, "no response");
    }
    if (fault)
        link_lost_later(MBIM_DEVICE(source), std::move(why));
}

void send_now(PendingCommand &pending) {
    auto flight = std::make_unique<InFlight>(InFlight{
        g_task_new(conn.device, nullptr, pending.callback, pending.user_data), conn.device});
    InFlight *raw = flight.release();
    conn.in_flight.push_back(raw);
    // The transaction keeps its own references to the device and the message.
    mbim_device_command(conn.device, pending.message.get(), MBIM_COMMAND_TIMEOUT_S,
                        conn.cancellable, inflight_done, raw);
}

void give_up(PendingCommand &pending) {
    if (pending.not_ready != nullptr)
        pending.not_ready(pending.user_data, 3);
}

gboolean ready_wait_tick(gpointer data);

// One step of the readiness wait for a command taken out of the waiting list (or new).
void try_send(std::unique_ptr<PendingCommand> pending) {
    pending->timer = 0;
    if (conn.link == Link::ready && conn.device != nullptr) {
        send_now(*pending);
        return;
    }
    if (conn.link == Link::waiting) {
        QLOG_AS(2, LOG_ERR, "Error", pending->caller, pending->line,
                "mbim port lost, not open again yet!");
        give_up(*pending);
        return;
    }
    if (pending->waits >= MBIM_READY_WAITS) {
        QLOG_AS(2, LOG_ERR, "Error", pending->caller, pending->line,
                "Reach max retry, mbim device not ready!");
        give_up(*pending);
        return;
    }
    ++pending->waits;
    QLOG_AS(6, LOG_DEBUG, "Debug", pending->caller, pending->line,
            "mbim device not ready! wait for 1s!");
    PendingCommand *raw = pending.get();
    conn.waiting.push_back(std::move(pending));
    raw->timer = g_timeout_add(MBIM_READY_WAIT_MS, ready_wait_tick, raw);
}

std::unique_ptr<PendingCommand> take_waiting(PendingCommand *raw) {
    auto it = std::find_if(conn.waiting.begin(), conn.waiting.end(),
                           [raw](const auto &p) { return p.get() == raw; });
    if (it == conn.waiting.end())
        return nullptr;
    std::unique_ptr<PendingCommand> pending = std::move(*it);
    conn.waiting.erase(it);
    return pending;
}

gboolean ready_wait_tick(gpointer data) {
    std::unique_ptr<PendingCommand> pending = take_waiting(static_cast<PendingCommand *>(data));
    if (pending)
        try_send(std::move(pending));
    return G_SOURCE_REMOVE;
}

// The port just opened, or was lost: the waiting commands go out or fail now.
void settle_waiting() {
    std::list<std::unique_ptr<PendingCommand>> waiting;
    waiting.swap(conn.waiting);
    for (auto &pending : waiting) {
        if (pending->timer != 0)
            g_source_remove(pending->timer);
        pending->waits = MBIM_READY_WAITS;
        try_send(std::move(pending));
    }
}

gboolean post_try_send(gpointer data) {
    try_send(std::unique_ptr<PendingCommand>(static_cast<PendingCommand *>(data)));
    return G_SOURCE_REMOVE;
}

// ---- opening -----------------------------------------------------------------------

void schedule_reopen();

void attempt_failed(guint generation) {
    if (generation != conn.generation || conn.link != Link::opening)
        return;
    if (conn.port_name.empty()) {
        conn.link = Link::closed;
        return;
    }
    schedule_reopen();
}

void device_open_ready(GObject *source, GAsyncResult *res, gpointer data) {
    QLOG_DEBUG("device_open_ready hello world!");
    guint generation = GPOINTER_TO_UINT(data);
    MbimDevice *device = MBIM_DEVICE(source);
    GError *error = nullptr;
    if (!mbim_device_open_full_finish(device, res, &error)) {
        std::fprintf(stderr, "error: couldn't open the MbimDevice: %s\n", error->message);
        g_error_free(error);
        if (device == conn.device)
            attempt_failed(generation);
        return;
    }
    QLOG_DEBUG("MBIM Device at '%s' ready", mbim_device_get_path_display(device));
    if (device != conn.device || generation != conn.generation || conn.link != Link::opening) {
        // Replaced by a later attempt or torn down while it was opening.
        QLOG_DEBUG("device replaced while opening, dropped");
        return;
    }
    set_ready(1);
    conn.link = Link::ready;
    conn.ready_since = g_get_monotonic_time();
    QLOG_DEBUG("mbim port init finished! flag:%d", mbim_ready.load());
    g_signal_connect(device, MBIM_DEVICE_SIGNAL_INDICATE_STATUS,
                     G_CALLBACK(quil_port_notification_cb), nullptr);
    g_signal_connect(device, MBIM_DEVICE_SIGNAL_REMOVED, G_CALLBACK(device_removed_cb), nullptr);
    g_signal_connect(device, MBIM_DEVICE_SIGNAL_ERROR, G_CALLBACK(device_error_cb), nullptr);
    bool reopened = std::exchange(conn.reopening, false);
    settle_waiting();
    if (reopened) {
        QLOG_ERR("mbim port open again after %u attempts!", conn.attempts);
        // Indications may have been lost meanwhile: learn the SIM state again.
        quil_adapter_helperm_get_subscriber_ready_status(
            quil_adapter_helperm_control_get_subscriber_ready_status_ready);
    }
}

void device_new_ready(GObject *, GAsyncResult *res, gpointer data) {
    QLOG_DEBUG("device_new_ready hello world!");
    guint generation = GPOINTER_TO_UINT(data);
    GError *error = nullptr;
    MbimDevice *device = mbim_device_new_finish(res, &error);
    if (device == nullptr) {
        std::fprintf(stderr, "error: couldn't create MbimDevice: %s\n", error->message);
        g_error_free(error);
        attempt_failed(generation);
        return;
    }
    if (generation != conn.generation || conn.link != Link::opening) {
        // A later attempt or a teardown came meanwhile; never opened, so no close.
        g_object_unref(device);
        return;
    }
    MbimDevice *replaced = std::exchange(conn.device, device);
    if (replaced != nullptr) {
        fail_in_flight(replaced);
        release_device(replaced);
    }
    mbim_device_open_full(device, MBIM_DEVICE_OPEN_FLAGS_PROXY,
                          conn.reopening ? MBIM_REOPEN_TIMEOUT_S : MBIM_OPEN_TIMEOUT_S,
                          conn.cancellable, device_open_ready, GUINT_TO_POINTER(generation));
}

// The search for the port's device node, run in a worker thread: find must not hold
// up the main loop.
struct PortSearch {
    std::string name;
    std::string path;
    int status = -1;
};

void search_port(GTask *task, gpointer, gpointer task_data, GCancellable *) {
    auto *search = static_cast<PortSearch *>(task_data);
    std::string output;
    {
        quil::DescriptorCreation creating;
        search->status = quil::run_argv({"find", "/dev", "-name", search->name + "*"}, &output);
    }
    search->path = last_line(output);
    g_task_return_boolean(task, TRUE);
}

void port_searched(GObject *, GAsyncResult *res, gpointer data) {
    guint generation = GPOINTER_TO_UINT(data);
    auto *search = static_cast<PortSearch *>(g_task_get_task_data(G_TASK(res)));
    g_task_propagate_boolean(G_TASK(res), nullptr);
    // A superseded attempt goes on to its device creation, which drops it.
    if (conn.link != Link::opening)
        return;
    if (search->status == -1) {
        QLOG_ERR("execute command failed!");
        attempt_failed(generation);
        return;
    }
    if (!quil::exited_ok(search->status) || search->path.empty()) {
        QLOG_ERR("can't find mbimport!");
        attempt_failed(generation);
        return;
    }
    GObjectRef<GFile> file(g_file_new_for_path(search->path.c_str()));
    if (!file) {
        QLOG_ERR("GFile new failed!");
        attempt_failed(generation);
        return;
    }
    GCancellable *replaced = std::exchange(conn.cancellable, g_cancellable_new());
    if (replaced != nullptr)
        g_object_unref(replaced);
    mbim_device_new(file.get(), conn.cancellable, device_new_ready, GUINT_TO_POINTER(generation));
}

void start_attempt(bool reopening) {
    if (conn.retry_timer != 0) {
        g_source_remove(conn.retry_timer);
        conn.retry_timer = 0;
    }
    ++conn.generation;
    conn.link = Link::opening;
    conn.reopening = reopening;
    auto search = std::make_unique<PortSearch>();
    search->name = conn.port_name;
    GTask *task = g_task_new(nullptr, nullptr, port_searched, GUINT_TO_POINTER(conn.generation));
    g_task_set_task_data(task, search.release(), [](gpointer p) {
        std::default_delete<PortSearch>()(static_cast<PortSearch *>(p));
    });
    g_task_run_in_thread(task, search_port);
    g_object_unref(task);
}

gboolean reopen_now(gpointer) {
    conn.retry_timer = 0;
    start_attempt(true);
    return G_SOURCE_REMOVE;
}

void schedule_reopen() {
    unsigned delay = quil_mbim_reopen_delay_ms(conn.attempts);
    ++conn.attempts;
    QLOG_ERR("mbim port not open, attempt %u to open it again in %u ms!", conn.attempts, delay);
    conn.link = Link::waiting;
    conn.retry_timer = g_timeout_add(delay, reopen_now, nullptr);
    // Nothing waits for a port that is not being opened.
    settle_waiting();
}

void stop_attempts() {
    if (conn.retry_timer != 0) {
        g_source_remove(conn.retry_timer);
        conn.retry_timer = 0;
    }
    ++conn.generation;
    conn.reopening = false;
}

// ---- removal and loss ----------------------------------------------------------------

void finish_removal() {
    quil_sim_inserted_clear();
    quil_adapter_mbim_port_deinit();
    conn.link = Link::closed;
    conn.removal_pending = false;
    std::string again;
    again.swap(conn.init_after_removal);
    if (!again.empty())
        quil_adapter_helperd_send_control_message_to_helperm(
            CONTROL_MBIM_PORT_INIT, static_cast<uint32_t>(again.size()), again.c_str());
}

struct LostLink {
    GObjectRef<MbimDevice> device;
    std::string why;
};

gboolean link_lost(gpointer data) {
    std::unique_ptr<LostLink> lost(static_cast<LostLink *>(data));
    if (lost->device.get() != conn.device || conn.link != Link::ready)
        return G_SOURCE_REMOVE;
    QLOG_ERR("mbim port lost: %s", lost->why.c_str());
    if (conn.removal_pending) {
        // The module is going away: this ends the removal.
        finish_removal();
        return G_SOURCE_REMOVE;
    }
    if (g_get_monotonic_time() - conn.ready_since >= MBIM_LINK_STABLE_US)
        conn.attempts = 0;
    quil_adapter_mbim_port_deinit();
    if (conn.port_name.empty()) {
        conn.link = Link::closed;
        return G_SOURCE_REMOVE;
    }
    schedule_reopen();
    return G_SOURCE_REMOVE;
}

void device_removed_cb(MbimDevice *device, gpointer) {
    link_lost_later(device, "device removed");
}

void device_error_cb(MbimDevice *device, GError *error, gpointer) {
    if (link_fault(error)) {
        link_lost_later(device, std::string("device error: ") + error->message);
        return;
    }
    QLOG_ERR("mbim device error: %s", quil_mbim_error_text(error));
}

// ---- work posted from the control thread ------------------------------------------------

struct PortName {
    std::string name;
};

gboolean announced(gpointer data) {
    std::unique_ptr<PortName> port(static_cast<PortName *>(data));
    bool valid = mbimport_name_valid(port->name);
    if (conn.link == Link::ready) {
        if (conn.removal_pending && valid) {
            // The module came back before the port of its earlier arrival was torn
            // down: open it again after the teardown.
            conn.init_after_removal = port->name;
            QLOG_DEBUG("module removal pending, init again after it!");
            return G_SOURCE_REMOVE;
        }
        QLOG_DEBUG("mbim device has been inited!");
        return G_SOURCE_REMOVE;
    }
    if (!valid) {
        QLOG_ERR("Invalid mbimport name, don't init!");
        return G_SOURCE_REMOVE;
    }
    conn.port_name = port->name;
    conn.attempts = 0;
    start_attempt(false);
    return G_SOURCE_REMOVE;
}

void removal_not_ready(gpointer, int) {
    // Not torn down: the port was not ready.
    conn.removal_pending = false;
    conn.init_after_removal.clear();
}

gboolean removed(gpointer) {
    conn.port_name.clear();
    conn.init_after_removal.clear();
    if (conn.link == Link::opening || conn.link == Link::waiting) {
        // Gone while its port was being opened: nothing left to ask.
        QLOG_DEBUG("module removed while its port is not open!");
        stop_attempts();
        quil_sim_inserted_clear();
        quil_adapter_mbim_port_deinit();
        conn.link = Link::closed;
        return G_SOURCE_REMOVE;
    }
    conn.removal_pending = conn.link == Link::ready;
    MbimMessageRef message(mbim_message_subscriber_ready_status_query_new(nullptr));
    if (!message) {
        QLOG_ERR("malloc failed!");
        conn.removal_pending = false;
        return G_SOURCE_REMOVE;
    }
    QUIL_MBIM_COMMAND(std::move(message),
                      quil_adapter_helperm_deinit_get_subscriber_ready_status_ready, nullptr,
                      removal_not_ready);
    return G_SOURCE_REMOVE;
}

// Handled from the loop, outside whatever libmbim callback noticed it.
void link_lost_later(MbimDevice *device, std::string why) {
    auto lost = std::make_unique<LostLink>(
        LostLink{GObjectRef<MbimDevice>(MBIM_DEVICE(g_object_ref(device))), std::move(why)});
    g_idle_add(link_lost, lost.release());
}

}  // namespace

void quil_adapter_mbim_port_init(std::string_view mbimport) {
    // The name is what precedes the first NUL, as a text field holds it.
    std::string_view name = mbimport.substr(0, mbimport.find('\0'));
    QLOG_DEBUG("begin to init!");
    auto port = std::make_unique<PortName>(PortName{std::string(name)});
    g_idle_add(announced, port.release());
}

void quil_adapter_mbim_port_deinit() {
    QLOG_DEBUG("enter!");
    set_ready(0);
    MbimDevice *device = std::exchange(conn.device, nullptr);
    GCancellable *cancellable = std::exchange(conn.cancellable, nullptr);
    if (cancellable != nullptr)
        g_object_unref(cancellable);
    if (device != nullptr) {
        fail_in_flight(device);
        release_device(device);
    }
}

void quil_adapter_helperm_deinit_get_subscriber_ready_status_ready(GObject *source,
                                                                   GAsyncResult *res, gpointer) {
    QLOG_DEBUG("enter!");
    // The outcome does not matter: the module is gone either way.
    MbimMessageRef response(
        static_cast<MbimMessage *>(g_task_propagate_pointer(G_TASK(res), nullptr)));
    if (MBIM_DEVICE(source) != conn.device || !conn.removal_pending) {
        // An earlier removal already tore this port down, and the port that is open
        // now (if any) belongs to a later arrival of the module.
        QLOG_DEBUG("removal answer of a port already torn down, ignored!");
        return;
    }
    finish_removal();
}

void quil_adapter_mbim_port_remove() {
    g_idle_add(removed, nullptr);
}

void quil_adapter_mbim_command(const char *caller, unsigned line, bool log_flag,
                               MbimMessageRef message, GAsyncReadyCallback callback,
                               gpointer user_data, MbimNotReadyFn not_ready) {
    if (log_flag)
        QLOG_AS(6, LOG_DEBUG, "Debug", caller, line, "MBIM FLAG:%d", mbim_ready.load());
    auto pending = std::make_unique<PendingCommand>();
    pending->caller = caller;
    pending->line = line;
    pending->message = std::move(message);
    pending->callback = callback;
    pending->user_data = user_data;
    pending->not_ready = not_ready;
    g_idle_add(post_try_send, pending.release());
}

MbimMessageRef quil_mbim_command_response(GObject *, GAsyncResult *res, GError **error) {
    MbimMessageRef response(
        static_cast<MbimMessage *>(g_task_propagate_pointer(G_TASK(res), error)));
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
