// SPDX-License-Identifier: GPL-2.0-or-later
// The AT channel's answer road: the modem's bytes collected into the answer buffer read
// by read (as the exchange does), then the completion that cuts the result out by the
// cid's rule and sends the response (the answer-text completion, or the USB id one for
// 0x1008). Every completion must send exactly one response, and a result must come from
// the answer.
//
// Input: byte 0 picks the cid (a row of the cut table, 0x1008, or a cid without a row),
// byte 1 the size of each read (1..256), the rest is what the modem sends.
#include <algorithm>
#include <array>
#include <cstring>

#include "at_answer.h"
#include "command_table.h"
#include "fuzz_support.h"
#include "handlers.h"
#include "heap_block.h"
#include "main_loop.h"

using quil_fuzz::require;

std::atomic<GMainLoop *> main_loop{nullptr};

namespace {

constexpr int32_t kUsbIdCid = 0x1008;
constexpr int32_t kCidWithoutRow = 0x7777;
constexpr std::string_view kReadError = "Read Error";
bool check_responses = false;

int32_t pick_cid(uint8_t selector) {
    std::size_t choices = at_cut_table.size() + 2;
    std::size_t pick = selector % choices;
    if (pick < at_cut_table.size())
        return at_cut_table[pick].cid;
    return pick == at_cut_table.size() ? kUsbIdCid : kCidWithoutRow;
}

bool within(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quil_fuzz::init_process();
    check_responses = quil_fuzz::init_private_queues();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 2)
        return -1;
    int32_t cid = pick_cid(data[0]);
    std::size_t read_size = static_cast<std::size_t>(data[1]) + 1;
    std::string_view modem = quil_fuzz::bytes_text(data + 2, size - 2);

    // The exchange's collection loop.
    AtAnswerBuffer answer;
    while (!answer.full() && !modem.empty()) {
        std::size_t n = std::min({read_size, answer.room(), modem.size()});
        std::memcpy(answer.free_space(), modem.data(), n);
        modem.remove_prefix(n);
        answer.commit(static_cast<long>(n));
        require(answer.free_space()[0] == '\0', "the answer stays terminated");
        if (answer.has_final())
            break;
    }
    require(answer.filled() <= AT_ANSWER_SIZE - 1, "the answer never fills its last byte");
    std::string_view text = answer.filled() == 0 ? kReadError : answer.text();

    // Every rule cuts inside the answer.
    for (AtCutRule rule : {AtCutRule::quoted, AtCutRule::after_lf, AtCutRule::after_colon,
                           AtCutRule::after_blank, AtCutRule::second_line, AtCutRule::whole}) {
        std::optional<std::string_view> cut = quil_at_cut_out(rule, text);
        require(!cut || within(*cut, text), "a cut-out lies inside the answer");
    }

    // The answer record the exchange hands to the completion.
    auto record = quil::alloc_zeroed<HelperRequest>(sizeof(HelperRequest) + text.size() + 1);
    require(static_cast<bool>(record), "record allocated");
    constexpr int32_t kServiceId = 3;
    record->serviceid = kServiceId;
    record->cid = cid;
    record->len = static_cast<int32_t>(text.size());
    std::memcpy(request_record_payload(record.get()), text.data(), text.size());
    if (cid == kUsbIdCid)
        quillon_get_subsysid_ready(nullptr, nullptr, record.release());
    else
        quil_parse_send_atcmd_ready(nullptr, nullptr, record.release());

    if (!check_responses)
        return 0;
    std::optional<HelperMessage> response = quil_fuzz::take_response();
    require(response.has_value(), "every completion sends a response");
    require(!quil_fuzz::take_response().has_value(), "every completion sends only one response");
    HelperRequest header = helper_message_header(*response);
    require(header.serviceid == kServiceId && header.cid == cid,
            "the response carries the request's service id and cid");
    require(helper_message_len_valid(*response), "the response's len fits its body");
    std::string_view result = helper_message_payload(*response);
    if (cid != kUsbIdCid && header.rtcode == 0) {
        require(!result.empty() && text.find(result) != std::string_view::npos,
                "a result is a non-empty part of the answer");
        require(result.find("ERROR") == std::string_view::npos,
                "a result holding ERROR is answered with rtcode 1");
    }
    return 0;
}
