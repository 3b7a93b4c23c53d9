// SPDX-License-Identifier: GPL-2.0-or-later
// What quilctl prints: replies, signals and the command table, for people (plain
// text) or for scripts (--json: one JSON object per line).
#pragma once

#include <glib.h>

#include <string>
#include <string_view>

#include "helper_client.h"

namespace quilctl {

// The reply of a request on standard output, and on rtcode other than 0 the one-line
// failure message on standard error. label names the request in that message.
Exit print_reply(const Reply &reply, std::string_view label, bool json);

// The local time now in ISO 8601 with milliseconds, e.g. 2026-12-10T15:45:44.123+01:00.
std::string time_stamp_now();

// One signal of the helper as one line: time stamp, member, arguments.
void print_signal(std::string_view member, GVariant *parameters, bool json);

// The command table (name, cid, kind, payload, description); names_only: every word
// quilctl takes as its command, one per line.
void print_command_list(bool json, bool names_only);

// The one-line message on standard error, "quilctl: " before it; returns status.
Exit fail(Exit status, std::string_view message);

// A flash's progress: a bar redrawn in place on a terminal, "progress N" lines
// otherwise (or JSON objects).
class ProgressView {
  public:
    ProgressView(bool json, std::string_view kind);
    ~ProgressView();
    ProgressView(const ProgressView &) = delete;
    ProgressView &operator=(const ProgressView &) = delete;

    void progress(int percent);
    void status(std::string_view text);

  private:
    void end_bar();
    bool json_;
    bool terminal_;
    bool bar_shown_ = false;
    std::string kind_;
};

}  // namespace quilctl
