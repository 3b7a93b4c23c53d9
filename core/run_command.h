// Running outside programs without a shell, for command lines that carry text from a
// client, a queue or the modem.
#pragma once

#include <string>
#include <vector>

namespace quil {

// Runs argv (argv[0] looked up on PATH) with standard output collected into *out (when
// out is not null; standard error goes to the daemon's own). Returns the wait status,
// or -1 when the program could not be started.
int run_argv(const std::vector<std::string> &argv, std::string *out);

}  // namespace quil
