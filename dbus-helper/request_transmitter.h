// SPDX-License-Identifier: GPL-2.0-or-later
// The handler of the D-Bus method sendMesg: local commands, and the forwarding of
// every other command to the MBIM helper with the wait for its response.
#pragma once

#include <gio/gio.h>

#include <chrono>
#include <cstdint>

#include "quillon-helper-gdbus-generated.h"

// Commands served inside this daemon.
inline constexpr int32_t CID_PORT_STATE = 0x2001;
inline constexpr int32_t CID_HW_RESET = 0x2003;
inline constexpr int32_t CID_EDL_FLASH = 0x2004;
// Forwarded, with a longer wait for its answer and ModemManager kept off the module.
inline constexpr int32_t CID_FASTBOOT_FLASH = 0x100a;

// The request last put on queue 0, for the time-out's manufactured response.
extern int32_t last_request_serviceid;
extern int32_t last_request_cid;

// "handle-send-mesg": answers the invocation exactly once and returns TRUE.
gboolean request_transmitter(QuillonGdbusHelper *object, GDBusMethodInvocation *invocation,
                             GVariant *msgd_int, gpointer user_data);

// Answers the invocation with "(@((ii)iis))" built from the five values. The payload
// must be valid UTF-8.
void quil_adapter_helperd_send_resp_to_dbus(GDBusMethodInvocation *invocation, int32_t serviceid,
                                            int32_t cid, int32_t rtcode, int32_t len,
                                            const char *payload);

// The guard of one waiting pass (6 seconds for most cids): armed with the cid's limit
// before the receive, closed after it. When it expires, restore_main_signal_work runs
// in the timer's own thread.
int quil_adapter_helperd_timer_handle(std::chrono::seconds limit);
void quil_adapter_helperd_timer_close();

// The time-out: withdraws the request (a type-1 message) from queue 0 when the MBIM
// helper has not taken it yet, and answers the waiting receive through queue 1 with
// rtcode 1 and an empty payload.
void restore_main_signal_work();
