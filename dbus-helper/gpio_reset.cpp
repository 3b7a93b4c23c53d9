// SPDX-License-Identifier: GPL-2.0-or-later
#include "gpio_reset.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "heap_block.h"
#include "log.h"
#include "run_command.h"

int32_t hwreset_gpio = 0;

// Rows are searched in this order; only the SKU id and the GPIO are used.
const std::array<MachineSkuidGpio, MACHINE_SKUID_GPIO_ROWS> machine_skuid_gpio = {{
    {1, "", "0CB2", 717}, {1, "", "0CB3", 717}, {1, "", "0CB4", 595}, {1, "", "0CC1", 883},
    {1, "", "0CC4", 883}, {1, "", "0CC5", 595}, {1, "", "0CC3", 595}, {1, "", "0CB5", 717},
    {1, "", "0CB7", 595}, {1, "", "0CB9", 717}, {1, "", "0CBA", 717}, {1, "", "0CBB", 717},
    {1, "", "0CBC", 595}, {1, "", "0CBD", 883}, {1, "", "0CBF", 883}, {1, "", "0C99", 647},
    {1, "", "0C9A", 647}, {1, "", "0C97", 596}, {1, "", "0C98", 596}, {1, "", "0CC0", 0},
    {1, "", "0C0D", 595}, {1, "", "0B03", 595}, {1, "", "0C0B", 595},
}};

namespace {

constexpr const char *kSkuidCommand = "dmidecode -t 1 | grep SKU | awk -F ' ' '{print$3}'";
constexpr const char *kGpioExport = "/sys/class/gpio/export";
constexpr std::size_t kPathSize = 64;

bool path_exists(const char *path) {
    struct stat st;
    return ::stat(path, &st) == 0;
}

// Writes text to a sysfs attribute as one write. 0 when all of it was taken; -1 with
// errno set otherwise (a GPIO attribute refuses a bad value in the write itself).
int write_attribute(const char *path, std::string_view text) {
    quil::UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC));
    if (!fd)
        return -1;
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

int32_t quil_skuid_gpio_lookup(std::string_view text) {
    for (const MachineSkuidGpio &row : machine_skuid_gpio) {
        if (text.find(row.skuid) != std::string_view::npos)
            return row.gpio;
    }
    return -1;
}

int quillon_get_skuid(char *buffer) {
    std::memset(buffer, 0, SKUID_TEXT_SIZE + 1);
    // Without dmidecode the pipeline prints nothing: no SKU id.
    if (!quil::tool_available("dmidecode"))
        return 0;
    quil::Pipe pipe(kSkuidCommand, "r");
    if (!pipe) {
        QLOG_CRIT("popen get_skuid_cmd error");
        return -1;
    }
    std::size_t got = std::fread(buffer, 1, SKUID_TEXT_SIZE, pipe.get());
    buffer[got] = '\0';
    QLOG_CRIT("get_skuid_cmd == %s", buffer);
    pipe.close();
    return 0;
}

int quillon_get_current_mackine_hwreset_gpio(const char *skuid) {
    int32_t gpio = quil_skuid_gpio_lookup(skuid != nullptr ? skuid : "");
    if (gpio < 0) {
        QLOG_DEBUG("don't find skuid form machine_skuid_gpio");
        return -1;
    }
    hwreset_gpio = gpio;
    QLOG_DEBUG("find skuid form machine_skuid_gpio");
    return 0;
}

int quillon_hwreset_gpio_set(int32_t gpio, int value) {
    char path[kPathSize] = {};
    char text[16] = {};
    std::snprintf(path, sizeof(path), "/sys/class/gpio/gpio%d/value", gpio);
    int len = std::snprintf(text, sizeof(text), "%d\n", value);
    if (write_attribute(path, std::string_view(text, static_cast<std::size_t>(len))) != 0) {
        QLOG_CRIT("write %d to %s failed: %s", value, path, std::strerror(errno));
        return -1;
    }
    return 0;
}

int quillon_hwreset_gpio_init_sub(int32_t gpio) {
    if (path_exists(kGpioExport))
        QLOG_WARN("/sys/class/gpio/export exists.");
    else
        QLOG_WARN("/sys/class/gpio/export does not exist.");

    char gpio_dir[kPathSize] = {};
    std::snprintf(gpio_dir, sizeof(gpio_dir), "/sys/class/gpio/gpio%d", gpio);
    if (path_exists(gpio_dir)) {
        // Exported by an earlier start: the line stays exported for the life of the
        // system, and exporting it again would be refused.
        QLOG_DEBUG("gpio%d already exported", gpio);
    } else {
        char text[16] = {};
        int len = std::snprintf(text, sizeof(text), "%d\n", gpio);
        if (write_attribute(kGpioExport, std::string_view(text, static_cast<std::size_t>(len))) !=
            0) {
            QLOG_CRIT("export gpio %d failed: %s", gpio, std::strerror(errno));
            return -1;
        }
    }

    // "high" makes the line an output already at its idle level, so setting the
    // direction never pulses the reset.
    char direction[kPathSize] = {};
    std::snprintf(direction, sizeof(direction), "/sys/class/gpio/gpio%d/direction", gpio);
    if (path_exists(direction) && write_attribute(direction, "high\n") != 0) {
        QLOG_CRIT("set gpio %d direction failed: %s", gpio, std::strerror(errno));
        return -1;
    }

    if (quillon_hwreset_gpio_set(gpio, 1) != 0) {
        QLOG_CRIT("set gpio %d error", gpio);
        return -1;
    }
    return 0;
}

int quillon_hwreset_gpio_init() {
    char skuid[SKUID_TEXT_SIZE + 1] = {};
    if (quillon_get_skuid(skuid) != 0) {
        QLOG_CRIT("Get Skuid error");
        return -1;
    }
    if (quillon_get_current_mackine_hwreset_gpio(skuid) != 0) {
        QLOG_CRIT("Get hwreset gpio error");
        return -1;
    }
    if (quillon_hwreset_gpio_init_sub(hwreset_gpio) != 0) {
        QLOG_CRIT("set gpio %d error", hwreset_gpio);
        return -1;
    }
    return 0;
}

int quillon_reset_modem_hw_ready() {
    if (quillon_hwreset_gpio_set(hwreset_gpio, 0) != 0) {
        QLOG_CRIT("set hwreset gpio %d to 0 error", hwreset_gpio);
        return -1;
    }
    if (quillon_hwreset_gpio_set(hwreset_gpio, 1) != 0) {
        QLOG_CRIT("set hwreset gpio %d to 1 error", hwreset_gpio);
        return -1;
    }
    return 0;
}
