// SPDX-License-Identifier: GPL-2.0-or-later
// Outside programs started from an argument vector, never through a shell: the
// flashing tools and the progress dialog get text that came from a client or from a
// file name any local user chose.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "heap_block.h"

namespace quil {

// Who a child runs as when it must not run as root.
struct ChildCredentials {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;  // supplementary groups; empty: only gid
};

struct ChildSpec {
    std::vector<std::string> argv;  // argv[0] is looked up on PATH unless it holds a '/'
    // "NAME=value" entries that are added to the daemon's environment or replace the
    // entry of the same name.
    std::vector<std::string> env;
    bool input_pipe = false;   // the caller writes the child's standard input
    bool output_pipe = false;  // the caller reads standard output and error, merged
    std::optional<ChildCredentials> credentials;
};

// A started child in a process group of its own. The owner either waits for it or
// stops it; the destructor closes the pipes, stops a child still running and reaps it.
class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(ChildProcess &&other) noexcept;
    ChildProcess &operator=(ChildProcess &&other) noexcept;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    ~ChildProcess();

    // Starts the child; on failure the result is empty and *error (when not null)
    // holds the reason.
    static ChildProcess start(const ChildSpec &spec, std::string *error);

    explicit operator bool() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // -1 when there is no such pipe (or it was closed).
    int input_fd() const { return input_.get(); }
    int output_fd() const { return output_.get(); }

    void close_input() { input_.reset(); }
    void close_output() { output_.reset(); }

    // Waits for the child to end; the wait status, or -1 when there was no child.
    int wait();
    // Waits at most `grace` for the child to end; then SIGTERM to its process group, and
    // SIGKILL when it has not ended a further `grace` later. The wait status.
    int wait_or_stop(std::chrono::milliseconds grace);
    // SIGTERM to the process group, then as wait_or_stop.
    int stop(std::chrono::milliseconds grace);

  private:
    pid_t pid_ = -1;
    UniqueFd input_;
    UniqueFd output_;
};

// The argument vector as one line for the log, arguments separated by spaces.
std::string command_text(const std::vector<std::string> &argv);

// Reads fd to its end: everything the child wrote, however long.
std::string read_to_end(int fd);

// Writes the whole buffer; false when the reader has gone (broken pipe) or the write
// failed otherwise. A reader that has gone never raises SIGPIPE in this process.
bool write_all(int fd, const char *data, std::size_t size);

}  // namespace quil
