// SPDX-License-Identifier: GPL-2.0-or-later
#include "fastboot_payload.h"

#include <algorithm>

namespace {

// Searched for in a field's text in this order; the first found decides.
struct FieldKey {
    std::string_view needle;
    PayloadField field;
};
constexpr std::array<FieldKey, PAYLOAD_FIELD_KINDS> field_keys{{
    {"path", PayloadField::flashpath},
    {"ap", PayloadField::ap},
    {"md", PayloadField::modem},
    {"dev", PayloadField::dev},
    {"oem", PayloadField::oem},
    {"op", PayloadField::op},
}};

struct ApPartition {
    std::string_view partition;
    std::string_view image;
};
constexpr std::array<ApPartition, 4> fastboot_ap_partitions{{
    {"aboot", "appsboot.mbn"},
    {"boot", "sdxnightjar-boot.img"},
    {"system", "sdxnightjar-sysfs.ubi"},
    {"userdata", "sdxnightjar-usrfs.ubi"},
}};

constexpr std::string_view kSblDirectory = "basic_update_img";
constexpr std::string_view kSblImage = "sbl1.mbn";
constexpr std::string_view kModemImage = "NON-HLOS.ubi";
constexpr std::string_view kDevpackImage = "devicepack.ubi";
constexpr std::string_view kDevpackDirectory = "DEV_OTA_PACKAGE";
constexpr std::string_view kOempackImage = "oempack.ubi";
constexpr std::string_view kOppackImage = "operatorpack.ubi";
constexpr std::string_view kOemPrefix = "OEM_OTA_";
constexpr std::string_view kOpPrefix = "OP_OTA_";
constexpr int kPercentTotal = 99;

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

bool is_control(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

const FieldKey *classify(std::string_view field) {
    for (const auto &key : field_keys) {
        if (contains(field, key.needle))
            return &key;
    }
    return nullptr;
}

std::string *value_slot(payload_analysis &analysis, PayloadField field) {
    switch (field) {
        case PayloadField::flashpath:
            return &analysis.flashpath;
        case PayloadField::ap:
            return &analysis.ap_ver;
        case PayloadField::modem:
            return &analysis.modem_ver;
        case PayloadField::dev:
            return &analysis.dev_ver;
        case PayloadField::oem:
            return &analysis.oem_ver;
        case PayloadField::op:
            return &analysis.op_ver;
    }
    return nullptr;
}

// Checks one classified field and gives its value (the text after its first ":").
PayloadVerdict field_value(std::string_view field, PayloadField kind, std::string_view &value) {
    std::size_t limit =
        kind == PayloadField::flashpath ? FASTBOOT_PATH_FIELD_MAX : FASTBOOT_FIELD_MAX;
    if (field.size() > limit)
        return PayloadVerdict::field_too_long;
    std::size_t colon = field.find(':');
    if (colon == std::string_view::npos || colon + 1 == field.size())
        return PayloadVerdict::empty_value;
    value = field.substr(colon + 1);
    if (contains(value, ".."))
        return PayloadVerdict::parent_reference;
    if (kind == PayloadField::flashpath) {
        // Directory names are appended to it directly.
        if (value.front() != '/')
            return PayloadVerdict::path_not_absolute;
        if (value.back() != '/')
            return PayloadVerdict::path_not_directory;
    }
    return PayloadVerdict::ok;
}

std::string join(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts)
        text.append(part);
    return text;
}

}  // namespace

const char *quil_payload_verdict_text(PayloadVerdict verdict) {
    switch (verdict) {
        case PayloadVerdict::ok:
            return "ok";
        case PayloadVerdict::no_group:
            return "no image group named";
        case PayloadVerdict::payload_too_long:
            return "payload longer than 511 bytes";
        case PayloadVerdict::field_too_long:
            return "field too long";
        case PayloadVerdict::illegal_character:
            return "NUL or control character";
        case PayloadVerdict::parent_reference:
            return "\"..\" in a value";
        case PayloadVerdict::empty_value:
            return "empty value";
        case PayloadVerdict::path_not_absolute:
            return "flash path not absolute";
        case PayloadVerdict::path_not_directory:
            return "flash path not ending in \"/\"";
    }
    return "?";
}

