// SPDX-License-Identifier: GPL-2.0-or-later
// The names of the request cids for people and scripts (quilctl), one row per cid that
// is answered by one of the daemons: what it is called, what kind of request it is,
// whether it takes a payload, and one line on what it does. The MBIM helper's command
// table is checked against this table when it is compiled (check_command_names), so the
// two cannot drift apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quil {

enum class CommandKind {
    query,  // asks the module, sends no payload
    set,    // sends the payload as the value of an AT set command or an MBIM set
    local,  // served by the D-Bus helper itself
    flash,  // starts a firmware flash that reports on the bus until it ends
};

enum class PayloadRule {
    none,      // no payload may be given
    required,  // a non-empty payload must be given
    optional,  // either
};

struct CommandName {
    int32_t cid;
    std::string_view name;
    CommandKind kind;
    PayloadRule payload;
    std::string_view description;
};

inline constexpr auto command_names = std::to_array<CommandName>({
    {0x0100, "module-reset", CommandKind::query, PayloadRule::none,
     "restart the module (AT+CFUN=15)"},
    {0x1001, "sap-fw-version", CommandKind::query, PayloadRule::none,
     "SAP firmware version (AT+GTSAPFWVER?)"},
    {0x1002, "fw-version", CommandKind::query, PayloadRule::none, "firmware revision (AT+CGMR)"},
    {0x1003, "cust-pack-version", CommandKind::query, PayloadRule::none,
     "customer pack version (AT+GTCUSTPACKVER?)"},
    {0x1004, "cfg-element-version", CommandKind::query, PayloadRule::none,
     "configuration element version (AT+GTCFGELEMVER?)"},
    {0x1005, "dev-pack-version", CommandKind::query, PayloadRule::none,
     "device pack version (AT+GTDEVPACKVER?)"},
    {0x1006, "imei", CommandKind::query, PayloadRule::none, "IMEI of the module (AT+CGSN)"},
    {0x1007, "home-network", CommandKind::query, PayloadRule::none,
     "MCC and MNC of the SIM's home network (MBIM home provider)"},
    {0x1008, "usb-id", CommandKind::query, PayloadRule::none,
     "USB vendor and product id of the module, from lsusb"},
    {0x100a, "fastboot-flash", CommandKind::flash, PayloadRule::required,
     "flash through the bootloader; payload \"path:DIR/;ap:A;md:M;...\" (see flash fastboot)"},
    {0x2001, "port-state", CommandKind::local, PayloadRule::none,
     "USB mode of the module: noport, normalport, flashport or fastbootport"},
    {0x2002, "oem-usb-id", CommandKind::query, PayloadRule::none,
     "OEM USB id of the module (AT+GTOEMUSBID?)"},
    {0x2003, "reset", CommandKind::local, PayloadRule::none,
     "pulse the module's hardware reset line"},
    {0x2004, "edl-flash", CommandKind::flash, PayloadRule::required,
     "flash in download mode; payload \"ap:A;md:M\" (see flash edl)"},
    {0x4001, "sar-enable", CommandKind::set, PayloadRule::required,
     "switch body SAR on (1) or off (0) (AT+BODYSAREN=)"},
    {0x4002, "sar-state", CommandKind::query, PayloadRule::none,
     "whether body SAR is on (AT+BODYSAREN?)"},
    {0x4003, "sar-mode-set", CommandKind::set, PayloadRule::required,
     "set the body SAR mode (AT+BODYSARMODE=)"},
    {0x4004, "sar-mode", CommandKind::query, PayloadRule::none, "body SAR mode (AT+BODYSARMODE?)"},
    {0x4005, "sar-on", CommandKind::set, PayloadRule::required,
     "apply a body SAR setting; the payload completes AT+BODYSARON=1,"},
    {0x4007, "sar-version-set", CommandKind::set, PayloadRule::required,
     "set the body SAR table version (AT+BODYSARVER=)"},
    {0x4008, "sar-version", CommandKind::query, PayloadRule::none,
     "body SAR table version (AT+BODYSARVER?)"},
    {0x4011, "antenna-tuning-enable", CommandKind::set, PayloadRule::required,
     "switch antenna tuning on (1) or off (0) (AT+GTANTTUNINGEN=)"},
    {0x4012, "antenna-tuning-state", CommandKind::query, PayloadRule::none,
     "whether antenna tuning is on (AT+GTANTTUNINGEN?)"},
    {0x4013, "antenna-control-mode-set", CommandKind::set, PayloadRule::required,
     "set the antenna control mode (AT+GTANTCTRLMODE=)"},
    {0x4014, "antenna-tune-mode-set", CommandKind::set, PayloadRule::required,
     "set the antenna tune mode (AT+GTANTTUNEMODE=)"},
    {0x4015, "antenna-control-mode", CommandKind::query, PayloadRule::none,
     "antenna control mode (AT+GTANTCTRLMODE?)"},
    {0x4016, "antenna-tune-mode", CommandKind::query, PayloadRule::none,
     "antenna tune mode (AT+GTANTTUNEMODE?)"},
    {0x4017, "antenna-profile-set", CommandKind::set, PayloadRule::required,
     "select an antenna profile (AT+GTANTPROFILE=)"},
    {0x401a, "antenna-version-set", CommandKind::set, PayloadRule::required,
     "set the antenna table version (AT+GTANTVER=)"},
    {0x401b, "antenna-version", CommandKind::query, PayloadRule::none,
     "antenna table version (AT+GTANTVER?)"},
    {0x4020, "flight-mode-set", CommandKind::set, PayloadRule::required,
     "switch flight mode on (1) or off (0) (AT+GTFMODE=)"},
    {0x4021, "flight-mode", CommandKind::query, PayloadRule::none,
     "whether the module is in flight mode (AT+GTFMODE?)"},
    {0x4022, "gps-power-set", CommandKind::set, PayloadRule::required,
     "switch the GPS receiver on (1) or off (0) (AT+GTGPSPOWER=)"},
    {0x4023, "gps-power", CommandKind::query, PayloadRule::none,
     "whether the GPS receiver is on (AT+GTGPSPOWER?)"},
    {0x4024, "esim-config", CommandKind::query, PayloadRule::none,
     "eSIM configuration (AT+GTESIMCFG?)"},
    {0x4025, "esim-config-set", CommandKind::set, PayloadRule::required,
     "set the eSIM configuration (AT+GTESIMCFG=)"},
    {0x3004, "module-info", CommandKind::query, PayloadRule::none,
     "product information, the whole answer (ATI7)"},
    {0x4026, "registered-network", CommandKind::query, PayloadRule::none,
     "MCC and MNC of the network registered on (MBIM register state)"},
    {0x4027, "slot", CommandKind::query, PayloadRule::none,
     "SIM slot in use, 0 or 1 (MBIM device slot mappings)"},
    {0x4028, "slot-set", CommandKind::set, PayloadRule::required,
     "switch to SIM slot 0 or 1; answers the slot in use after the switch"},
});

