// SPDX-License-Identifier: GPL-2.0-or-later
// The handler of the D-Bus method sendMesg: every call is authorized first, then served
// here (local commands) or put in the line to the MBIM helper. The handler never
// blocks the main loop.
#pragma once

#include <gio/gio.h>

#include <cstdint>

#include "quillon-helper-gdbus-generated.h"

// Commands served inside this daemon.
inline constexpr int32_t CID_PORT_STATE = 0x2001;
inline constexpr int32_t CID_HW_RESET = 0x2003;
inline constexpr int32_t CID_EDL_FLASH = 0x2004;

// "handle-send-mesg": takes the invocation over (it is answered exactly once, now or
// later) and returns TRUE.
gboolean request_transmitter(QuillonGdbusHelper *object, GDBusMethodInvocation *invocation,
                             GVariant *msgd_int, gpointer user_data);
