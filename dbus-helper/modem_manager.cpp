// SPDX-License-Identifier: GPL-2.0-or-later
#include "modem_manager.h"

#include <gio/gio.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "log.h"
#include "module_catalogue.h"

namespace {

constexpr const char *kMmName = "org.freedesktop.ModemManager1";
constexpr const char *kMmPath = "/org/freedesktop/ModemManager1";
constexpr const char *kMmInterface = "org.freedesktop.ModemManager1";
constexpr const char *kMmModemInterface = "org.freedesktop.ModemManager1.Modem";
constexpr const char *kObjectManagerInterface = "org.freedesktop.DBus.ObjectManager";

// Every call to the bus is bounded: a hung ModemManager must not hold up the fastboot
// flash request that waits for the inhibition. A ModemManager at work answers within
// milliseconds.
constexpr gint kCallTimeoutMs = 3000;

// How long an inhibition lasts when no final status arrives (the MBIM helper died
// during the flash, say). A flash writes at most nine images with a pause after each;
// the big ones (system, modem) take a few minutes over USB 2, so a whole flash stays
// well below 20 minutes, and a lost status must not leave ModemManager blind to the
// module for the rest of the session.
constexpr guint kFlashBoundSeconds = 20 * 60;

struct ObjectUnref {
    void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
using ConnectionRef = std::unique_ptr<GDBusConnection, ObjectUnref>;

// Main loop only. The uid is released on the connection that inhibited it: ModemManager
// ties an inhibition to its caller and drops it by itself when that caller leaves the
// bus, so a daemon that stops in the middle of a flash leaves nothing behind.
struct Inhibition {
    std::string uid;  // empty: nothing inhibited
    ConnectionRef connection;
    guint guard = 0;  // the time bound's source
};
Inhibition inhibition;

// The module's ports as ModemManager names them: the MBIM port by its prefix
// ("cdc-wdm" gives "cdc-wdm0"), the AT port by its name ("ttyUSB1", "wwan0at0").
struct ModulePorts {
    std::string mbim_prefix;
    std::string at_port;

