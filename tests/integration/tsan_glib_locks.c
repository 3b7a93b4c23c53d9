// SPDX-License-Identifier: GPL-2.0-or-later
// Preloaded into the ThreadSanitizer builds of the daemons by the integration harness.
// GLib is not instrumented and its GMutex, GRecMutex, GRWLock and GCond are futexes
// that ThreadSanitizer cannot see: code of ours that guards data with them would be
// reported as racing. These wrappers call GLib's own functions and tell
// ThreadSanitizer what they do (acquire after a lock, release before an unlock), so
// that such data is checked as what it is: guarded. They add no lock of their own.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>

void __tsan_acquire(void *addr) __attribute__((weak));
void __tsan_release(void *addr) __attribute__((weak));

static void acquire(void *addr) {
    if (__tsan_acquire)
        __tsan_acquire(addr);
}

static void release(void *addr) {
    if (__tsan_release)
        __tsan_release(addr);
}

#define REAL(name, type)                                                                  \
    static type real_##name;                                                              \
    if (!real_##name)                                                                     \
        real_##name = (type)dlsym(RTLD_NEXT, #name);

typedef void (*lock_fn)(void *);
typedef int (*trylock_fn)(void *);
typedef void (*wait_fn)(void *, void *);
typedef int (*wait_until_fn)(void *, void *, long long);

#define LOCK_PAIR(lock, trylock, unlock)                                                  \
    void lock(void *m) {                                                                  \
        REAL(lock, lock_fn)                                                               \
        real_##lock(m);                                                                   \
        acquire(m);                                                                       \
    }                                                                                     \
    int trylock(void *m) {                                                                \
        REAL(trylock, trylock_fn)                                                         \
        int taken = real_##trylock(m);                                                    \
        if (taken)                                                                        \
            acquire(m);                                                                   \
        return taken;                                                                     \
    }                                                                                     \
    void unlock(void *m) {                                                                \
        REAL(unlock, lock_fn)                                                             \
        release(m);                                                                       \
        real_##unlock(m);                                                                 \
    }

LOCK_PAIR(g_mutex_lock, g_mutex_trylock, g_mutex_unlock)
LOCK_PAIR(g_rec_mutex_lock, g_rec_mutex_trylock, g_rec_mutex_unlock)
LOCK_PAIR(g_rw_lock_writer_lock, g_rw_lock_writer_trylock, g_rw_lock_writer_unlock)
LOCK_PAIR(g_rw_lock_reader_lock, g_rw_lock_reader_trylock, g_rw_lock_reader_unlock)

// A wait gives the mutex back and takes it again before it returns.
void g_cond_wait(void *cond, void *m) {
    REAL(g_cond_wait, wait_fn)
    release(m);
    real_g_cond_wait(cond, m);
    acquire(m);
}

int g_cond_wait_until(void *cond, void *m, long long end_time) {
    REAL(g_cond_wait_until, wait_until_fn)
    release(m);
    int signalled = real_g_cond_wait_until(cond, m, end_time);
    acquire(m);
    return signalled;
}
