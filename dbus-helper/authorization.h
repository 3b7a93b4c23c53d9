// SPDX-License-Identifier: GPL-2.0-or-later
// Who may do what: every sendMesg is authorized with polkit before anything is done,
// by the class of its command id.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <functional>

enum class AuthClass { query, configure, flash };

// The class of a command id: read-only queries, settings and resets, flashing; an
// unknown command id is `configure`.
AuthClass quil_command_auth_class(int32_t cid);
// "com.quillon.helper.query", "com.quillon.helper.configure", "com.quillon.helper.flash".
const char *quil_auth_action_id(AuthClass auth_class);

// Main loop only. Decides asynchronously whether the caller of `invocation` may run
// `cid`. When it may, `allowed` runs once, later, from the main loop; when it may not,
// the invocation has been answered with org.freedesktop.DBus.Error.AccessDenied (a
// message naming the action), one log line names the caller's uid and the command id,
// and `allowed` is dropped without running. Holds its own reference to the invocation
// while it decides.
void quil_authorize_request(GDBusMethodInvocation *invocation, int32_t cid,
                            std::function<void()> allowed);
