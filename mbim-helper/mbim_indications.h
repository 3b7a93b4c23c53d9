// SPDX-License-Identifier: GPL-2.0-or-later
// MBIM indications, the SIM state tracking and the answer callbacks of the queries
// run for control messages.
#pragma once

#include <libmbim-glib.h>

#include "sim_state.h"

// ---- indications and answers (main-loop thread) --------------------------------

// Handler of the device's "device-indicate-status" signal.
void quil_port_notification_cb(MbimDevice *device, MbimMessage *message, gpointer user_data);

// Clears the SIM-inserted flag without reporting anything (module removed).
void quil_sim_inserted_clear();

// Answer callbacks of the queries run for control cids 16, 18 and 20.
void quil_adapter_helperm_control_get_subscriber_ready_status_ready(GObject *source,
                                                                    GAsyncResult *res,
                                                                    gpointer user_data);
void quil_adapter_helperm_control_get_local_mccmnc_ready(GObject *source, GAsyncResult *res,
                                                         gpointer user_data);
void quil_adapter_helperm_control_get_network_mccmnc_ready(GObject *source, GAsyncResult *res,
                                                           gpointer user_data);

// ---- queries (mbim_queries.cpp), shared with the control path ------------------

// The query, sent once the port is ready (readiness wait in the main loop). 0 when
// handed over: user_data (a request record, or null for the control path) then
// belongs to the command, and a request whose port never became ready is answered
// "ERROR". -1 when the message could not be made.
int quil_adapter_helperm_get_local_mccmnc(GAsyncReadyCallback callback, gpointer user_data);
int quil_adapter_helperm_get_network_mccmnc(GAsyncReadyCallback callback, gpointer user_data);
// 0 when handed over (dropped if the port never becomes ready), -1 on failure.
int quil_adapter_helperm_get_subscriber_ready_status(GAsyncReadyCallback callback);
