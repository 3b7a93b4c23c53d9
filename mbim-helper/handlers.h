// SPDX-License-Identifier: GPL-2.0-or-later
// Handlers and completions named by the command table, one family per file:
// AT channel, MBIM queries and fastboot flashing.
#pragma once

#include "command_table.h"
#include "fastboot_flash.h"

// AT channel.
int quil_parse_send_req_atcmd(int32_t serviceid, int32_t cid, int32_t rtcode, int32_t len,
                              const char *payload, ReadyFn ready, const char *at_command);
int quil_parse_send_set_atcmd(int32_t serviceid, int32_t cid, int32_t rtcode, int32_t len,
                              const char *payload, ReadyFn ready, const char *at_command);
void quil_parse_send_atcmd_ready(GObject *source, GAsyncResult *res, gpointer user_data);
void quillon_get_subsysid_ready(GObject *source, GAsyncResult *res, gpointer user_data);

// MBIM queries.
int quil_parse_mbim_request(int32_t serviceid, int32_t cid, int32_t rtcode, int32_t len,
                            const char *payload, ReadyFn ready, const char *at_command);
void quil_helperm_get_local_mccmnc_ready(GObject *source, GAsyncResult *res, gpointer user_data);
void quil_helperm_get_network_mccmnc_ready(GObject *source, GAsyncResult *res, gpointer user_data);
void quil_helperm_get_work_slot_id_ready(GObject *source, GAsyncResult *res, gpointer user_data);
