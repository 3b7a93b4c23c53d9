// SPDX-License-Identifier: GPL-2.0-or-later
// Control messages from the MBIM helper (queue 1, type 2), turned into D-Bus signals
// by the thread "mbim-ctl-rcv".
#pragma once

#include <glib.h>

#include "helper_queue.h"

// Body of the thread "mbim-ctl-rcv".
gpointer quil_helper_control_message_receiver(gpointer data);

// Acts on one received control message; false when it asks the D-Bus helper to stop
// (the caller then stops it).
bool quil_helper_control_message_handle(const HelperMessage &msg);
