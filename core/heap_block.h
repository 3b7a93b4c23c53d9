// SPDX-License-Identifier: GPL-2.0-or-later
// Small RAII owners shared by both daemons.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "fd_guard.h"

namespace quil {

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};

// A zero-filled heap block; empty when the memory could not be had. Blocks are
// released by their owner, never by whoever merely reads them.
template <typename T = char>
using HeapBlock = std::unique_ptr<T, FreeDeleter>;

template <typename T = char>
HeapBlock<T> alloc_zeroed(std::size_t bytes) {
    return HeapBlock<T>(static_cast<T *>(std::calloc(1, bytes)));
}

// A file descriptor closed when its owner goes away.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// A pipe to a shell command started with popen. close() waits for the command and
// gives its wait status; the destructor does the same when close() was not called.
class Pipe {
  public:
    Pipe() = default;
    Pipe(const char *command, const char *mode)
        : fp_(create_descriptors([&] { return ::popen(command, mode); })) {}
    Pipe(Pipe &&other) noexcept : fp_(std::exchange(other.fp_, nullptr)) {}
    Pipe &operator=(Pipe &&other) noexcept {
        if (this != &other) {
            close();
            fp_ = std::exchange(other.fp_, nullptr);
        }
        return *this;
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    ~Pipe() { close(); }

    FILE *get() const { return fp_; }
    explicit operator bool() const { return fp_ != nullptr; }

    // Wait status as pclose returns it; -1 when nothing was open.
    int close() {
        if (fp_ == nullptr)
            return -1;
        int status = ::pclose(fp_);
        fp_ = nullptr;
        return status;
    }

  private:
    FILE *fp_ = nullptr;
};

// True when a wait status says the command ran and exited with status 0.
inline bool exited_ok(int status) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace quil
