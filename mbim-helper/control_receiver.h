// SPDX-License-Identifier: GPL-2.0-or-later
// Control messages on queue 0, executed by the thread "control_recv".
#pragma once

#include "helper_queue.h"

// Starts the queues and the thread "control_recv". Returns 0 on success.
int quil_helperm_control_receiver_init();

// Acts on one received control message.
void quil_helper_control_dispatch(const HelperMessage &msg);
