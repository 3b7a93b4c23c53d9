// SPDX-License-Identifier: GPL-2.0-or-later
// The module's hardware reset line: a sysfs GPIO chosen by the laptop's SKU id.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The reset GPIO found at start-up; 0 when the SKU is not in the table. Written once
// before the main loop runs.
extern int32_t hwreset_gpio;

struct MachineSkuidGpio {
    int enable;
    const char *machine;
    const char *skuid;
    int32_t gpio;
};

inline constexpr std::size_t MACHINE_SKUID_GPIO_ROWS = 23;
extern const std::array<MachineSkuidGpio, MACHINE_SKUID_GPIO_ROWS> machine_skuid_gpio;

// The GPIO of the first table row whose SKU id occurs anywhere in text; -1 when none
// does.
int32_t quil_skuid_gpio_lookup(std::string_view text);

// Reads the SKU text (at most 32 bytes of the SKU command's output) into buffer, which
// holds at least 33 bytes. 0 on success, -1 when the command could not be started.
inline constexpr std::size_t SKUID_TEXT_SIZE = 32;
int quillon_get_skuid(char *buffer);

// Sets hwreset_gpio from the SKU text. 0 when a row matched, -1 otherwise.
int quillon_get_current_mackine_hwreset_gpio(const char *skuid);

// Exports the GPIO when it is not yet exported and drives it to 1. 0 or -1.
int quillon_hwreset_gpio_init_sub(int32_t gpio);

// Writes the value to /sys/class/gpio/gpio<gpio>/value. 0 when the file took it, -1
// when it could not be opened or the write was refused.
int quillon_hwreset_gpio_set(int32_t gpio, int value);

// Start-up: SKU, table, export, value 1. 0 or -1; failures are logged.
int quillon_hwreset_gpio_init();

// The reset pulse of request 0x2003: 0 then 1 on hwreset_gpio. 0 or -1.
int quillon_reset_modem_hw_ready();
