// SPDX-License-Identifier: GPL-2.0-or-later
// The module's MBIM control port, opened through the MBIM proxy.
//
// The port is opened when the D-Bus helper announces the module (control cid 1) and
// torn down when it goes away or the daemon stops. While the module is present a lost
// link (the device removed or failing, the proxy gone, a command failing on the
// transport) is opened again with a bounded backoff, without waiting for another
// announcement. Every libmbim call, the readiness wait before each command and the
// reopening run in the main loop; other threads only post work to it.
#pragma once

#include <libmbim-glib.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string_view>

// 1 once the device is open and the indication handler is connected. Written under
// mbim_mutex, read without it.
extern std::atomic<int32_t> mbim_ready;

// Held shared by code outside the main loop while it creates file descriptors, and
// exclusively while a device is closed: libmbim-glib 1.28 closes a proxy device's
// socket twice, and the second close must not meet a descriptor just handed out.
#include "fd_guard.h"  // the guard itself, now quil::DescriptorCreation / DescriptorClosing

// Owners of GObject references and MBIM messages.
struct GObjectUnref {
    void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
template <typename T>
using GObjectRef = std::unique_ptr<T, GObjectUnref>;

struct MbimMessageUnref {
    void operator()(MbimMessage *message) const noexcept { mbim_message_unref(message); }
};
using MbimMessageRef = std::unique_ptr<MbimMessage, MbimMessageUnref>;

// The response of a finished MBIM command (the result handed to a command's callback),
// or null with *error set when the command failed or its result is not success.
MbimMessageRef quil_mbim_command_response(GObject *source, GAsyncResult *res, GError **error);

// The message of an error for a log line.
const char *quil_mbim_error_text(const GError *error);

// True for a text that is there and not empty.
bool quil_mbim_has_text(const char *text);

// Port initialisation from the payload of control message cid 1 (the name prefix of
// the MBIM control device in /dev). Called from the "control_recv" thread; the work
// runs in the main loop.
void quil_adapter_mbim_port_init(std::string_view mbimport);

// Clears mbim_ready, answers the commands still pending on the device as failed, then
// releases the device and the cancellable. Main-loop thread (or main after the loop).
void quil_adapter_mbim_port_deinit();

// Control cid 2 (module removed): one more subscriber ready status query, whose
// completion tears the port down; reopening stops. A cid 1 that arrives while that
// query is pending is not lost: the port is opened again once the teardown is done.
// Called from the "control_recv" thread.
void quil_adapter_mbim_port_remove();

// Removal callback: ready callback of the subscriber ready status query sent for
// control cid 2; tears the port down whatever the query's outcome.
void quil_adapter_helperm_deinit_get_subscriber_ready_status_ready(GObject *source,
                                                                   GAsyncResult *res,
                                                                   gpointer user_data);

// Called in the main loop, with the command's user data, for a command that was never
// sent because the port did not become ready (code 3).
using MbimNotReadyFn = void (*)(gpointer user_data, int code);

// Sends message on the port with a time-out of 5 seconds, from any thread. Logs
// "MBIM FLAG" under the caller's name first (unless log_flag is false: the caller has
// written it). The readiness wait runs as timers in the main loop: the command goes
// out as soon as the port is ready, within three one-second waits; while a lost link
// waits for its next reopening it fails at once. Exactly one of callback (in the main
// loop, with a result for quil_mbim_command_response) or not_ready is called, once.
void quil_adapter_mbim_command(const char *caller, unsigned line, bool log_flag,
                               MbimMessageRef message, GAsyncReadyCallback callback,
                               gpointer user_data, MbimNotReadyFn not_ready);
#define QUIL_MBIM_COMMAND(...) quil_adapter_mbim_command(__func__, __LINE__, true, __VA_ARGS__)
#define QUIL_MBIM_COMMAND_QUIET(...) \
    quil_adapter_mbim_command(__func__, __LINE__, false, __VA_ARGS__)

// The pause before reopening attempt n (0 for the first after the link was lost):
// 500 ms doubling to a cap of 4 s, so that a port that comes back is open again within
// 5 s.
constexpr unsigned quil_mbim_reopen_delay_ms(unsigned attempt) {
    constexpr unsigned first = 500;
    constexpr unsigned cap = 4000;
    unsigned delay = first;
    for (unsigned n = 0; n < attempt && delay < cap; ++n)
        delay *= 2;
    return delay < cap ? delay : cap;
}
