// SPDX-License-Identifier: GPL-2.0-or-later
// The D-Bus face of the daemon: the bus name, the exported object and the signal
// helpers of the flashing code.
#pragma once

// Asks for "com.quillon.helper" on the system bus; the bus callbacks run later from
// the main loop. Losing or never getting the name does not stop the daemon.
void quil_register_helper_service();

// Emit "edl-status" / "fastboot-status" through helper_skeleton when it is set; safe
// from any thread.
void emit_edl_flash_status_signal(const char *status);
void emit_fastboot_flash_status_signal(const char *status);

// Emit "flash-progress" (kind "fastboot" or "edl", a percentage) through helper_skeleton
// when it is set; safe from any thread.
void emit_flash_progress_signal(const char *kind, int percent);
