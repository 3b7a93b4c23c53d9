// SPDX-License-Identifier: GPL-2.0-or-later
// The module's MBIM control port, opened through the MBIM proxy.
//
// The port is opened when the D-Bus helper announces the module (control cid 1) and
// torn down when it goes away or the daemon stops. Every MBIM command first runs the
// readiness wait; a sender that passes it holds its own references to the device and
// the cancellable, so a teardown in another thread never frees them under it.
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
extern std::shared_mutex mbim_fd_guard;

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

// What a sender holds for one command: its own references to the device and the
// cancellable of the open port.
struct MbimPortHandle {
    GObjectRef<MbimDevice> device;
    GObjectRef<GCancellable> cancellable;
};

// The response of a finished MBIM command, or null with *error set when the command
// failed or its result is not success.
MbimMessageRef quil_mbim_command_response(GObject *source, GAsyncResult *res, GError **error);

// The message of an error for a log line.
const char *quil_mbim_error_text(const GError *error);

// True for a text that is there and not empty.
bool quil_mbim_has_text(const char *text);

// Port initialisation from the payload of control message cid 1 (the name prefix of
// the MBIM control device in /dev). Runs in the "control_recv" thread.
void quil_adapter_mbim_port_init(std::string_view mbimport);

// Clears mbim_ready, then releases the device and the cancellable.
void quil_adapter_mbim_port_deinit();

// Control cid 2 (module removed): one more subscriber ready status query, whose
// completion tears the port down. A cid 1 that arrives while that query is pending
// is not lost: the port is opened again once the teardown is done.
void quil_adapter_mbim_port_remove();

// Removal callback: ready callback of the subscriber ready status query sent for
// control cid 2; tears the port down whatever the query's outcome.
void quil_adapter_helperm_deinit_get_subscriber_ready_status_ready(GObject *source,
                                                                   GAsyncResult *res,
                                                                   gpointer user_data);

// Readiness wait, logged under the caller's name: returns 0 with *handle filled when
// the port is (or becomes, within three one-second waits) ready, and 3 otherwise.
// No lock is held while it sleeps. log_flag false leaves out the "MBIM FLAG" line
// (the caller has already written it).
int quil_adapter_mbim_wait_ready(const char *caller, unsigned line, bool log_flag,
                                 MbimPortHandle *handle);
#define QUIL_MBIM_WAIT_READY(handle) quil_adapter_mbim_wait_ready(__func__, __LINE__, true, handle)
#define QUIL_MBIM_WAIT_READY_QUIET(handle) \
    quil_adapter_mbim_wait_ready(__func__, __LINE__, false, handle)

// Sends message on the handle's device with a time-out of 5 seconds. The send itself
// happens in the main-loop thread (libmbim's device is not thread-safe), so it may be
// called from any thread; callback then runs there with user_data, exactly once.
void quil_adapter_mbim_command(MbimPortHandle handle, MbimMessageRef message,
                               GAsyncReadyCallback callback, gpointer user_data);
