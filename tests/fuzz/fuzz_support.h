// SPDX-License-Identifier: GPL-2.0-or-later
// What every fuzz target shares: a process set up so that nothing a target runs can
// reach the machine (no tool on PATH, a private IPC namespace when the process may
// have one), a log that formats every line but writes none, and
// received bodies built from the fuzzer's bytes the way msgrcv hands them over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "helper_queue.h"

namespace quil_fuzz {

// Call from LLVMFuzzerInitialize. Sets the log level to 7 (every line is formatted,
// none leaves the process), PATH to an empty private directory, makes GLib criticals
// and warnings fatal, and moves the process into an IPC namespace of its own (when it
// may not, into the private directory, so that the queues' keys are its own).
void init_process();

// Creates both queues in the process's own IPC namespace, so that responses can be
// read back. False when the process has no such namespace: the targets then check
// what they can without the queues.
bool init_private_queues();

// A received body: the bytes cut to a body, the rest zero-filled, as msgrcv with
// MSG_NOERROR leaves it.
HelperMessage message_from_bytes(const uint8_t *data, std::size_t size, long mtype);

// The next response on queue 1 (type 1), without waiting; none when the queue is empty
// or was never made.
std::optional<HelperMessage> take_response();

// Reports a broken rule and aborts, so that libFuzzer keeps the input.
[[noreturn]] void fail(const char *rule);

inline void require(bool holds, const char *rule) {
    if (!holds)
        fail(rule);
}

inline std::string_view bytes_text(const uint8_t *data, std::size_t size) {
    return std::string_view(reinterpret_cast<const char *>(data), size);
}

}  // namespace quil_fuzz