constexpr const CommandName *find_command_name(std::string_view name) {
    for (const auto &row : command_names) {
        if (row.name == name)
            return &row;
    }
    return nullptr;
}

constexpr const CommandName *find_command_cid(int32_t cid) {
    for (const auto &row : command_names) {
        if (row.cid == cid)
            return &row;
    }
    return nullptr;
}

std::string_view command_kind_text(CommandKind kind);
std::string_view payload_rule_text(PayloadRule rule);

// --- the agreement with the MBIM helper's command table ----------------------------

// What a row of the MBIM helper's command table does with a request, as far as the
// names can be checked against it.
enum class DaemonRowKind {
    at_query,        // sends its AT text unchanged; the payload is not used
    at_set,          // sends its AT text followed by the payload
    mbim,            // an MBIM query or set
    fastboot_flash,  // the fastboot flash request
    unserved,        // always answered "ERROR" (default handler, no completion, no AT text)
};

struct DaemonRow {
    int32_t cid;
    DaemonRowKind kind;
};

enum class NamesProblem {
    none,
    duplicate_cid,          // two name rows, or two daemon rows, share a cid
    duplicate_name,         // two name rows share a name
    payload_rule_mismatch,  // a query without "none" or a set without "required"
    daemon_row_unnamed,     // a served daemon row that has no name
    kind_mismatch,          // the name's kind does not fit what the daemon row does
    name_without_row,       // a name that is neither local nor in the daemon's table
};

