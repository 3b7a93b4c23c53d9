// SPDX-License-Identifier: GPL-2.0-or-later
// The two commands that stay on the bus: a flash followed to its end, and the monitor
// of every signal.
#pragma once

#include <cstdint>
#include <string_view>

#include "helper_client.h"

namespace quilctl {

struct CallOptions {
    bool json = false;
    int32_t serviceid = 1;
    int timeout_ms = 25000;
};

// Sends the flash request (cid 0x100a or 0x2004) with its payload and follows its
// flashProgress and status signals to the final status: ok only on "fastboot flash
// ok" / "flash ok". The signals are subscribed before the request goes out.
Exit run_flash(const HelperClient &client, const CallOptions &options, int32_t cid,
               std::string_view label, std::string_view payload);

// Prints every signal of the helper, one line each, until SIGINT or SIGTERM (ok).
Exit run_monitor(const HelperClient &client, bool json);

}  // namespace quilctl
