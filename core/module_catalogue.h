// SPDX-License-Identifier: GPL-2.0-or-later
// The catalogue of supported cellular modules and the search for the fitted one.
#pragma once

#include <pthread.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr uint8_t BUS_USB = 1;
inline constexpr uint8_t BUS_PCIE = 2;

// One catalogue row. Every field lives inside the row, NUL-padded, so a row is copied
// as one block.
struct ModuleInfo {
    char name[16];
    uint8_t bus;
    char pidvid[10];
    char pci_id1[5];
    char pci_id2[5];
    char mbimport[16];
    char flash_pidvid[16];
    char atport[14];
};

inline constexpr std::size_t MODULE_CATALOGUE_SIZE = 11;
extern const std::array<ModuleInfo, MODULE_CATALOGUE_SIZE> module_catalogue;

inline constexpr int DETECTED_NONE_YET = 0;
inline constexpr int DETECTED_MISSING = 1;
inline constexpr int DETECTED_FOUND = 2;

// The outcome of the last search; one per process, guarded by module_info_mutex.
struct DetectedModule {
    int32_t state;
    int32_t bus;
    char name[16];
    int32_t index;
};

extern DetectedModule detected_module;
extern pthread_mutex_t module_info_mutex;

// Copies detected_module out under module_info_mutex.
DetectedModule quil_adapter_read_detected_module();

// Searches the catalogue with lsusb and lspci and updates detected_module. *result is
// 0 when a module was found and -1 when none was. Returns 0 when the search ran and
// -1 when it could not (out of memory).
int quil_adapter_check_cellular(int *result);

// MBIM helper: the AT port device name of the fitted module (file name in /dev).
// The buffer holds 30 bytes. Returns 0 on success and -1 on any failure.
inline constexpr std::size_t ATPORT_NAME_SIZE = 30;
int quil_adapter_helperm_get_work_module_name(char *buffer);

// D-Bus helper: writes "noport\n", "normalport\n", "flashport\n" or "fastbootport\n"
// into a buffer of at least 16 bytes.
inline constexpr std::size_t PORT_STATE_SIZE = 16;
void quillon_get_port_command_ready(char *result);

// D-Bus helper: announces the MBIM port prefix of the module just found (control
// message 1 on queue 0).
void quil_adapter_control_mbim_init();

// The rule of the port state probe applied to lsusb lines; exposed for the unit tests.
// Starts from "noport\n" and returns the text that the probe would write.
struct PortStateProbe {
    const char *result = "noport\n";
    // Applies one line; returns false when reading must stop.
    bool feed(std::string_view line);
};
