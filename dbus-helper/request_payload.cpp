// SPDX-License-Identifier: GPL-2.0-or-later
#include "request_payload.h"

#include <glib.h>

#include "helper_queue.h"

bool quil_request_len_valid(int32_t len, std::size_t payload_size) {
    return len >= 0 && len <= HELPER_MAX_PAYLOAD && static_cast<std::size_t>(len) <= payload_size;
}

std::string quil_reply_payload_text(std::string_view payload, bool *repaired) {
    std::string_view text = payload.substr(0, payload.find('\0'));
    auto size = static_cast<gssize>(text.size());
    if (g_utf8_validate(text.data(), size, nullptr)) {
        if (repaired != nullptr)
            *repaired = false;
        return std::string(text);
    }
    if (repaired != nullptr)
        *repaired = true;
    gchar *valid = g_utf8_make_valid(text.data(), size);
    std::string out(valid);
    g_free(valid);
    return out;
}
