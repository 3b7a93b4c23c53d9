// SPDX-License-Identifier: GPL-2.0-or-later
// The payloads of the two flash requests, built from quilctl's options in the syntax
// the daemons parse: "path:DIR/;ap:A;md:M;dev:D;oem:O;op:P" (fastboot, 0x100a) and
// "ap:A;md:M" (EDL, 0x2004).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quilctl {

struct FastbootFields {
    std::string path;  // package directory; empty: the daemon's default
    std::string ap;
    std::string modem;
    std::string dev;
    std::string oem;
    std::string op;
};

// The payload, or nullopt with *error telling which option is wrong: no image group,
// a path that is not absolute, an empty value, a ";" or a control character, or a
// value that the daemon would read as another field (it classifies a field by the
// first of "path", "ap", "md", "dev", "oem", "op" found anywhere in it). A path
// without its closing "/" gets one.
std::optional<std::string> fastboot_payload(const FastbootFields &fields, std::string *error);

// The EDL payload; the daemon takes a field holding "ap" as the AP field.
std::optional<std::string> edl_payload(std::string_view ap, std::string_view modem,
                                       std::string *error);

}  // namespace quilctl
