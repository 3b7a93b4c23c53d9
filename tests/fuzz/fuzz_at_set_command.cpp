// SPDX-License-Identifier: GPL-2.0-or-later
// Composition of an AT set command from a client's payload: the pure rule, then the
// set handler of the command table with the payload laid out as a received body holds
// it (len bytes and a NUL). An accepted command is the row text followed by the
// payload, at most 127 characters, and the payload can neither end the command line
// nor start a further command. The handler answers every request exactly once.
//
// Input: byte 0 picks the set row (or a row text of the input's choosing: byte 1 gives
// its length), the rest is the payload.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "at_answer.h"
#include "command_table.h"
#include "fuzz_support.h"
#include "handlers.h"
#include "main_loop.h"

using quil_fuzz::require;

std::atomic<GMainLoop *> main_loop{nullptr};

namespace {

constexpr std::array<int32_t, 13> kSetCids = {0x4001, 0x4003, 0x4005, 0x4007, 0x4011,
                                              0x4013, 0x4014, 0x401a, 0x4017, 0x4020,
                                              0x4022, 0x4025, 0x4006};
bool check_responses = false;

// True when the payload, as a modem reads the command line, supplies arguments only.
bool arguments_only(std::string_view payload) {
    bool quoted = false;
    for (char c : payload) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            return false;
        if (c == '"')
            quoted = !quoted;
        else if (c == ';' && !quoted)
            return false;
    }
    return !quoted;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quil_fuzz::init_process();
    check_responses = quil_fuzz::init_private_queues();
    quil_mutex_keep_pointer_exist_lock();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 2)
        return -1;
    std::string_view rest = quil_fuzz::bytes_text(data + 2, size - 2);
    std::size_t pick = data[0] % (kSetCids.size() + 1);
    int32_t cid = 0x4020;
    std::string row_text;
    if (pick < kSetCids.size()) {
        cid = kSetCids[pick];
        const CommandEntry *row = quil_find_command(cid);
        require(row != nullptr, "every set cid has a row");
        row_text = row->at_command;
    } else {
        std::size_t n = std::min<std::size_t>(data[1], rest.size());
        row_text.assign(rest.substr(0, n));
        rest.remove_prefix(n);
    }
    std::string_view payload = rest;

    // The pure rule, into an output larger than a command may be.
    std::array<char, 2 * AT_SET_COMMAND_SIZE> out{};
    out.fill('#');
    SetCommandStatus status =
        quil_at_compose_set_command(row_text, payload, out.data(), AT_SET_COMMAND_SIZE);
    if (status == SetCommandStatus::ok) {
        require(arguments_only(payload), "an accepted payload supplies arguments only");
        require(row_text.size() + payload.size() <= AT_SET_COMMAND_MAX,
                "an accepted command has at most 127 characters");
        require(std::string_view(out.data(), row_text.size() + payload.size()) ==
                        row_text + std::string(payload) &&
                    out[row_text.size() + payload.size()] == '\0',
                "an accepted command is row text and payload, terminated");
    } else {
        require(out[0] == '#', "a refused command writes nothing");
        if (status == SetCommandStatus::too_long)
            require(row_text.size() + payload.size() > AT_SET_COMMAND_MAX,
                    "too long only past 127 characters");
        else
            require(!arguments_only(payload), "refused characters only when they are");
    }
    // Past the command buffer nothing is touched.
    for (std::size_t i = AT_SET_COMMAND_SIZE; i < out.size(); ++i)
        require(out[i] == '#', "nothing is written past the command buffer");

    // The handler, with the payload as a body holds it: len bytes and a NUL.
    if (pick == kSetCids.size())
        return 0;
    std::size_t len = std::min(payload.size(), static_cast<std::size_t>(HELPER_MAX_PAYLOAD));
    std::vector<char> body(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(len));
    body.push_back('\0');
    const CommandEntry *row = quil_find_command(cid);
    constexpr int32_t kServiceId = 2;
    if (row->handler(kServiceId, cid, 0, static_cast<int32_t>(len), body.data(), row->ready,
                     row->at_command) != 0)
        quil_resp_error_result(kServiceId, cid, 0, 0, "", nullptr, "");  // as the analyzer does
    quil_mutex_keep_pointer_exist_unlock();
    quil_mutex_keep_pointer_exist_lock();
    if (!check_responses)
        return 0;
    std::optional<HelperMessage> response = quil_fuzz::take_response();
    require(response.has_value(), "every set request gets a response");
    require(!quil_fuzz::take_response().has_value(), "every set request gets only one response");
    HelperRequest header = helper_message_header(*response);
    require(header.serviceid == kServiceId && header.cid == cid,
            "the response carries the request's service id and cid");
    return 0;
}
