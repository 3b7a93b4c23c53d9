// SPDX-License-Identifier: GPL-2.0-or-later
// Running outside programs without a shell, for command lines that carry text from a
// client, a queue or the modem.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quil {

// True when the program `name` is found on PATH. The first time a name is missing, one
// Error line names it ("tool NAME not found, install it"); later misses of the same name
// stay silent, so that a poll without the tool does not fill the log. Callers treat a
// missing tool as a run that printed nothing. Thread-safe.
bool tool_available(std::string_view name);

// Runs argv (argv[0] looked up on PATH) with standard output collected into *out (when
// out is not null; standard error goes to the daemon's own). Returns the wait status,
// or -1 when the program could not be started (a program missing from PATH is reported
// once through tool_available).
int run_argv(const std::vector<std::string> &argv, std::string *out);

}  // namespace quil
