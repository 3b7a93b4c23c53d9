// SPDX-License-Identifier: GPL-2.0-or-later
// The pure rules of a fastboot flash: parsing the request's payload into
// payload_analysis, refusing values that could lead anywhere but into the package, and
// planning the steps (partition, image, percentage, when the dialog sees it, the pause).
// Nothing here touches a tool, a queue or the log, so every rule can be tested alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The payload is at most 511 bytes; a field text at most 63 characters, a flash path
// field at most 255.
inline constexpr std::size_t FASTBOOT_PAYLOAD_MAX = 511;
inline constexpr std::size_t FASTBOOT_FIELD_MAX = 63;
inline constexpr std::size_t FASTBOOT_PATH_FIELD_MAX = 255;

inline constexpr std::string_view FASTBOOT_DEFAULT_FLASHPATH =
    "/opt/quillon/quil_fw_pkg/FwPackage/";

// The kinds of field, in the order in which a field's text is searched for them.
enum class PayloadField : std::size_t { flashpath, ap, modem, dev, oem, op };
inline constexpr std::size_t PAYLOAD_FIELD_KINDS = 6;

// The parsed request of one flash.
struct payload_analysis {
    std::string flashpath{FASTBOOT_DEFAULT_FLASHPATH};
    std::string ap_ver;
    std::string modem_ver;
    std::string dev_ver;
    std::string oem_ver;
    std::string op_ver;
    std::string dev_ver_path;
    std::string oem_ver_path;
    std::string op_ver_path;
    // How many fields of each kind the payload held, indexed by PayloadField; a group
    // is flashed when its count is not 0.
    std::array<int32_t, PAYLOAD_FIELD_KINDS> counts{};
    // 1 when dev_ver contains "default": the device pack then comes from dev_ver_path.
    int32_t default_devpack = 0;
    // Fields that named nothing known and were skipped.
    std::vector<std::string> unmatched_fields;

    int32_t count(PayloadField field) const { return counts[static_cast<std::size_t>(field)]; }
};

// Why a payload cannot be flashed; anything but ok takes the mismatch path (the module
// is rebooted, nothing is flashed).
enum class PayloadVerdict {
    ok,
    no_group,            // no field at all, or none naming an image group
    payload_too_long,    // more than 511 bytes
    field_too_long,      // a field text over 63 characters (flash path over 255)
    illegal_character,   // NUL or another control character in the payload
    parent_reference,    // ".." in a value
    empty_value,         // a value that is empty (or a default device pack naming nothing)
    path_not_absolute,   // a flash path that does not start with "/"
    path_not_directory,  // a flash path that does not end with "/"
};

// A short text for the log line that says why a payload was refused.
const char *quil_payload_verdict_text(PayloadVerdict verdict);

// Parses the payload into `analysis` (which starts from its defaults). A field is
// classified by the first of "path", "ap", "md", "dev", "oem", "op" found anywhere in
// its text; a field that occurs twice counts twice and its later value wins.
PayloadVerdict quil_program_payload_analysis(std::string_view payload, payload_analysis &analysis);

// When a step's percentage line reaches the dialog, and when the pause follows it.
enum class StepFlush {
    after_success,  // flushed after the command, only when fastboot ended with status 0
    before,         // flushed before the command
};
enum class StepPause {
    after_success,  // 1 second, only when fastboot ended with status 0
    always,         // 1 second whatever the outcome
};

struct FastbootStep {
    std::string partition;
    std::string image_path;
    int percentage;
    StepFlush flush;
    StepPause pause;
};

// The steps of a flash in their order: the AP group's five, then the modem, the device,
// OEM and operator packs, each only when its group is named. Step k (from 1) shows
// k * (99 / N). Empty when no group is named.
std::vector<FastbootStep> quil_fastboot_plan_steps(const payload_analysis &analysis);