struct NamesCheck {
    NamesProblem problem = NamesProblem::none;
    int32_t cid = 0;
    constexpr bool ok() const { return problem == NamesProblem::none; }
};

std::string_view names_problem_text(NamesProblem problem);

constexpr bool kind_fits(CommandKind kind, DaemonRowKind daemon) {
    switch (daemon) {
        case DaemonRowKind::at_query:
            return kind == CommandKind::query;
        case DaemonRowKind::at_set:
            return kind == CommandKind::set;
        case DaemonRowKind::mbim:
            return kind == CommandKind::query || kind == CommandKind::set;
        case DaemonRowKind::fastboot_flash:
            return kind == CommandKind::flash;
        case DaemonRowKind::unserved:
            // Only what the D-Bus helper serves itself may stand on such a row.
            return kind == CommandKind::local || kind == CommandKind::flash;
    }
    return false;
}

// The first disagreement between the daemon's rows and the names, or none: every cid
// of the daemon is named unless the daemon never serves it, kinds fit (a set row is
// named `set`, a row that takes no payload is not), and every name that is not local
// has a daemon row.
constexpr NamesCheck check_command_names(std::span<const DaemonRow> daemon,
                                         std::span<const CommandName> names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        for (std::size_t j = i + 1; j < names.size(); ++j) {
            if (names[i].cid == names[j].cid)
                return {NamesProblem::duplicate_cid, names[j].cid};
            if (names[i].name == names[j].name)
                return {NamesProblem::duplicate_name, names[j].cid};
        }
        const CommandName &row = names[i];
        bool rule_fits = row.kind == CommandKind::query   ? row.payload == PayloadRule::none
                         : row.kind == CommandKind::set   ? row.payload == PayloadRule::required
                         : row.kind == CommandKind::flash ? row.payload == PayloadRule::required
                                                          : true;
        if (!rule_fits)
            return {NamesProblem::payload_rule_mismatch, row.cid};
    }
    for (std::size_t i = 0; i < daemon.size(); ++i) {
        for (std::size_t j = i + 1; j < daemon.size(); ++j) {
            if (daemon[i].cid == daemon[j].cid)
                return {NamesProblem::duplicate_cid, daemon[j].cid};
        }
        // An index, not a pointer: UndefinedBehaviorSanitizer makes a pointer test no
        // constant expression.
        std::size_t named = names.size();
        for (std::size_t k = 0; k < names.size(); ++k) {
            if (names[k].cid == daemon[i].cid)
                named = k;
        }
        if (named == names.size()) {
            if (daemon[i].kind != DaemonRowKind::unserved)
                return {NamesProblem::daemon_row_unnamed, daemon[i].cid};
            continue;
        }
        if (!kind_fits(names[named].kind, daemon[i].kind))
            return {NamesProblem::kind_mismatch, daemon[i].cid};
    }
    for (const auto &row : names) {
        if (row.kind == CommandKind::local)
            continue;
        bool found = false;
        for (const auto &d : daemon)
            found = found || d.cid == row.cid;
        if (!found)
            return {NamesProblem::name_without_row, row.cid};
    }
    return {};
}

// The names on their own: unique cids and names, payload rules that fit the kinds.
static_assert(check_command_names({}, command_names).problem != NamesProblem::duplicate_cid);
static_assert(check_command_names({}, command_names).problem != NamesProblem::duplicate_name);
static_assert(check_command_names({}, command_names).problem !=
              NamesProblem::payload_rule_mismatch);

}  // namespace quil
