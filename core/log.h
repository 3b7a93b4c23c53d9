// SPDX-License-Identifier: GPL-2.0-or-later
// Process-wide logging to syslog and the shared command line of both daemons.
#pragma once

#include <syslog.h>

#include <string>
#include <string_view>

#include "quil_version.h"

// Current log level on the syslog scale 0..7. Written only by log_set() before any
// thread exists; read everywhere without a lock.
extern int g_debug_level;

// The project's version from meson.build.
inline constexpr const char *QUIL_HELPER_VERSION = QUIL_VERSION_TEXT;

// A message is written when g_debug_level exceeds the level's threshold. The gate is
// tested before anything is formatted.
#define QUIL_LOG_AT(threshold, prio, word, fmt, ...)                            \
    do {                                                                        \
        if (g_debug_level > (threshold))                                        \
            syslog((prio), "[" word "]: %s:%u: " fmt, __func__,                 \
                   static_cast<unsigned>(__LINE__) __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

#define QLOG_CRIT(fmt, ...) QUIL_LOG_AT(1, LOG_CRIT, "Critical", fmt __VA_OPT__(, ) __VA_ARGS__)
#define QLOG_ERR(fmt, ...) QUIL_LOG_AT(2, LOG_ERR, "Error", fmt __VA_OPT__(, ) __VA_ARGS__)
#define QLOG_WARN(fmt, ...) QUIL_LOG_AT(3, LOG_WARNING, "Warning", fmt __VA_OPT__(, ) __VA_ARGS__)
#define QLOG_INFO(fmt, ...) QUIL_LOG_AT(5, LOG_INFO, "Info", fmt __VA_OPT__(, ) __VA_ARGS__)
#define QLOG_DEBUG(fmt, ...) QUIL_LOG_AT(6, LOG_DEBUG, "Debug", fmt __VA_OPT__(, ) __VA_ARGS__)

// Opens syslog with the daemon's identity (LOG_CONS | LOG_PID, LOG_USER).
void quil_log_open(const char *identity);

// Parses -v/--version, -d/--debug, -l/--loglevel[=N]. Never stops the daemon.
void log_set(int argc, char **argv);

// The usage text written to standard error after an unknown option.
extern const char quil_usage_text[];

// Text for a log line that came from outside (a payload, a path): control characters
// written as \xNN, so that one log line stays one line.
std::string quil_printable(std::string_view text);
