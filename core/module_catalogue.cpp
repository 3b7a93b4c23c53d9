// SPDX-License-Identifier: GPL-2.0-or-later
#include "module_catalogue.h"

#include <cstdio>
#include <cstring>

#include "heap_block.h"
#include "helper_queue.h"
#include "log.h"
#include "run_command.h"

namespace {

constexpr ModuleInfo usb_row(const char (&pidvid)[10]) {
    ModuleInfo row{"KT300-WW-00", BUS_USB, {}, "", "", "cdc-wdm", "05c6:9008", "ttyUSB"};
    for (std::size_t i = 0; i < sizeof(pidvid); ++i)
        row.pidvid[i] = pidvid[i];
    return row;
}

constexpr ModuleInfo with_atport(ModuleInfo row, const char (&atport)[8]) {
    for (std::size_t i = 0; i < sizeof(atport); ++i)
        row.atport[i] = atport[i];
    return row;
}

struct PortStateId {
    const char *name;
    const char *pidvid;
};

constexpr std::array<PortStateId, 7> port_state_ids = {{
    {"KT300-WW-00", "3f1e:0a12"},
    {"KT300-WW-00", "3f1e:0a13"},
    {"KT300-WW-00", "3f1e:0a14"},
    {"KT300-WW-00", "4a7d:8111"},
    {"KT300-WW-00", "4a7d:8109"},
    {"KT300-WW-00", "4a7d:8113"},
    {"KT300-WW-00", "4a7d:8115"},
}};

constexpr std::size_t kCommandRspSize = 256;
constexpr std::size_t kSearchCommandSize = 23;
constexpr std::size_t kFindCommandSize = 39;

// Runs one grep step of the search: passes when the pipeline exits 0 and its last
// line is not empty.
bool search_step(const char *tool, const char *text, char *command_rsp) {
    char command[kSearchCommandSize] = {};
    std::snprintf(command, sizeof(command), "%s | grep %s", tool, text);
    std::memset(command_rsp, 0, kCommandRspSize);
    if (!quil::tool_available(tool))
        return false;
    quil::Pipe pipe(command, "r");
    if (!pipe) {
        QLOG_ERR("execute command failed!");
        return false;
    }
    std::memset(command_rsp, 0, kCommandRspSize);
    while (std::fgets(command_rsp, kCommandRspSize, pipe.get()) != nullptr) {
    }
    int status = pipe.close();
    return quil::exited_ok(status) && command_rsp[0] != '\0';
}

bool row_present(const ModuleInfo &row, char *command_rsp) {
    if (row.bus == BUS_USB)
        return search_step("lsusb", row.pidvid, command_rsp);
    // Both texts of a PCIe row must be present.
    return search_step("lspci", row.pci_id1, command_rsp) &&
           search_step("lspci", row.pci_id2, command_rsp);
}

}  // namespace

const std::array<ModuleInfo, MODULE_CATALOGUE_SIZE> module_catalogue = {{
    with_atport(usb_row("3f1e:0a12"), "ttyUSB1"),
    usb_row("3f1e:0a13"),
    with_atport(usb_row("3f1e:0a14"), "ttyUSB1"),
    usb_row("4a7d:8109"),
    usb_row("4a7d:8111"),
    usb_row("4a7d:8113"),
    usb_row("4a7d:8115"),
    {"QC-EDL", BUS_USB, "05c6:9008", "", "", "", "05c6:9008", ""},
    {"QC-FASTBOOT", BUS_USB, "3f1e:f00f", "", "", "", "3f1e:f00f", ""},
    {"KT500-WW-00", BUS_PCIE, "", "0d40", "5e86", "", "", "wwan0at0"},
    {"K760-WW-16", BUS_PCIE, "", "xxxx", "xxxx", "", "", "wwan0at0"},
}};

DetectedModule detected_module = {DETECTED_NONE_YET, 0, "ERROR", -1};
pthread_mutex_t module_info_mutex = PTHREAD_MUTEX_INITIALIZER;

DetectedModule quil_adapter_read_detected_module() {
    pthread_mutex_lock(&module_info_mutex);
    DetectedModule copy = detected_module;
    pthread_mutex_unlock(&module_info_mutex);
    return copy;
}

