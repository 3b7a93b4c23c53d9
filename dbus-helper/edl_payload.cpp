// SPDX-License-Identifier: GPL-2.0-or-later
#include "edl_payload.h"

#include "log.h"

namespace {

// Why a value cannot name a directory of the package; nullptr when it can.
const char *value_refusal(std::string_view value) {
    if (value.empty())
        return "empty";
    if (value.find("..") != std::string_view::npos)
        return "holds \"..\"";
    for (char c : value) {
        auto byte = static_cast<unsigned char>(c);
        if (byte == '\0')
            return "holds a NUL";
        if (byte < 0x20 || byte == 0x7f)
            return "holds a control character";
    }
    return nullptr;
}

// The text after the field's first ":", empty when it has none.
std::string_view field_value(std::string_view field) {
    std::size_t colon = field.find(':');
    return colon == std::string_view::npos ? std::string_view() : field.substr(colon + 1);
}

}  // namespace

int qdl_payload_analysis(std::string_view payload, QdlPayload *out) {
    if (payload.empty()) {
        QLOG_CRIT("payload == NULL");
        return -1;
    }
    if (payload.size() > QDL_PAYLOAD_MAX) {
        QLOG_ERR("payload of %zu bytes is longer than %zu, refused", payload.size(),
                 QDL_PAYLOAD_MAX);
        return -1;
    }
    std::string_view ap_field;
    std::string_view md_field;
    bool have_ap = false;
    bool have_md = false;
    std::string_view rest = payload;
    for (;;) {
        std::size_t end = rest.find(';');
        std::string_view field = rest.substr(0, end);
        if (field.find("ap") != std::string_view::npos) {
            if (field.size() > QDL_AP_FIELD_MAX) {
                QLOG_ERR("ap field of %zu characters is longer than %zu, refused", field.size(),
                         QDL_AP_FIELD_MAX);
                return -1;
            }
            ap_field = field;
            have_ap = true;
        } else if (field.find("md") != std::string_view::npos) {
            if (field.size() > QDL_MD_FIELD_MAX) {
                QLOG_ERR("md field of %zu characters is longer than %zu, refused", field.size(),
                         QDL_MD_FIELD_MAX);
                return -1;
            }
            md_field = field;
            have_md = true;
        }
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    if (!have_ap || !have_md) {
        QLOG_ERR("payload names no %s field, refused", have_ap ? "md" : "ap");
        return -1;
    }
    std::string_view ap = field_value(ap_field);
    std::string_view md = field_value(md_field);
    if (const char *why = value_refusal(ap); why != nullptr) {
        QLOG_ERR("ap value %s, refused", why);
        return -1;
    }
    if (const char *why = value_refusal(md); why != nullptr) {
        QLOG_ERR("md value %s, refused", why);
        return -1;
    }
    out->ap.assign(ap);
    out->md.assign(md);
    return 0;
}
