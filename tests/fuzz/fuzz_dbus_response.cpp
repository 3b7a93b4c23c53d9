// SPDX-License-Identifier: GPL-2.0-or-later
// A response body from queue 1 as the D-Bus helper turns it into the text of a D-Bus
// reply: the payload view, then the repair to a D-Bus string (up to the first NUL,
// valid UTF-8). Also the len check of a sendMesg request against its payload text.
#include <glib.h>

#include "fuzz_support.h"
#include "request_payload.h"

using quil_fuzz::require;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quil_fuzz::init_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    HelperMessage msg = quil_fuzz::message_from_bytes(data, size, HELPER_MSG_NORMAL);
    std::string_view payload = helper_message_payload(msg);
    bool repaired = true;
    std::string text = quil_reply_payload_text(payload, &repaired);

    require(text.find('\0') == std::string::npos, "reply text has no NUL");
    require(g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) != FALSE,
            "reply text is UTF-8");
    std::string_view before_nul = payload.substr(0, payload.find('\0'));
    if (!repaired)
        require(text == before_nul, "an unrepaired reply is the payload up to its first NUL");
    // It must go into a GVariant string without complaint (criticals are fatal here).
    GVariant *variant = g_variant_ref_sink(g_variant_new_string(text.c_str()));
    g_variant_unref(variant);

    // The request side: a len is honoured only when it fits both the body and the text.
    HelperRequest header = helper_message_header(msg);
    bool len_ok = quil_request_len_valid(header.len, before_nul.size());
    require(len_ok == (header.len >= 0 && header.len <= HELPER_MAX_PAYLOAD &&
                       static_cast<std::size_t>(header.len) <= before_nul.size()),
            "sendMesg len valid for 0..min(2023, text size)");
    return 0;
}
