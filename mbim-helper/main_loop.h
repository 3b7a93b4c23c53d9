// SPDX-License-Identifier: GPL-2.0-or-later
// The MBIM helper's main loop, where every MBIM callback runs.
#pragma once

#include <glib.h>

#include <atomic>

// Set while the loop exists; the control receiver quits the loop through it.
extern std::atomic<GMainLoop *> main_loop;
