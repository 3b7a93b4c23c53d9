// SPDX-License-Identifier: GPL-2.0-or-later
#include "pending_call.h"

#include "log.h"

void quil_adapter_helperd_send_resp_to_dbus(GDBusMethodInvocation *invocation, int32_t serviceid,
                                            int32_t cid, int32_t rtcode, int32_t len,
                                            const char *payload) {
    QLOG_DEBUG("Send resp to caller!");
    GVariant *msg_out = g_variant_new("((ii)iis)", serviceid, cid, rtcode, len, payload);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(@((ii)iis))", msg_out));
}

void PendingCall::reply(int32_t rtcode, int32_t len, std::string_view text) {
    GDBusMethodInvocation *invocation = std::exchange(invocation_, nullptr);
    if (invocation == nullptr)
        return;
    std::string owned(text.substr(0, text.find('\0')));
    // The fixed replies count their terminating NUL in len; nothing may count more.
    if (len > 0 && static_cast<std::size_t>(len) > owned.size() + 1)
        len = static_cast<int32_t>(owned.size());
    quil_adapter_helperd_send_resp_to_dbus(invocation, serviceid_, cid_, rtcode, len,
                                           owned.c_str());
}
