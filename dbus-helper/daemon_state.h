// SPDX-License-Identifier: GPL-2.0-or-later
// Process-wide handles of the D-Bus helper that several of its threads reach for.
#pragma once

#include <glib.h>

#include <atomic>

#include "quillon-helper-gdbus-generated.h"

// Set while the main loop exists.
extern std::atomic<GMainLoop *> main_loop;

// The exported object; null until the bus name has been acquired. Every signal is
// emitted through it, after a test for null.
extern std::atomic<QuillonGdbusHelper *> helper_skeleton;

// Removes both queues and quits the main loop when it exists. Called with the signal
// number (ignored) or 0 by the control receiver. Not for use inside a signal handler.
void quit_cb(int signo);
