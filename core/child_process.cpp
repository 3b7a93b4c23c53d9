// SPDX-License-Identifier: GPL-2.0-or-later
#include "child_process.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "fd_guard.h"
#include "log.h"

namespace quil {

namespace {

// What the child does between fork and exec: only async-signal-safe calls.
struct ChildSetup {
    const ChildCredentials *credentials;
};

void child_setup(gpointer data) {
    const auto *setup = static_cast<const ChildSetup *>(data);
    setpgid(0, 0);
    // The daemon's own signal arrangements are not the tool's.
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (setup->credentials != nullptr) {
        const ChildCredentials &who = *setup->credentials;
        const gid_t *groups = who.groups.empty() ? &who.gid : who.groups.data();
        std::size_t count = who.groups.empty() ? 1 : who.groups.size();
        // Never go on as root when the switch failed.
        if (setgroups(count, groups) != 0 || setgid(who.gid) != 0 || setuid(who.uid) != 0 ||
            setuid(0) == 0)
            _exit(126);
    }
}

// Waits for pid with a time limit; true when it ended (status filled).
bool wait_with_limit(pid_t pid, int *status, std::chrono::milliseconds limit) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    UniqueFd owner(pidfd);
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        pid_t ret = waitpid(pid, status, WNOHANG);
        if (ret == pid)
            return true;
        if (ret < 0 && errno != EINTR) {
            *status = -1;
            return true;  // not ours to wait for any more
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        if (owner) {
            pollfd pfd{owner.get(), POLLIN, 0};
            poll(&pfd, 1, static_cast<int>(left.count()));
        } else {
            // Kernels without pidfd: look again shortly.
            struct timespec pause = {0, 20 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess &&other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)) {}

ChildProcess &ChildProcess::operator=(ChildProcess &&other) noexcept {
    if (this != &other) {
        if (pid_ > 0)
            stop(std::chrono::milliseconds(500));
        pid_ = std::exchange(other.pid_, -1);
        input_ = std::move(other.input_);
        output_ = std::move(other.output_);
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    input_.reset();
    output_.reset();
    if (pid_ > 0)
        stop(std::chrono::milliseconds(500));
}

ChildProcess ChildProcess::start(const ChildSpec &spec, std::string *error) {
    DescriptorCreation creating;  // the pipes and the child's start
    ChildProcess child;
    if (spec.argv.empty()) {
        if (error != nullptr)
            *error = "empty command";
        return child;
    }
    std::vector<char *> argv;
    argv.reserve(spec.argv.size() + 1);
    for (const auto &arg : spec.argv)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    g_auto(GStrv) envp = g_get_environ();
    for (const auto &entry : spec.env) {
        std::size_t eq = entry.find('=');
        if (eq == std::string::npos || eq == 0)
            continue;
        std::string name = entry.substr(0, eq);
        envp = g_environ_setenv(envp, name.c_str(), entry.c_str() + eq + 1, TRUE);
    }

    // Merged standard output and error go into one pipe that the caller reads.
    int out_pipe[2] = {-1, -1};
    if (spec.output_pipe) {
        GError *pipe_error = nullptr;
        if (!g_unix_open_pipe(out_pipe, FD_CLOEXEC, &pipe_error)) {
            if (error != nullptr)
                *error = pipe_error->message;
            g_error_free(pipe_error);
            return child;
        }
    }
    UniqueFd out_read(out_pipe[0]);
    UniqueFd out_write(out_pipe[1]);
    int null_fd = -1;
    UniqueFd null_owner;
    if (!spec.output_pipe) {
        null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        null_owner.reset(null_fd);
    }
    int child_out = spec.output_pipe ? out_write.get() : null_fd;

    ChildSetup setup{spec.credentials ? &*spec.credentials : nullptr};
    auto flags = static_cast<GSpawnFlags>(
        G_SPAWN_DO_NOT_REAP_CHILD |
        (spec.argv[0].find('/') == std::string::npos ? G_SPAWN_SEARCH_PATH : G_SPAWN_DEFAULT) |
        (spec.input_pipe ? 0 : G_SPAWN_STDIN_FROM_DEV_NULL));
    GPid pid = 0;
    int input_fd = -1;
    GError *spawn_error = nullptr;
    gboolean started = g_spawn_async_with_pipes_and_fds(
        nullptr, argv.data(), envp, flags, child_setup, &setup, -1, child_out, child_out, nullptr,
        nullptr, 0, &pid, spec.input_pipe ? &input_fd : nullptr, nullptr, nullptr, &spawn_error);
    if (!started) {
        if (error != nullptr)
            *error = spawn_error->message;
        g_error_free(spawn_error);
        return child;
    }
    child.pid_ = pid;
    child.input_.reset(input_fd);
    child.output_ = std::move(out_read);
    return child;
}

int ChildProcess::wait() {
    if (pid_ <= 0)
        return -1;
    int status = -1;
    while (waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) {
            status = -1;
            break;
        }
    }
    pid_ = -1;
    return status;
}

int ChildProcess::wait_or_stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0)
        return -1;
    int status = -1;
    if (!wait_with_limit(pid_, &status, grace)) {
        kill(-pid_, SIGTERM);
        if (!wait_with_limit(pid_, &status, grace)) {
            kill(-pid_, SIGKILL);
            return wait();
        }
    }
    pid_ = -1;
    return status;
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0)
        return -1;
    kill(-pid_, SIGTERM);
    int status = -1;
    if (!wait_with_limit(pid_, &status, grace)) {
        kill(-pid_, SIGKILL);
        return wait();
    }
    pid_ = -1;
    return status;
}

std::string command_text(const std::vector<std::string> &argv) {
    std::string text;
    for (const auto &arg : argv) {
        if (!text.empty())
            text.push_back(' ');
        text.append(arg);
    }
    return quil_printable(text);
}

std::string read_to_end(int fd) {
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n > 0) {
            text.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return text;
    }
}

bool write_all(int fd, const char *data, std::size_t size) {
    if (fd < 0)
        return false;
    // SIGPIPE is held back in this thread while it writes, and one raised by a reader
    // that has gone is taken off again before it could be delivered.
    sigset_t pipe_only;
    sigset_t old_mask;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask);
    bool ok = true;
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EPIPE) {
            struct timespec now = {0, 0};
            while (sigtimedwait(&pipe_only, nullptr, &now) == SIGPIPE) {
            }
        }
        ok = false;
        break;
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    return ok;
}

}  // namespace quil