int quil_adapter_check_cellular(int *result) {
    *result = -1;
    auto command_rsp = quil::alloc_zeroed<char>(kCommandRspSize);
    if (!command_rsp) {
        QLOG_ERR("malloc command_rsp failed!");
        return -1;
    }
    auto module_info = quil::alloc_zeroed<ModuleInfo>(sizeof(ModuleInfo));
    if (!module_info) {
        QLOG_ERR("malloc module_info failed!");
        return -1;
    }

    DetectedModule local = quil_adapter_read_detected_module();

    bool found = false;
    for (std::size_t i = 0; i < module_catalogue.size() && !found; ++i) {
        std::memset(command_rsp.get(), 0, kCommandRspSize);
        *module_info = module_catalogue[i];
        if (!row_present(*module_info, command_rsp.get()))
            continue;
        found = true;
        QLOG_DEBUG("get cellular name: %s", module_info->name);
        local.state = DETECTED_FOUND;
        local.bus = module_info->bus;
        std::memset(local.name, 0, sizeof(local.name));
        std::memcpy(local.name, module_info->name, sizeof(local.name) - 1);
        local.index = static_cast<int32_t>(i);
        *result = 0;
    }
    if (!found) {
        QLOG_DEBUG("don't find any supported cellular!");
        local.state = DETECTED_MISSING;
    }

    pthread_mutex_lock(&module_info_mutex);
    detected_module = local;
    pthread_mutex_unlock(&module_info_mutex);
    QLOG_DEBUG("finished!");
    return 0;
}

int quil_adapter_helperm_get_work_module_name(char *buffer) {
    int result = -1;
    if (quil_adapter_check_cellular(&result) == -1 || result != 0) {
        QLOG_ERR("Helper can't recognize cellular!");
        return -1;
    }
    DetectedModule module = quil_adapter_read_detected_module();
    QLOG_ERR("Found %s exist!", module.name);
    if (module.index < 0 || static_cast<std::size_t>(module.index) >= module_catalogue.size())
        return -1;
    const ModuleInfo &row = module_catalogue[static_cast<std::size_t>(module.index)];
    QLOG_DEBUG("device AT port:%s", row.atport);
    if (row.atport[0] == '\0') {
        QLOG_ERR("Invalid atport name, don't init!");
        return -1;
    }

    if (!quil::tool_available("find")) {
        QLOG_ERR("can't find atport!");
        return -1;
    }
    char command[kFindCommandSize] = {};
    std::snprintf(command, sizeof(command), "find /dev -name %s*", row.atport);
    quil::Pipe pipe(command, "r");
    if (!pipe) {
        QLOG_ERR("execute command failed!");
        return -1;
    }
    char line[ATPORT_NAME_SIZE] = {};
    while (std::fgets(line, sizeof(line), pipe.get()) != nullptr) {
    }
    int status = pipe.close();
    constexpr std::string_view dev_prefix = "/dev/";
    std::string_view last(line);
    if (!quil::exited_ok(status) || last.empty()) {
        QLOG_ERR("can't find atport!");
        return -1;
    }
    // "/dev/ttyUSB1\n" gives "ttyUSB1".
    if (last.size() <= dev_prefix.size() + 1 || last.substr(0, dev_prefix.size()) != dev_prefix) {
        QLOG_ERR("can't find atport!");
        return -1;
    }
    std::string_view name = last.substr(dev_prefix.size(), last.size() - dev_prefix.size() - 1);
    std::memset(buffer, 0, ATPORT_NAME_SIZE);
    std::memcpy(buffer, name.data(), std::min(name.size(), ATPORT_NAME_SIZE - 1));
    return 0;
}

bool PortStateProbe::feed(std::string_view line) {
    for (const auto &id : port_state_ids) {
        if (line.find(id.pidvid) != std::string_view::npos) {
            result = "normalport\n";
            break;
        }
    }
    if (line.find("05c6:9008") != std::string_view::npos) {
        result = "flashport\n";
        return false;
    }
    if (line.find("3f1e:f00f") != std::string_view::npos) {
        result = "fastbootport\n";
        return false;
    }
    QLOG_DEBUG("don't match subpidvid   %d    ", __LINE__);
    return true;
}

void quillon_get_port_command_ready(char *result) {
    std::snprintf(result, PORT_STATE_SIZE, "%s", "noport\n");
    if (!quil::tool_available("lsusb"))
        return;
    quil::Pipe pipe("lsusb | awk -F ' ' 'NR=6 {print $6}'", "r");
    if (!pipe) {
        QLOG_DEBUG("open get_port_cmd error");
        return;
    }
    PortStateProbe probe;
    char line[256] = {};
    while (std::fgets(line, sizeof(line), pipe.get()) != nullptr) {
        QLOG_DEBUG("%s     %d    ", line, __LINE__);
        if (!probe.feed(line))
            break;
    }
    pipe.close();
    std::snprintf(result, PORT_STATE_SIZE, "%s", probe.result);
    QLOG_DEBUG("%s     %d    ", line, __LINE__);
    QLOG_DEBUG("%s     %d    ", result, __LINE__);
}

void quil_adapter_control_mbim_init() {
    DetectedModule module = quil_adapter_read_detected_module();
    QLOG_ERR("Found cellular %s added!", module.name);
    if (module.index < 0 || static_cast<std::size_t>(module.index) >= module_catalogue.size())
        return;
    const ModuleInfo &row = module_catalogue[static_cast<std::size_t>(module.index)];
    auto len = static_cast<uint32_t>(strnlen(row.mbimport, sizeof(row.mbimport)));
    quil_adapter_helperd_send_control_message_to_helperm(CONTROL_MBIM_PORT_INIT, len, row.mbimport);
}
