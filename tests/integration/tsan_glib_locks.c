// SPDX-License-Identifier: GPL-2.0-or-later
// Preloaded into the ThreadSanitizer builds of the daemons by the integration harness.
// GLib is not instrumented and its GMutex, GRecMutex, GRWLock and GCond are futexes
// that ThreadSanitizer cannot see: code of ours that guards data with them would be
// reported as racing. These wrappers call GLib's own functions and tell
// ThreadSanitizer what they do (acquire after a lock, release before an unlock), so
// that such data is checked as what it is: guarded. They add no lock of their own.
// The same for a callback handed to the main loop from another thread (g_idle_add and
// its siblings): what the thread did before handing it over happens before the call,
// as GLib's locked source list makes it.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>

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

#define REAL(name, type)     \
    static type real_##name; \
    if (!real_##name)        \
        real_##name = (type)dlsym(RTLD_NEXT, #name);

typedef void (*lock_fn)(void *);
typedef int (*trylock_fn)(void *);
typedef void (*wait_fn)(void *, void *);
typedef int (*wait_until_fn)(void *, void *, long long);

#define LOCK_PAIR(lock, trylock, unlock) \
    void lock(void *m) {                 \
        REAL(lock, lock_fn)              \
        real_##lock(m);                  \
        acquire(m);                      \
    }                                    \
    int trylock(void *m) {               \
        REAL(trylock, trylock_fn)        \
        int taken = real_##trylock(m);   \
        if (taken)                       \
            acquire(m);                  \
        return taken;                    \
    }                                    \
    void unlock(void *m) {               \
        REAL(unlock, lock_fn)            \
        release(m);                      \
        real_##unlock(m);                \
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

// --- hand-overs to a main loop ------------------------------------------------------

typedef int (*source_fn)(void *);
typedef void (*notify_fn)(void *);
typedef unsigned (*idle_full_fn)(int, source_fn, void *, notify_fn);
typedef unsigned (*timeout_full_fn)(int, unsigned, source_fn, void *, notify_fn);
typedef void (*invoke_full_fn)(void *, int, source_fn, void *, notify_fn);

enum { PRIORITY_DEFAULT = 0, PRIORITY_DEFAULT_IDLE = 200 };

// One hand-over: released by the thread that makes it, acquired by every call.
struct handover {
    source_fn fn;
    void *data;
    notify_fn notify;
};

static int handover_call(void *p) {
    struct handover *h = p;
    acquire(h);
    return h->fn(h->data);
}

static void handover_free(void *p) {
    struct handover *h = p;
    acquire(h);
    if (h->notify)
        h->notify(h->data);
    free(h);
}

static struct handover *handover_new(source_fn fn, void *data, notify_fn notify) {
    struct handover *h = malloc(sizeof *h);
    if (!h)
        abort();
    h->fn = fn;
    h->data = data;
    h->notify = notify;
    release(h);
    return h;
}

unsigned g_idle_add_full(int priority, source_fn fn, void *data, notify_fn notify) {
    REAL(g_idle_add_full, idle_full_fn)
    return real_g_idle_add_full(priority, handover_call, handover_new(fn, data, notify),
                                handover_free);
}

unsigned g_idle_add(source_fn fn, void *data) {
    return g_idle_add_full(PRIORITY_DEFAULT_IDLE, fn, data, NULL);
}

// g_timeout_add_full and g_timeout_add_seconds_full, and their short forms.
#define TIMEOUT_PAIR(full, plain)                                                                \
    unsigned full(int priority, unsigned interval, source_fn fn, void *data, notify_fn notify) { \
        REAL(full, timeout_full_fn)                                                              \
        return real_##full(priority, interval, handover_call, handover_new(fn, data, notify),    \
                           handover_free);                                                       \
    }                                                                                            \
    unsigned plain(unsigned interval, source_fn fn, void *data) {                                \
        return full(PRIORITY_DEFAULT, interval, fn, data, NULL);                                 \
    }

TIMEOUT_PAIR(g_timeout_add_full, g_timeout_add)
TIMEOUT_PAIR(g_timeout_add_seconds_full, g_timeout_add_seconds)

void g_main_context_invoke_full(void *context, int priority, source_fn fn, void *data,
                                notify_fn notify) {
    REAL(g_main_context_invoke_full, invoke_full_fn)
    real_g_main_context_invoke_full(context, priority, handover_call,
                                    handover_new(fn, data, notify), handover_free);
}

void g_main_context_invoke(void *context, source_fn fn, void *data) {
    g_main_context_invoke_full(context, PRIORITY_DEFAULT, fn, data, NULL);
}
