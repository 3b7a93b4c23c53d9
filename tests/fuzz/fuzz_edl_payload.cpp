// SPDX-License-Identifier: GPL-2.0-or-later
// The EDL flash request's payload "ap:<dir>;md:<dir>": an accepted one gives two
// directory names that are not empty and hold no "..", NUL or control character, each
// taken from a field of its bounded size.
#include <algorithm>

#include "edl_payload.h"
#include "fuzz_support.h"

using quil_fuzz::require;

namespace {

bool clean_name(std::string_view name) {
    return !name.empty() && name.find("..") == std::string_view::npos &&
           std::none_of(name.begin(), name.end(), [](char c) {
               auto byte = static_cast<unsigned char>(c);
               return byte < 0x20 || byte == 0x7f;
           });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quil_fuzz::init_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::string_view payload = quil_fuzz::bytes_text(data, size);
    QdlPayload out{"untouched", "untouched"};
    if (qdl_payload_analysis(payload, &out) != 0) {
        require(out.ap == "untouched" && out.md == "untouched", "a refusal fills nothing");
        return 0;
    }
    require(!payload.empty() && payload.size() <= QDL_PAYLOAD_MAX,
            "an accepted payload has 1..63 bytes");
    require(clean_name(out.ap) && clean_name(out.md),
            "both names are non-empty, without \"..\" or control characters");
    require(out.ap.size() < QDL_AP_FIELD_MAX && out.md.size() < QDL_MD_FIELD_MAX,
            "each name fits its field");
    require(payload.find(out.ap) != std::string_view::npos &&
                payload.find(out.md) != std::string_view::npos,
            "both names come from the payload");
    return 0;
}
