// SPDX-License-Identifier: GPL-2.0-or-later
// The MBIM helper's command table, its dispatcher and the rules every handler and
// every completion follows.
#pragma once

#include <gio/gio.h>

#include <array>
#include <cstdint>

#include "heap_block.h"
#include "helper_queue.h"

// A completion in the shape of a GLib asynchronous-ready callback. Its user data is
// the request record (see make_request_record); it sends exactly one response,
// releases the record and gives back keep_pointer_exist_mutex.
using ReadyFn = void (*)(GObject *source, GAsyncResult *res, gpointer user_data);

// A handler: returns 0 when the work was started (or, for the default handler, done)
// and non-zero when it could not be started. The payload points into the receive
// buffer and must be copied before the handler returns.
using HandlerFn = int (*)(int32_t serviceid, int32_t cid, int32_t rtcode, int32_t len,
                          const char *payload, ReadyFn ready, const char *at_command);

struct CommandEntry {
    int32_t cid;
    HandlerFn handler;
    ReadyFn ready;
    const char *at_command;
};

// Looks a cid up in table order; null when it has no row.
const CommandEntry *quil_find_command(int32_t cid);

// Dispatches one received request; every request gets exactly one response.
void request_analyzer(const HelperMessage &msg);

// The default handler: answers rtcode 1 "ERROR" at once.
int quil_resp_error_result(int32_t serviceid, int32_t cid, int32_t rtcode, int32_t len,
                           const char *payload, ReadyFn ready, const char *at_command);

// Completion form of the default response; takes ownership of the request record.
void quil_resp_error_result_callback(gpointer request_record);

// The request record handed to completions: a zero-filled block of 16 + len + 1 bytes.
// The payload is cut to what a body can carry.
using RequestRecord = quil::HeapBlock<HelperRequest>;
RequestRecord make_request_record(int32_t serviceid, int32_t cid, int32_t rtcode, int32_t len,
                                  const char *payload);
// The payload text of a record (NUL-terminated).
inline char *request_record_payload(HelperRequest *record) {
    return reinterpret_cast<char *>(record) + sizeof(HelperRequest);
}

// keep_pointer_exist_mutex: a lock with two states, free and taken, that any thread may
// give back.
void quil_mutex_keep_pointer_exist_lock();
void quil_mutex_keep_pointer_exist_unlock();

// Request receiver thread "req_recv".
int quil_main_receiver_init();
