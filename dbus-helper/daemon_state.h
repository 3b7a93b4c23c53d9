// SPDX-License-Identifier: GPL-2.0-or-later
// Process-wide handles of the D-Bus helper that several of its threads reach for.
#pragma once

#include <glib.h>

#include <atomic>

#include "quillon-helper-gdbus-generated.h"

// The exported object; null until the bus name has been acquired. Every signal is
// emitted through it, after a test for null.
extern std::atomic<QuillonGdbusHelper *> helper_skeleton;

// Main thread: `loop` is the one quit_cb stops, from the loop's first dispatch on (a
// stop before it removes the queues and start-up goes on). Withdrawn before the loop
// is released.
void quil_publish_main_loop(GMainLoop *loop);
void quil_withdraw_main_loop();

// Removes both queues and quits the main loop when it is published. Called with the
// signal number (ignored) or 0 by the control receiver. Not for use inside a signal
// handler.
void quit_cb(int signo);
