// SPDX-License-Identifier: GPL-2.0-or-later
// Checks and repairs of the texts that pass between a D-Bus client and the queues.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// True when a sendMesg len can be honoured: 0..2023 and no more than the payload
// text holds, so that the request fits a message body and nothing is read past the
// text.
bool quil_request_len_valid(int32_t len, std::size_t payload_size);

// A response payload as it may go on the bus in a D-Bus string: the bytes up to the
// first NUL, with every sequence that is not UTF-8 replaced by U+FFFD. *repaired
// (when not null) tells whether anything had to be replaced.
std::string quil_reply_payload_text(std::string_view payload, bool *repaired);
