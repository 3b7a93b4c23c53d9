// SPDX-License-Identifier: GPL-2.0-or-later
// The EDL flash request payload: "ap:<dir>;md:<dir>", the AP and the modem image
// directories of the firmware package.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Bounds of the payload and of its two fields (key, colon and value together).
inline constexpr std::size_t QDL_PAYLOAD_MAX = 63;
inline constexpr std::size_t QDL_AP_FIELD_MAX = 7;
inline constexpr std::size_t QDL_MD_FIELD_MAX = 31;

// The two directory names the payload asked for, relative to the package directory.
struct QdlPayload {
    std::string ap;
    std::string md;
};

// Splits the payload at ";": a field holding "ap" is the AP field, else one holding
// "md" is the modem field, a later field of a kind replaces an earlier one, and every
// other field is ignored. Each value is the text after the field's first ":".
//
// Both values end up in paths of a flash run by root, so a payload is refused (-1, one
// log line) when it is empty or longer than 63 bytes, when a field is missing or too
// long, or when a value is empty or holds "..", a NUL or a control character. 0 and
// *out filled otherwise.
int qdl_payload_analysis(std::string_view payload, QdlPayload *out);
