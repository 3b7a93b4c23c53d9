// SPDX-License-Identifier: GPL-2.0-or-later
#include "helper_client.h"

#include <gio/gio.h>

namespace quilctl {

namespace {

// The errors that mean nobody serves the name: not owned and not activatable, or its
// activation failed.
bool helper_absent_error(const GError *error) {
    if (error->domain != G_DBUS_ERROR)
        return false;
    switch (error->code) {
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_FORK_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
        case G_DBUS_ERROR_SPAWN_FAILED:
        case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_PERMISSIONS_INVALID:
        case G_DBUS_ERROR_SPAWN_FILE_INVALID:
        case G_DBUS_ERROR_SPAWN_NO_MEMORY:
            return true;
        default:
            return false;
    }
}

// The message of a D-Bus error without the remote error name GDBus puts before it.
std::string error_text(GError *error) {
    g_dbus_error_strip_remote_error(error);
    return error->message;
}

}  // namespace

std::unique_ptr<HelperClient> HelperClient::connect(std::string *error) {
    g_autoptr(GError) local_error = nullptr;
    // Not DO_NOT_AUTO_START: a helper that the bus can activate is started here.
    HelperProxy proxy(quillon_gdbus_helper_proxy_new_for_bus_sync(
        G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_DO_NOT_LOAD_PROPERTIES, HELPER_NAME, HELPER_PATH,
        nullptr, &local_error));
    if (!proxy) {
        *error = std::string("cannot reach the system bus: ") + error_text(local_error);
        return nullptr;
    }
    return std::unique_ptr<HelperClient>(new HelperClient(std::move(proxy)));
}

bool HelperClient::has_owner() const {
    g_autofree gchar *owner = g_dbus_proxy_get_name_owner(gproxy());
    return owner != nullptr;
}

Exit HelperClient::send(int32_t serviceid, int32_t cid, std::string_view payload, int timeout_ms,
                        Reply *reply, std::string *error) const {
    std::string text(payload);
    GVariant *request = g_variant_new("(((ii)iis))", serviceid, cid, 0,
                                      static_cast<int32_t>(text.size()), text.c_str());
    g_autoptr(GError) local_error = nullptr;
    g_autoptr(GVariant) result = g_dbus_proxy_call_sync(
        gproxy(), "sendMesg", request, G_DBUS_CALL_FLAGS_ALLOW_INTERACTIVE_AUTHORIZATION,
        timeout_ms, nullptr, &local_error);
    if (!result) {
        bool absent = helper_absent_error(local_error);
        *error = absent ? std::string(HELPER_NAME) + " is not on the system bus"
                        : error_text(local_error);
        return absent ? Exit::absent : Exit::failed;
    }
    if (!g_variant_is_of_type(result, G_VARIANT_TYPE("(((ii)iis))"))) {
        *error = std::string("unexpected reply of type ") + g_variant_get_type_string(result);
        return Exit::failed;
    }
    const gchar *out = nullptr;
    g_variant_get(result, "(((ii)ii&s))", &reply->serviceid, &reply->cid, &reply->rtcode,
                  &reply->len, &out);
    reply->payload = out;
    return Exit::ok;
}

}  // namespace quilctl
