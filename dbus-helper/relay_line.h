// SPDX-License-Identifier: GPL-2.0-or-later
// The line of sendMesg calls that go to the MBIM helper. It is owned by the main loop:
// calls wait in it first in, first out, and the next one is put on queue 0 once the
// previous one has its answer or its time-out. Nothing here blocks the loop: answers
// are received on queue 1 by the thread "resp-recv", which hands them over.
#pragma once

#include <cstdint>

#include "pending_call.h"

// Forwarded, with a longer wait for its answer and ModemManager kept off the module.
inline constexpr int32_t CID_FASTBOOT_FLASH = 0x100a;

// Main loop only: queues the call for the MBIM helper. It is answered exactly once, with
// the MBIM helper's answer, the time-out's reply, or the failure reply when it cannot be
// sent.
void quil_relay_forward(PendingCall call);

// Starts the thread that receives answers on queue 1. 0, or -1 when it could not start.
int quil_relay_receiver_start();
