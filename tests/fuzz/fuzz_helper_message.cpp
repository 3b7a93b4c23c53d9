// SPDX-License-Identifier: GPL-2.0-or-later
// The record views of a received queue body (header, len check, payload) and the
// filling of a record from a payload, over any bytes a local sender could put on a
// queue.
#include <algorithm>
#include <cstring>

#include "fuzz_support.h"
#include "log.h"

using quil_fuzz::require;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quil_fuzz::init_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    HelperMessage msg = quil_fuzz::message_from_bytes(data, size, HELPER_MSG_NORMAL);
    HelperRequest header = helper_message_header(msg);
    bool valid = helper_message_len_valid(msg);
    std::string_view payload = helper_message_payload(msg);

    require(valid == (header.len >= 0 && header.len <= HELPER_MAX_PAYLOAD),
            "len is valid exactly for 0..2023");
    if (valid) {
        require(payload.data() == msg.body.data() + HELPER_HEADER_SIZE &&
                    payload.size() == static_cast<std::size_t>(header.len),
                "a valid len gives its len bytes after the header");
    } else {
        require(payload.empty(), "an invalid len gives no payload");
    }
    // The payload and its terminator lie inside the body.
    require(HELPER_HEADER_SIZE + payload.size() + 1 <= HELPER_BODY_SIZE,
            "payload and terminator fit the body");

    // What a log line makes of the payload stays one line.
    std::string printable = quil_printable(payload);
    require(std::none_of(printable.begin(), printable.end(),
                         [](char c) {
                             auto byte = static_cast<unsigned char>(c);
                             return byte < 0x20 || byte == 0x7f;
                         }),
            "printable text has no control character");

    // Filling a record from the whole input keeps at most 2023 bytes and terminates them.
    std::string_view input = quil_fuzz::bytes_text(data, size);
    HelperMessage filled{};
    std::memset(&filled, 0xa5, sizeof(filled));
    int32_t kept = helper_message_fill(filled, HELPER_MSG_CONTROL, header.serviceid, header.cid,
                                       header.rtcode, input);
    require(kept == static_cast<int32_t>(
                        std::min<std::size_t>(size, static_cast<std::size_t>(HELPER_MAX_PAYLOAD))),
            "fill keeps min(size, 2023) bytes");
    HelperRequest back = helper_message_header(filled);
    require(back.serviceid == header.serviceid && back.cid == header.cid &&
                back.rtcode == header.rtcode && back.len == kept &&
                filled.mtype == HELPER_MSG_CONTROL,
            "fill stores the header it was given");
    require(helper_message_payload(filled) == input.substr(0, static_cast<std::size_t>(kept)),
            "fill stores the payload's first bytes");
    require(filled.body[HELPER_HEADER_SIZE + static_cast<std::size_t>(kept)] == '\0',
            "fill terminates the payload");
    return 0;
}
