// SPDX-License-Identifier: GPL-2.0-or-later
// The descriptor guard: no descriptor is created while one may be closed twice.
//
// libmbim-glib (1.28) closes the socket of a device opened through mbim-proxy twice,
// back to back, whenever the device goes: on our teardown, when the proxy hangs up,
// when the device is finalized. Between the two closes the number is free, and a
// descriptor created by another thread in that moment would get it and lose it to the
// second close. libmbim runs only in the main-loop thread, so the guard is this:
//
// - the main-loop thread holds the guard exclusively all the time except while its
//   loop polls (quil::guard_main_context_dispatch), so every libmbim callback and
//   every teardown, wherever libmbim closes, runs with the guard held;
// - every other thread holds it shared across each call that creates a descriptor
//   (quil::DescriptorCreation; quil::Pipe, quil::run_argv, quil::ChildProcess::start
//   and quil::open_descriptor hold it themselves).
//
// A descriptor then either existed before the first close (so it has another number)
// or is made after the second. Holding the guard is never needed across a whole run
// of a child or a read: only the creating call needs it.
//
// Both holds nest in one thread, and the shared hold is a no-op in a thread that holds
// the guard exclusively (the main loop creates its descriptors one after the other
// with the closes, so it needs no guard against itself).
#pragma once

#include <utility>

// As GLib declares it; heap_block.h, which includes this file, needs no GLib.
typedef struct _GMainContext GMainContext;

namespace quil {

class UniqueFd;

// Held shared for its life: a descriptor may be created meanwhile.
class DescriptorCreation {
  public:
    DescriptorCreation();
    ~DescriptorCreation();
    DescriptorCreation(const DescriptorCreation &) = delete;
    DescriptorCreation &operator=(const DescriptorCreation &) = delete;

  private:
    bool locked_ = false;
};

// Held exclusively for its life: a descriptor may be closed twice meanwhile. Only for
// code outside the main loop (which holds the guard already).
class DescriptorClosing {
  public:
    DescriptorClosing();
    ~DescriptorClosing();
    DescriptorClosing(const DescriptorClosing &) = delete;
    DescriptorClosing &operator=(const DescriptorClosing &) = delete;

  private:
    bool locked_ = false;
};

// Runs f() under DescriptorCreation and gives back what it returns.
template <typename F>
decltype(auto) create_descriptors(F &&f) {
    DescriptorCreation creating;
    return std::forward<F>(f)();
}

// open(2) under the guard; the owner is empty when the open failed (errno set).
UniqueFd open_descriptor(const char *path, int flags);

// Makes the calling thread, which runs context's loop (null: the default context),
// hold the guard exclusively from now on except while that loop polls. Called once,
// before the loop runs.
void guard_main_context_dispatch(GMainContext *context);

// True when the calling thread holds the guard exclusively (the main loop's thread
// while it dispatches).
bool descriptor_guard_held_exclusively();

}  // namespace quil
