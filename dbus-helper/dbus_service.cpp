// SPDX-License-Identifier: GPL-2.0-or-later
#include "dbus_service.h"

#include <gio/gio.h>

#include "daemon_state.h"
#include "log.h"
#include "request_transmitter.h"

std::atomic<QuillonGdbusHelper *> helper_skeleton{nullptr};

namespace {

constexpr const char *kBusName = "com.quillon.helper";
constexpr const char *kObjectPath = "/com/quillon/helper";
constexpr const char *kHelperName = "quil-helper-dbus";

void bus_acquired(GDBusConnection *connection, const gchar *name, gpointer) {
    QLOG_DEBUG("Enter! name is %s", name != nullptr ? name : "(null)");
    if (connection == nullptr || name == nullptr)
        QLOG_ERR("NULL pointer! won't register any signal!");
}

void bus_name_acquired(GDBusConnection *connection, const gchar *name, gpointer) {
    QLOG_DEBUG("Enter!");
    if (connection == nullptr || name == nullptr) {
        QLOG_ERR("NULL pointer! won't register any signal!");
        return;
    }
    // The skeleton lives for the rest of the process; a name acquired again gets a
    // new one and the old one is left alone (worker threads may still hold it).
    QuillonGdbusHelper *skeleton = quillon_gdbus_helper_skeleton_new();
    helper_skeleton.store(skeleton);
    g_signal_connect(skeleton, "handle-send-mesg", G_CALLBACK(request_transmitter), nullptr);
    GError *error = nullptr;
    if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(skeleton), connection,
                                          kObjectPath, &error)) {
        QLOG_ERR("Error: Failed to export object. Reason: %s.",
                 error != nullptr ? error->message : "unknown");
        g_clear_error(&error);
    }
}

void bus_name_lost(GDBusConnection *, const gchar *, gpointer) {
    QLOG_ERR("bus_name_lost !!!!");
}

}  // namespace

void quil_register_helper_service() {
    QLOG_DEBUG("enter!");
    g_bus_own_name(G_BUS_TYPE_SYSTEM, kBusName, G_BUS_NAME_OWNER_FLAGS_NONE, bus_acquired,
                   bus_name_acquired, bus_name_lost, nullptr, nullptr);
}

void emit_edl_flash_status_signal(const char *status) {
    QLOG_ERR("emit_edl_flash_status_signal invoked");
    QuillonGdbusHelper *skeleton = helper_skeleton.load();
    if (skeleton != nullptr && status != nullptr) {
        QLOG_ERR("[%s]:flash changed!:%s", kHelperName, status);
        quillon_gdbus_helper_emit_edl_status(skeleton, status);
    }
    QLOG_ERR("[%s]:flash changed!", kHelperName);
}

void emit_fastboot_flash_status_signal(const char *status) {
    QLOG_ERR("enter");
    QuillonGdbusHelper *skeleton = helper_skeleton.load();
    if (skeleton != nullptr && status != nullptr) {
        QLOG_ERR("[%s]:flash changed!:%s", kHelperName, status);
        quillon_gdbus_helper_emit_fastboot_status(skeleton, status);
    }
    QLOG_ERR("[%s]:flash changed!", kHelperName);
}

void emit_flash_progress_signal(const char *kind, int percent) {
    QuillonGdbusHelper *skeleton = helper_skeleton.load();
    if (skeleton == nullptr || kind == nullptr) {
        QLOG_DEBUG("no skeleton, %s progress %d not emitted", kind != nullptr ? kind : "", percent);
        return;
    }
    QLOG_DEBUG("[%s]:%s progress %d", kHelperName, kind, percent);
    quillon_gdbus_helper_emit_flash_progress(skeleton, kind, percent);
}
