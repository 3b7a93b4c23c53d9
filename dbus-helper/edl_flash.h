// SPDX-License-Identifier: GPL-2.0-or-later
// EDL firmware flashing: request 0x2004 while the module waits in the Qualcomm
// download mode. The flash runs in a thread of its own ("edl_flash") and reports
// through edlStatus, flashProgress("edl", n) and the desktop progress dialog.
#pragma once

#include <string_view>

// The reply payload of an accepted request.
inline constexpr std::string_view EDL_FLASH_REPLY = "edl flashing";

enum class EdlFlashStart {
    started,  // the thread runs with its own copy of the payload
    busy,     // an EDL flash is under way: nothing was touched
    failed,   // the thread could not be started
};

// Starts an EDL flash of the payload unless one is under way (one flash at a time: they
// would share the work space). Logs a refusal.
EdlFlashStart quil_edl_flash_start(std::string_view payload);
