// SPDX-License-Identifier: GPL-2.0-or-later
#include "presence_monitor.h"

#include <libudev.h>
#include <poll.h>
#include <pthread.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "daemon_state.h"
#include "helper_queue.h"
#include "log.h"
#include "module_catalogue.h"

std::atomic<int32_t> cellular_present{0};

namespace {

constexpr int kPassCount = 2;
constexpr int kAttemptsPerPass = 20;
constexpr gulong kRetryPause = 3 * G_USEC_PER_SEC;
constexpr gulong kArrivalSignalDelay = 2 * G_USEC_PER_SEC;
constexpr gulong kPollErrorPause = G_USEC_PER_SEC / 10;

constexpr const char *kCellularExisted = "[ModemState]cellular existed!";
constexpr const char *kCellularMissing = "[ModemState]cellular missing!";

// The subsystems whose events start a search. The kernel names the PCI bus "pci";
// "pcie" is kept for senders that use that name.
constexpr std::array<const char *, 3> kWatchedSubsystems = {"pcie", "pci", "usb"};

// The udev handles. The main thread releases them at shutdown while "devicecheck" may
// still be waiting on the monitor, so they are reached only under udev_mutex and the
// monitor thread works on a reference of its own.
pthread_mutex_t udev_mutex = PTHREAD_MUTEX_INITIALIZER;
int32_t udev_initialized = 0;
struct udev *udev_ctx = nullptr;
struct udev_monitor *udev_mon = nullptr;

class UdevLock {
  public:
    UdevLock() { pthread_mutex_lock(&udev_mutex); }
    ~UdevLock() { pthread_mutex_unlock(&udev_mutex); }
    UdevLock(const UdevLock &) = delete;
    UdevLock &operator=(const UdevLock &) = delete;
};

struct MonitorUnref {
    void operator()(struct udev_monitor *monitor) const noexcept { udev_monitor_unref(monitor); }
};
struct DeviceUnref {
    void operator()(struct udev_device *device) const noexcept { udev_device_unref(device); }
};
using MonitorRef = std::unique_ptr<struct udev_monitor, MonitorUnref>;
using DeviceRef = std::unique_ptr<struct udev_device, DeviceUnref>;

void emit_cellular_state(const char *text) {
    QuillonGdbusHelper *skeleton = helper_skeleton.load();
    if (skeleton == nullptr) {
        QLOG_ERR("variable is NULL, don't send cellular info signal!");
        return;
    }
    quillon_gdbus_helper_emit_cellular_state(skeleton, text);
}

// True when the search ran and found a catalogue row.
bool cellular_found() {
    int result = -1;
    return quil_adapter_check_cellular(&result) == 0 && result == 0;
}

void start_monitor_thread() {
    GThread *thread =
        g_thread_try_new("devicecheck", quil_adapter_device_Check, &cellular_present, nullptr);
    if (thread == nullptr) {
        QLOG_ERR("thread init failed!");
        return;
    }
    g_thread_unref(thread);
}

// Takes a reference to the monitor for the calling thread, or null when there is none.
MonitorRef monitor_reference() {
    UdevLock lock;
    if (udev_mon == nullptr)
        return MonitorRef();
    return MonitorRef(udev_monitor_ref(udev_mon));
}

void handle_add(std::atomic<int32_t> *present) {
    if (!cellular_found()) {
        QLOG_ERR("Helper can't recognize cellular!");
        return;
    }
    if (*present != 0) {
        QLOG_DEBUG("device already existed!");
        return;
    }
    *present = 1;
    quil_adapter_control_mbim_init();
    if (helper_skeleton.load() == nullptr) {
        QLOG_ERR("variable is NULL, don't send cellular info signal!");
        return;
    }
    // The module's ports need a moment to settle before clients act on the signal.
    g_usleep(kArrivalSignalDelay);
    emit_cellular_state(kCellularExisted);
}

void handle_remove(std::atomic<int32_t> *present) {
    int result = -1;
    if (quil_adapter_check_cellular(&result) != 0 || result == 0) {
        QLOG_DEBUG("cellular seems not removed!");
        return;
    }
    DetectedModule module = quil_adapter_read_detected_module();
    QLOG_ERR("Found cellular %s removed!", module.name);
    if (*present == 0) {
        QLOG_DEBUG("device already removed or not inserted at all!");
        return;
    }
    *present = 0;
    emit_cellular_state(kCellularMissing);
    quil_adapter_helperd_send_control_message_to_helperm(CONTROL_MBIM_PORT_REMOVED);
}

}  // namespace

void quil_helper_announce_module_again() {
    if (cellular_present.load() == 0) {
        QLOG_DEBUG("module not present, nothing to announce!");
        return;
    }
    quil_adapter_control_mbim_init();
    quil_adapter_helperd_send_control_message_to_helperm(CONTROL_SUBSCRIBER_READY_QUERY);
}