PayloadVerdict quil_program_payload_analysis(std::string_view payload, payload_analysis &analysis) {
    if (payload.size() > FASTBOOT_PAYLOAD_MAX)
        return PayloadVerdict::payload_too_long;
    if (std::any_of(payload.begin(), payload.end(), is_control))
        return PayloadVerdict::illegal_character;

    std::size_t start = 0;
    while (start <= payload.size()) {
        std::size_t end = payload.find(';', start);
        if (end == std::string_view::npos)
            end = payload.size();
        std::string_view field = payload.substr(start, end - start);
        start = end + 1;
        if (field.empty())
            continue;
        const FieldKey *key = classify(field);
        if (key == nullptr) {
            analysis.unmatched_fields.emplace_back(field);
            continue;
        }
        std::string_view value;
        PayloadVerdict verdict = field_value(field, key->field, value);
        if (verdict != PayloadVerdict::ok)
            return verdict;
        *value_slot(analysis, key->field) = std::string(value);
        ++analysis.counts[static_cast<std::size_t>(key->field)];
    }

    bool any_group = false;
    for (std::size_t i = static_cast<std::size_t>(PayloadField::ap); i < PAYLOAD_FIELD_KINDS; ++i)
        any_group = any_group || analysis.counts[i] != 0;
    if (!any_group)
        return PayloadVerdict::no_group;

    if (contains(analysis.dev_ver, "default")) {
        std::size_t underscore = analysis.dev_ver.find('_');
        if (underscore == std::string::npos || underscore + 1 == analysis.dev_ver.size())
            return PayloadVerdict::empty_value;
        analysis.dev_ver_path =
            join({kOemPrefix, std::string_view(analysis.dev_ver).substr(underscore + 1)});
        analysis.default_devpack = 1;
    } else {
        analysis.dev_ver_path = analysis.dev_ver;
        analysis.default_devpack = 0;
    }
    analysis.oem_ver_path = join({kOemPrefix, analysis.oem_ver});
    analysis.op_ver_path = join({kOpPrefix, analysis.op_ver});
    return PayloadVerdict::ok;
}

std::vector<FastbootStep> quil_fastboot_plan_steps(const payload_analysis &analysis) {
    const std::string &root = analysis.flashpath;
    std::vector<FastbootStep> steps;
    if (analysis.count(PayloadField::ap) != 0) {
        for (const auto &row : fastboot_ap_partitions)
            steps.push_back({std::string(row.partition),
                             join({root, analysis.ap_ver, "/", row.image}), 0,
                             StepFlush::after_success, StepPause::after_success});
        steps.push_back({"sbl", join({root, kSblDirectory, "/", kSblImage}), 0,
                         StepFlush::after_success, StepPause::after_success});
    }
    if (analysis.count(PayloadField::modem) != 0)
        steps.push_back({"modem", join({root, analysis.modem_ver, "/", kModemImage}), 0,
                         StepFlush::before, StepPause::after_success});
    if (analysis.count(PayloadField::dev) != 0) {
        std::string image =
            analysis.default_devpack != 0
                ? join({root, analysis.dev_ver_path, "/", kDevpackImage})
                : join({root, kDevpackDirectory, "/", analysis.dev_ver, "/", kDevpackImage});
        steps.push_back({"devicepack", std::move(image), 0, StepFlush::before, StepPause::always});
    }
    if (analysis.count(PayloadField::oem) != 0)
        steps.push_back({"oempack", join({root, analysis.oem_ver_path, "/", kOempackImage}), 0,
                         StepFlush::before, StepPause::always});
    if (analysis.count(PayloadField::op) != 0)
        steps.push_back({"operatorpack", join({root, analysis.op_ver_path, "/", kOppackImage}), 0,
                         StepFlush::before, StepPause::always});

    if (steps.empty())
        return steps;
    int increment = kPercentTotal / static_cast<int>(steps.size());
    for (std::size_t k = 0; k < steps.size(); ++k)
        steps[k].percentage = static_cast<int>(k + 1) * increment;
    return steps;
}
