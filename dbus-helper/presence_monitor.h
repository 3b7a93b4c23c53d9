// SPDX-License-Identifier: GPL-2.0-or-later
// Presence of the module: the start-up check "dev-check" and the udev monitor.
#pragma once

#include <glib.h>

#include <atomic>
#include <cstdint>

// 1 once the module's arrival has been reported, 0 after its removal has been
// reported. Written by "dev-check" until it starts "devicecheck", then only by that
// one; read by "mbim-ctl-rcv" when the MBIM helper asks for the module again.
extern std::atomic<int32_t> cellular_present;

// Announces the module to the MBIM helper again (control cids 1 and 16) when it is
// present; nothing otherwise. For an MBIM helper that started after the module was
// found.
void quil_helper_announce_module_again();

// Starts the thread "dev-check". Returns 0, or -1 when it cannot be started.
int quil_helper_device_check_thread_init();

// Body of "dev-check": searches for the module in two passes of attempts, reports
// what it found and hands over to "devicecheck".
gpointer quil_helper_device_check(gpointer data);

// Body of "devicecheck", given the address of cellular_present: follows udev add and
// remove events for the life of the process.
gpointer quil_adapter_device_Check(gpointer data);

// Sets up the udev context and monitor (subsystems "pcie", "pci" and "usb"). The bus
// type must lie in 0..3. Returns 0 on success, -1 on failure.
int quil_adapter_udev_init(int32_t bus_type);

// Releases the udev monitor and context at shutdown.
void quil_udev_deinit();