int quil_helper_device_check_thread_init() {
    GThread *thread = g_thread_try_new("dev-check", quil_helper_device_check, nullptr, nullptr);
    if (thread == nullptr) {
        QLOG_ERR("thread init failed!");
        return -1;
    }
    g_thread_unref(thread);
    return 0;
}

gpointer quil_helper_device_check(gpointer) {
    for (int pass = 0; pass < kPassCount; ++pass) {
        for (int attempt = 0; attempt < kAttemptsPerPass; ++attempt) {
            if (!cellular_found()) {
                QLOG_ERR("don't find valid cellular, will retry!");
                g_usleep(kRetryPause);
                continue;
            }
            cellular_present = 1;
            quil_adapter_control_mbim_init();
            if (attempt == 0)
                quil_adapter_helperd_send_control_message_to_helperm(
                    CONTROL_SUBSCRIBER_READY_QUERY);
            emit_cellular_state(kCellularExisted);
            start_monitor_thread();
            return nullptr;
        }
        if (pass == 0) {
            // A second pass without touching the reset line: nothing answered on any
            // bus, which on most machines means no module is fitted or it is switched
            // off, and the line is pulsed only when a client asks for it.
            QLOG_ERR("don't find valid cellular twice, will trigger HW reboot!");
        }
    }
    QLOG_ERR("reach max retry! drop all remained init process!");
    start_monitor_thread();
    return nullptr;
}

int quil_adapter_udev_init(int32_t bus_type) {
    UdevLock lock;
    if (udev_initialized == 1) {
        QLOG_DEBUG("udev already initialized!");
        return -1;
    }
    if (static_cast<uint32_t>(bus_type) > 3) {
        QLOG_ERR("Invalid param, refuse to init!");
        return -1;
    }
    udev_ctx = udev_new();
    if (udev_ctx == nullptr) {
        QLOG_ERR("Failed to initialize libudev.");
        return -1;
    }
    udev_mon = udev_monitor_new_from_netlink(udev_ctx, "udev");
    if (udev_mon == nullptr) {
        QLOG_ERR("Failed to create udev monitor.");
        udev_unref(udev_ctx);
        udev_ctx = nullptr;
        return -1;
    }
    for (const char *subsystem : kWatchedSubsystems) {
        if (udev_monitor_filter_add_match_subsystem_devtype(udev_mon, subsystem, nullptr) < 0) {
            QLOG_ERR("Monitor filter %s failed!", subsystem);
            return -1;
        }
    }
    if (udev_monitor_enable_receiving(udev_mon) < 0) {
        QLOG_ERR("Failed to enable udev monitor receiving.");
        return -1;
    }
    udev_initialized = 1;
    int fd = udev_monitor_get_fd(udev_mon);
    QLOG_DEBUG("fd:%d", fd);
    QLOG_DEBUG("finished!");
    return 0;
}

void quil_udev_deinit() {
    UdevLock lock;
    if (udev_ctx == nullptr && udev_mon == nullptr) {
        QLOG_ERR("NULL pointer, seems already deinit!");
    } else {
        if (udev_mon != nullptr)
            udev_monitor_unref(udev_mon);
        udev_mon = nullptr;
        if (udev_ctx != nullptr)
            udev_unref(udev_ctx);
        udev_ctx = nullptr;
    }
    udev_initialized = 0;
}

gpointer quil_adapter_device_Check(gpointer data) {
    auto *present = static_cast<std::atomic<int32_t> *>(data);
    if (present == nullptr) {
        QLOG_ERR("NULL pointer!");
        return nullptr;
    }
    QLOG_DEBUG("enter func.");
    DetectedModule module = quil_adapter_read_detected_module();
    if (quil_adapter_udev_init(module.bus) != 0) {
        QLOG_ERR("Fatal error! exit main thread!");
        return nullptr;
    }
    MonitorRef monitor = monitor_reference();
    if (!monitor) {
        QLOG_ERR("Fatal error! exit main thread!");
        return nullptr;
    }

    struct pollfd pfd = {udev_monitor_get_fd(monitor.get()), POLLIN, 0};
    for (;;) {
        pfd.revents = 0;
        if (poll(&pfd, 1, -1) < 0) {
            if (errno != EINTR) {
                QLOG_ERR("get udev event failed!");
                g_usleep(kPollErrorPause);
            }
            continue;
        }
        DeviceRef device(udev_monitor_receive_device(monitor.get()));
        if (!device)
            continue;
        const char *action = udev_device_get_action(device.get());
        if (action == nullptr)
            continue;
        std::string_view what(action);
        if (what == "add")
            handle_add(present);
        else if (what == "remove")
            handle_remove(present);
        else
            QLOG_DEBUG("don't know what accured on module: action: %s", action);
    }
    return nullptr;
}
