// SPDX-License-Identifier: GPL-2.0-or-later
// The AT command channel: one synchronous exchange on the module's AT port per
// request, run in the request receiver thread. The handlers and completions named by
// the command table are declared in handlers.h.
#pragma once

#include <cstddef>
#include <string_view>

#include "at_answer.h"
#include "command_table.h"

// The whole exchange may take this long, counted from the write.
inline constexpr int AT_EXCHANGE_BUDGET_MS = 5000;

// Hands the AT text to the exchange over the AT port (logs that AT goes over the AT
// port, then forwards to quil_adapter_send_at_over_gnss_message).
int quil_adapter_send_message_async(const char *at_text, std::size_t at_len, ReadyFn ready,
                                    RequestRecord &record);

// Finds the AT port, runs the exchange and calls ready with the answer record (or
// with the request record itself for the reboot commands). Returns 0 once ready was
// called; -1 or 3 when it failed before that, the record then still being the
// caller's (or already released).
int quil_adapter_send_at_over_gnss_message(const char *at_text, std::size_t at_len, ReadyFn ready,
                                           RequestRecord &record);

// Sets up an opened AT port: raw 8N1 at 115200 bit/s, no flow control, reads never
// wait. A descriptor that is no terminal is left as it is.
void quil_adapter_at_port_setup(int fd);

// Writes the command text (already ending in CR LF) followed by a further CR LF and
// collects the answer into `answer` until "OK", "ERROR", a full buffer, end of file or
// the end of the time budget.
void quil_adapter_at_port_exchange(int fd, std::string_view command, AtAnswerBuffer &answer);