    bool includes(std::string_view port) const {
        return (!mbim_prefix.empty() && port.starts_with(mbim_prefix)) ||
               (!at_port.empty() && port == at_port);
    }
};

template <std::size_t N>
std::string field_text(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

bool detected_module_ports(ModulePorts *ports) {
    DetectedModule module = quil_adapter_read_detected_module();
    if (module.state != DETECTED_FOUND || module.index < 0 ||
        static_cast<std::size_t>(module.index) >= module_catalogue.size())
        return false;
    const ModuleInfo &row = module_catalogue[static_cast<std::size_t>(module.index)];
    ports->mbim_prefix = field_text(row.mbimport);
    ports->at_port = field_text(row.atport);
    return !ports->mbim_prefix.empty() || !ports->at_port.empty();
}

// One inhibition being asked for: the steps run one after the other as the bus answers,
// on the main loop, each bounded by kCallTimeoutMs.
struct InhibitRequest {
    ModulePorts ports;
    ConnectionRef connection;
    std::string uid;
    std::function<void(ModemInhibition)> done;
};
using InhibitRequestPtr = std::unique_ptr<InhibitRequest>;

void call_bus(InhibitRequestPtr request, const char *name, const char *path, const char *interface,
              const char *method, GVariant *parameters, const GVariantType *reply_type,
              GDBusCallFlags flags, GAsyncReadyCallback next) {
    GDBusConnection *connection = request->connection.get();
    g_dbus_connection_call(connection, name, path, interface, method, parameters, reply_type, flags,
                           kCallTimeoutMs, nullptr, next, request.release());
}

// The answer of a step, with the request it belongs to taken back.
GVariant *finish_step(GObject *source, GAsyncResult *result, gpointer data,
                      InhibitRequestPtr *request, GError **error) {
    request->reset(static_cast<InhibitRequest *>(data));
    return g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, error);
}

// The Device of the first modem object one of whose ports is the module's.
bool modem_uid_of_module(GVariant *reply, const ModulePorts &ports, std::string *uid) {
    g_autoptr(GVariant) objects = g_variant_get_child_value(reply, 0);
    GVariantIter object_iter;
    g_variant_iter_init(&object_iter, objects);
    const char *path = nullptr;
    GVariant *interfaces_value = nullptr;
    while (g_variant_iter_next(&object_iter, "{&o@a{sa{sv}}}", &path, &interfaces_value)) {
        g_autoptr(GVariant) interfaces = interfaces_value;
        g_autoptr(GVariant) modem =
            g_variant_lookup_value(interfaces, kMmModemInterface, G_VARIANT_TYPE("a{sv}"));
        if (modem == nullptr)
            continue;
        g_autoptr(GVariant) port_list =
            g_variant_lookup_value(modem, "Ports", G_VARIANT_TYPE("a(su)"));
        g_autoptr(GVariant) device = g_variant_lookup_value(modem, "Device", G_VARIANT_TYPE_STRING);
        if (port_list == nullptr || device == nullptr)
            continue;
        std::string_view device_uid = g_variant_get_string(device, nullptr);
        if (device_uid.empty())
            continue;
        GVariantIter port_iter;
        g_variant_iter_init(&port_iter, port_list);
        const char *port = nullptr;
        guint32 type = 0;
        while (g_variant_iter_next(&port_iter, "(&su)", &port, &type)) {
            if (!ports.includes(port))
                continue;
            QLOG_DEBUG("ModemManager modem %s has port %s of the module", path, port);
            *uid = device_uid;
            return true;
        }
    }
    return false;
}

gboolean flash_bound_passed(gpointer);

void device_inhibited(GObject *source, GAsyncResult *result, gpointer data) {
    InhibitRequestPtr request;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = finish_step(source, result, data, &request, &error);
    if (reply == nullptr) {
        QLOG_WARN("ModemManager did not inhibit %s (%s), flash goes on without it!",
                  request->uid.c_str(), error->message);
        request->done(ModemInhibition());
        return;
    }
    QLOG_INFO("ModemManager leaves %s alone during the flash", request->uid.c_str());
    inhibition.uid = std::move(request->uid);
    inhibition.connection = std::move(request->connection);
    inhibition.guard = g_timeout_add_seconds(kFlashBoundSeconds, flash_bound_passed, nullptr);
    request->done(ModemInhibition::taken());
}

void modems_listed(GObject *source, GAsyncResult *result, gpointer data) {
    InhibitRequestPtr request;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = finish_step(source, result, data, &request, &error);
    if (reply == nullptr) {
        QLOG_WARN("ModemManager did not list its modems (%s), flash goes on without it!",
                  error->message);
        request->done(ModemInhibition());
        return;
    }
    if (!modem_uid_of_module(reply, request->ports, &request->uid)) {
        QLOG_WARN("ModemManager has no modem for the module, flash goes on without it!");
        request->done(ModemInhibition());
        return;
    }
    GVariant *parameters = g_variant_new("(sb)", request->uid.c_str(), TRUE);
    call_bus(std::move(request), kMmName, kMmPath, kMmInterface, "InhibitDevice", parameters,
             nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, device_inhibited);
}

void owner_asked(GObject *source, GAsyncResult *result, gpointer data) {
    InhibitRequestPtr request;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = finish_step(source, result, data, &request, &error);
    if (reply == nullptr) {
        QLOG_WARN("can't ask the bus for ModemManager (%s), flash goes on without it!",
                  error->message);
        request->done(ModemInhibition());
        return;
    }
    gboolean has_owner = FALSE;
    g_variant_get(reply, "(b)", &has_owner);
    if (!has_owner) {
        QLOG_INFO("ModemManager is not on the bus, flash goes on without it!");
        request->done(ModemInhibition());
        return;
    }
    call_bus(std::move(request), kMmName, kMmPath, kObjectManagerInterface, "GetManagedObjects",
             nullptr, G_VARIANT_TYPE("(a{oa{sa{sv}}})"), G_DBUS_CALL_FLAGS_NO_AUTO_START,
             modems_listed);
}

void uninhibit_done(GObject *source, GAsyncResult *result, gpointer data) {
    g_autofree char *uid = static_cast<char *>(data);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply =
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply == nullptr) {
        QLOG_WARN("ModemManager did not end the inhibition of %s (%s)!", uid, error->message);
        return;
    }
    QLOG_INFO("ModemManager manages %s again", uid);
}

// Main loop only.
void release_inhibition() {
    if (inhibition.uid.empty())
        return;
    if (inhibition.guard != 0)
        g_source_remove(inhibition.guard);
    inhibition.guard = 0;
    std::string uid = std::move(inhibition.uid);
    inhibition.uid.clear();
    ConnectionRef connection = std::move(inhibition.connection);
    // Not waited for: nothing of the daemon depends on the answer.
    g_dbus_connection_call(connection.get(), kMmName, kMmPath, kMmInterface, "InhibitDevice",
                           g_variant_new("(sb)", uid.c_str(), FALSE), nullptr,
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, uninhibit_done,
                           g_strdup(uid.c_str()));
}

gboolean flash_bound_passed(gpointer) {
    QLOG_WARN("no end of the flash within %u s, ModemManager may take the module again!",
              kFlashBoundSeconds);
    inhibition.guard = 0;
    release_inhibition();
    return G_SOURCE_REMOVE;
}

gboolean flash_ended_in_main_loop(gpointer) {
    release_inhibition();
    return G_SOURCE_REMOVE;
}

}  // namespace

ModemInhibition::~ModemInhibition() {
    if (owner_)
        release_inhibition();
}

void quil_modem_manager_inhibit_module(std::function<void(ModemInhibition)> done) {
    if (!inhibition.uid.empty()) {
        QLOG_DEBUG("ModemManager already leaves %s alone", inhibition.uid.c_str());
        done(ModemInhibition());
        return;
    }
    auto request = std::make_unique<InhibitRequest>();
    request->done = std::move(done);
    if (!detected_module_ports(&request->ports)) {
        QLOG_WARN("ports of the module unknown, ModemManager not asked to leave it alone!");
        request->done(ModemInhibition());
        return;
    }
    g_autoptr(GError) error = nullptr;
    request->connection.reset(g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error));
    if (!request->connection) {
        QLOG_WARN("no system bus (%s), flash goes on without ModemManager!", error->message);
        request->done(ModemInhibition());
        return;
    }
    call_bus(std::move(request), "org.freedesktop.DBus", "/org/freedesktop/DBus",
             "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", kMmName),
             G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, owner_asked);
}

void quil_modem_manager_flash_ended() {
    // Always queued to the main loop, never run here: g_main_context_invoke would run it
    // in the calling thread whenever that thread can acquire the default context (before
    // the loop runs or after it ended), beside the main thread.
    g_idle_add(flash_ended_in_main_loop, nullptr);
}
