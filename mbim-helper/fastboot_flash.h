// SPDX-License-Identifier: GPL-2.0-or-later
// Fastboot flashing: request 0x100a reboots the module into its bootloader; once it
// shows up in fastboot mode the request is answered and the thread "fastboot_flash"
// flashes the images the payload names, shows progress in the desktop dialog and on the
// bus, reports its status texts and reboots the module.
//
// One fastboot flash at a time: from the acceptance of a request until its flash thread
// has ended (or until the request was answered "fastboot_switch_port") every further
// 0x100a is refused without touching the module.
#pragma once

#include "command_table.h"

// Handler of row 0x100a: refuses the request while a fastboot flash is under way,
// otherwise sends the row's AT text as the AT query handler does.
int quillon_fastboot_flash_request(int32_t serviceid, int32_t cid, int32_t rtcode, int32_t len,
                                   const char *payload, ReadyFn ready, const char *at_command);

// Completion of row 0x100a, called in "req_recv" with the request record itself right
// after the reboot command was written. It takes the record and returns at once: the
// wait for fastboot mode, the answer and the start of the flash run in the main loop.
void quillon_fastboot_flash_ready(GObject *source, GAsyncResult *res, gpointer user_data);
