// SPDX-License-Identifier: GPL-2.0-or-later
#include "fd_guard.h"

#include "heap_block.h"

#include <fcntl.h>
#include <glib.h>
#include <pthread.h>

#include <cerrno>

namespace {

// Writers first: the main loop, back from its poll, must not wait behind a stream of
// creations that keep overlapping.
pthread_rwlock_t *guard_lock() {
    static pthread_rwlock_t lock = [] {
        pthread_rwlock_t made;
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&made, &attr);
        pthread_rwlockattr_destroy(&attr);
        return made;
    }();
    return &lock;
}

// How deep the calling thread holds the guard, exclusively and shared.
thread_local int exclusive_depth = 0;
thread_local int shared_depth = 0;

void lock_exclusive() {
    if (exclusive_depth++ == 0)
        pthread_rwlock_wrlock(guard_lock());
}

void unlock_exclusive() {
    if (--exclusive_depth == 0)
        pthread_rwlock_unlock(guard_lock());
}

// The main loop's poll: the only time its thread lets descriptors be created.
gint guarded_poll(GPollFD *fds, guint nfds, gint timeout) {
    if (exclusive_depth != 1)
        return g_poll(fds, nfds, timeout);  // polled inside a closing section
    unlock_exclusive();
    gint ready = g_poll(fds, nfds, timeout);
    int saved = errno;
    lock_exclusive();
    errno = saved;
    return ready;
}

}  // namespace

namespace quil {

DescriptorCreation::DescriptorCreation() {
    if (exclusive_depth > 0)
        return;
    if (shared_depth++ == 0)
        pthread_rwlock_rdlock(guard_lock());
    locked_ = true;
}

DescriptorCreation::~DescriptorCreation() {
    if (locked_ && --shared_depth == 0)
        pthread_rwlock_unlock(guard_lock());
}

DescriptorClosing::DescriptorClosing() {
    // A thread that holds the guard shared cannot wait for it exclusively; it closes
    // nothing twice in there (only libmbim does, in the main loop).
    if (shared_depth > 0)
        return;
    lock_exclusive();
    locked_ = true;
}

DescriptorClosing::~DescriptorClosing() {
    if (locked_)
        unlock_exclusive();
}

UniqueFd open_descriptor(const char *path, int flags) {
    DescriptorCreation creating;
    return UniqueFd(::open(path, flags));
}

void guard_main_context_dispatch(GMainContext *context) {
    if (context == nullptr)
        context = g_main_context_default();
    lock_exclusive();
    g_main_context_set_poll_func(context, guarded_poll);
}

bool descriptor_guard_held_exclusively() {
    return exclusive_depth > 0;
}

}  // namespace quil
