// SPDX-License-Identifier: GPL-2.0-or-later
#include "flash_request.h"

#include <array>

namespace quilctl {

namespace {

struct Field {
    std::string_view key;
    std::string_view option;
};

// In the order in which the MBIM helper searches a field for them.
constexpr std::array<Field, 6> kFastbootFields = {{
    {"path", "--path"},
    {"ap", "--ap"},
    {"md", "--modem"},
    {"dev", "--dev"},
    {"oem", "--oem"},
    {"op", "--op"},
}};

bool value_fits(std::string_view option, std::string_view value, std::string *error) {
    if (value.empty()) {
        *error = std::string(option) + " needs a value";
        return false;
    }
    for (char c : value) {
        if (c == ';' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            *error = std::string(option) + " may not hold \";\" or control characters";
            return false;
        }
    }
    return true;
}

// The key the daemon finds first in the field's text, from keys in search order.
template <std::size_t N>
std::string_view classified_as(std::string_view field, const std::array<Field, N> &keys) {
    for (const auto &key : keys) {
        if (field.find(key.key) != std::string_view::npos)
            return key.key;
    }
    return {};
}

}  // namespace

std::optional<std::string> fastboot_payload(const FastbootFields &fields, std::string *error) {
    const std::array<const std::string *, 6> values = {&fields.path, &fields.ap,  &fields.modem,
                                                       &fields.dev,  &fields.oem, &fields.op};
    std::string payload;
    bool any_group = false;
    for (std::size_t i = 0; i < kFastbootFields.size(); ++i) {
        std::string value = *values[i];
        if (value.empty())
            continue;
        const Field &field = kFastbootFields[i];
        if (!value_fits(field.option, value, error))
            return std::nullopt;
        if (i == 0) {
            if (value.front() != '/') {
                *error = "--path must be an absolute directory";
                return std::nullopt;
            }
            if (value.back() != '/')
                value += '/';
        } else {
            any_group = true;
        }
        std::string text = std::string(field.key) + ":" + value;
        if (classified_as(text, kFastbootFields) != field.key) {
            *error = std::string(field.option) + " " + value +
                     " would be read as another field: its value holds \"" +
                     std::string(classified_as(text, kFastbootFields)) + "\"";
            return std::nullopt;
        }
        if (!payload.empty())
            payload += ';';
        payload += text;
    }
    if (!any_group) {
        *error = "name at least one of --ap, --modem, --dev, --oem, --op";
        return std::nullopt;
    }
    return payload;
}

std::optional<std::string> edl_payload(std::string_view ap, std::string_view modem,
                                       std::string *error) {
    constexpr std::array<Field, 2> kEdlFields = {{{"ap", "--ap"}, {"md", "--modem"}}};
    if (!value_fits("--ap", ap, error) || !value_fits("--modem", modem, error))
        return std::nullopt;
    std::string md_field = "md:" + std::string(modem);
    if (classified_as(md_field, kEdlFields) != "md") {
        *error = "--modem " + std::string(modem) +
                 " would be read as the AP field: its value holds \"ap\"";
        return std::nullopt;
    }
    return "ap:" + std::string(ap) + ";" + md_field;
}

}  // namespace quilctl
