// SPDX-License-Identifier: GPL-2.0-or-later
// The MBIM helper's request receiver (queue 0, type 1): any body goes to the request
// analyzer as the receiving thread hands it over, and every request must get exactly
// one response on queue 1, for the cid and service id it carried. The AT rows, the
// fastboot request and the default rows run up to the search for the module, which
// finds no tool here and answers "ERROR"; rows answered by the MBIM device wait for a
// device and are left out.
#include <atomic>
#include <cstring>

#include "command_table.h"
#include "fuzz_support.h"
#include "handlers.h"
#include "main_loop.h"

using quil_fuzz::require;

std::atomic<GMainLoop *> main_loop{nullptr};

namespace {
bool check_responses = false;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quil_fuzz::init_process();
    check_responses = quil_fuzz::init_private_queues();
    quil_mutex_keep_pointer_exist_lock();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    HelperMessage msg = quil_fuzz::message_from_bytes(data, size, HELPER_MSG_NORMAL);
    HelperRequest header = helper_message_header(msg);
    const CommandEntry *row = quil_find_command(header.cid);
    if (row != nullptr && row->handler == quil_parse_mbim_request)
        return -1;  // not added to the corpus

    // As the receiving thread does it.
    request_analyzer(msg);
    quil_mutex_keep_pointer_exist_unlock();
    quil_mutex_keep_pointer_exist_lock();

    if (!check_responses)
        return 0;
    std::optional<HelperMessage> response = quil_fuzz::take_response();
    require(response.has_value(), "every request gets a response");
    require(!quil_fuzz::take_response().has_value(), "every request gets only one response");
    HelperRequest answer = helper_message_header(*response);
    require(answer.serviceid == header.serviceid && answer.cid == header.cid,
            "the response carries the request's service id and cid");
    require(helper_message_len_valid(*response), "the response's len fits its body");
    require(answer.rtcode == 1 && helper_message_payload(*response) == "ERROR",
            "without a module every request is answered \"ERROR\"");
    return 0;
}
