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

// Readiness wait, then the query. 0 when sent (user_data then belongs to the
// command), 3 when the device never became ready.
int quil_adapter_helperm_get_local_mccmnc(GAsyncReadyCallback callback, gpointer user_data);
int quil_adapter_helperm_get_network_mccmnc(GAsyncReadyCallback callback, gpointer user_data);
// 0 when sent, 3 when the device never became ready.
int quil_adapter_helperm_get_subscriber_ready_status(GAsyncReadyCallback callback);
