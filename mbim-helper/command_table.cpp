// SPDX-License-Identifier: GPL-2.0-or-later
#include "command_table.h"

#include <cstring>

#include "command_names.h"
#include "handlers.h"
#include "log.h"

namespace {

// The handler of a row, named rather than pointed to, so that the check against the
// command names below can tell the rows apart at compile time (comparing the addresses
// of two functions is no constant expression under UndefinedBehaviorSanitizer).
enum class Handler { at_query, at_set, mbim, fastboot_request, default_answer };
constexpr Handler AT_QUERY = Handler::at_query;
constexpr Handler AT_SET = Handler::at_set;
constexpr Handler MBIM = Handler::mbim;
constexpr Handler DEFAULT = Handler::default_answer;
constexpr Handler FASTBOOT_REQUEST = Handler::fastboot_request;

constexpr HandlerFn handler_function(Handler handler) {
    switch (handler) {
        case Handler::at_query:
            return quil_parse_send_req_atcmd;
        case Handler::at_set:
            return quil_parse_send_set_atcmd;
        case Handler::mbim:
            return quil_parse_mbim_request;
        case Handler::fastboot_request:
            return quillon_fastboot_flash_request;
        case Handler::default_answer:
            break;
    }
    return quil_resp_error_result;
}

// The completion of a row, named for the same reason.
enum class Ready { none, answer_text, usb_id, local_mccmnc, network_mccmnc, work_slot, fastboot };
constexpr Ready NO_READY = Ready::none;
constexpr Ready ANSWER_TEXT = Ready::answer_text;
constexpr Ready USB_ID = Ready::usb_id;
constexpr Ready LOCAL_MCCMNC = Ready::local_mccmnc;
constexpr Ready NETWORK_MCCMNC = Ready::network_mccmnc;
constexpr Ready WORK_SLOT = Ready::work_slot;
constexpr Ready FASTBOOT_READY = Ready::fastboot;

constexpr ReadyFn ready_function(Ready ready) {
    switch (ready) {
        case Ready::answer_text:
            return quil_parse_send_atcmd_ready;
        case Ready::usb_id:
            return quillon_get_subsysid_ready;
        case Ready::local_mccmnc:
            return quil_helperm_get_local_mccmnc_ready;
        case Ready::network_mccmnc:
            return quil_helperm_get_network_mccmnc_ready;
        case Ready::work_slot:
            return quil_helperm_get_work_slot_id_ready;
        case Ready::fastboot:
            return quillon_fastboot_flash_ready;
        case Ready::none:
            break;
    }
    return nullptr;
}

// A row as written below; the table the dispatcher reads is made from these.
struct CommandRow {
    int32_t cid;
    Handler handler;
    Ready ready;
    const char *at_command;
};

// Sized by its rows: a spare zero row would match cid 0 with no handler.
constexpr auto command_rows = std::to_array<CommandRow>({
    {0x0100, AT_QUERY, ANSWER_TEXT, "AT+CFUN=15"},
    {0x0001, DEFAULT, NO_READY, ""},
    {0x0002, DEFAULT, NO_READY, ""},
    {0x0004, DEFAULT, NO_READY, ""},
    {0x0010, DEFAULT, NO_READY, ""},
    {0x0012, DEFAULT, NO_READY, ""},
    {0x0014, DEFAULT, NO_READY, ""},
    {0x0016, DEFAULT, NO_READY, ""},
    {0x0018, DEFAULT, NO_READY, ""},
    {0x0019, DEFAULT, NO_READY, ""},
    {0x1001, AT_QUERY, ANSWER_TEXT, "AT+GTSAPFWVER?"},
    {0x1002, AT_QUERY, ANSWER_TEXT, "AT+CGMR"},
    {0x1003, AT_QUERY, ANSWER_TEXT, "AT+GTCUSTPACKVER?"},
    {0x1004, AT_QUERY, ANSWER_TEXT, "AT+GTCFGELEMVER?"},
    {0x1005, AT_QUERY, ANSWER_TEXT, "AT+GTDEVPACKVER?"},
    {0x1006, AT_QUERY, ANSWER_TEXT, "AT+CGSN"},
    {0x1007, MBIM, LOCAL_MCCMNC, ""},
    {0x1008, AT_QUERY, USB_ID, "AT"},
    {0x1009, AT_QUERY, NO_READY, ""},
    // Refused while a fastboot flash runs; otherwise sent as an AT query.
    {0x100a, FASTBOOT_REQUEST, FASTBOOT_READY, "at+syscmd=sys_reboot bootloader"},
    {0x2001, DEFAULT, NO_READY, "AT"},
    {0x2002, AT_QUERY, ANSWER_TEXT, "AT+GTOEMUSBID?"},
    {0x2003, DEFAULT, NO_READY, ""},
    {0x2004, DEFAULT, NO_READY, "at+syscmd=sys_reboot edl"},
    {0x4001, AT_SET, ANSWER_TEXT, "AT+BODYSAREN="},
    {0x4002, AT_QUERY, ANSWER_TEXT, "AT+BODYSAREN?"},
    {0x4004, AT_QUERY, ANSWER_TEXT, "AT+BODYSARMODE?"},
    {0x4003, AT_SET, ANSWER_TEXT, "AT+BODYSARMODE="},
    {0x4005, AT_SET, ANSWER_TEXT, "AT+BODYSARON=1,"},
    {0x4006, DEFAULT, NO_READY, "AT+BODYSARCFG="},
    {0x4007, AT_SET, ANSWER_TEXT, "AT+BODYSARVER="},
    {0x4008, AT_QUERY, ANSWER_TEXT, "AT+BODYSARVER?"},
    {0x4011, AT_SET, ANSWER_TEXT, "AT+GTANTTUNINGEN="},
    {0x4012, AT_QUERY, ANSWER_TEXT, "AT+GTANTTUNINGEN?"},
    {0x4013, AT_SET, ANSWER_TEXT, "AT+GTANTCTRLMODE="},
    {0x4015, AT_QUERY, ANSWER_TEXT, "AT+GTANTCTRLMODE?"},
    {0x4014, AT_SET, ANSWER_TEXT, "AT+GTANTTUNEMODE="},
    {0x4016, AT_QUERY, ANSWER_TEXT, "AT+GTANTTUNEMODE?"},
    {0x401a, AT_SET, ANSWER_TEXT, "AT+GTANTVER="},
    {0x401b, AT_QUERY, ANSWER_TEXT, "AT+GTANTVER?"},
    {0x4017, AT_SET, ANSWER_TEXT, "AT+GTANTPROFILE="},
    {0x401e, AT_QUERY, ANSWER_TEXT, ""},
    {0x4020, AT_SET, ANSWER_TEXT, "AT+GTFMODE="},
    {0x4021, AT_QUERY, ANSWER_TEXT, "AT+GTFMODE?"},
    {0x4022, AT_SET, ANSWER_TEXT, "AT+GTGPSPOWER="},
    {0x4023, AT_QUERY, ANSWER_TEXT, "AT+GTGPSPOWER?"},
    {0x4024, AT_QUERY, ANSWER_TEXT, "AT+GTESIMCFG?"},
    {0x4025, AT_SET, ANSWER_TEXT, "AT+GTESIMCFG="},
    {0x3004, AT_QUERY, ANSWER_TEXT, "ATI7"},
    {0x4026, MBIM, NETWORK_MCCMNC, ""},
    {0x4027, MBIM, WORK_SLOT, ""},
    {0x4028, MBIM, WORK_SLOT, ""},
    {0x4029, DEFAULT, NO_READY, ""},
});
static_assert(command_rows.size() == 53);

constexpr auto command_table = [] {
    std::array<CommandEntry, command_rows.size()> table{};
    for (std::size_t i = 0; i < command_rows.size(); ++i) {
        const CommandRow &row = command_rows[i];
        table[i] = {row.cid, handler_function(row.handler), ready_function(row.ready),
                    row.at_command};
    }
    return table;
}();

// What each row does with a request, for the check against the command names.
constexpr quil::DaemonRowKind daemon_row_kind(const CommandRow &row) {
    if (row.handler == DEFAULT)
        return quil::DaemonRowKind::unserved;
    if (row.handler == FASTBOOT_REQUEST)
        return quil::DaemonRowKind::fastboot_flash;
    if (row.handler == MBIM)
        return quil::DaemonRowKind::mbim;
    // The AT handlers refuse a row without a completion or without a command text.
    if (row.ready == NO_READY || row.at_command[0] == '\0')
        return quil::DaemonRowKind::unserved;
    return row.handler == AT_SET ? quil::DaemonRowKind::at_set : quil::DaemonRowKind::at_query;
}

constexpr quil::NamesCheck check_names_against_command_table() {
    std::array<quil::DaemonRow, command_rows.size()> rows{};
    for (std::size_t i = 0; i < command_rows.size(); ++i)
        rows[i] = {command_rows[i].cid, daemon_row_kind(command_rows[i])};
    return quil::check_command_names(rows, quil::command_names);
}
static_assert(check_names_against_command_table().ok(),
              "core/command_names.h disagrees with the command table: every served cid "
              "needs a name of a fitting kind, every name that is not local a row");

// A two-state lock that any thread may give back; giving back a free lock leaves it
// free.
class KeepPointerLock {
  public:
    void lock() {
        GMutexLocker guard(&mutex_);
        while (taken_)
            g_cond_wait(&cond_, &mutex_);
        taken_ = true;
    }
    void unlock() {
        GMutexLocker guard(&mutex_);
        taken_ = false;
        g_cond_signal(&cond_);
    }

  private:
    struct GMutexLocker {
        explicit GMutexLocker(GMutex *m) : m_(m) { g_mutex_lock(m_); }
        ~GMutexLocker() { g_mutex_unlock(m_); }
        GMutex *m_;
    };
    GMutex mutex_{};
    GCond cond_{};
    bool taken_ = false;
};

KeepPointerLock keep_pointer_exist_mutex;

gpointer quil_helper_main_receiver(gpointer) {
    auto buffer = quil::alloc_zeroed<HelperMessage>(sizeof(HelperMessage));
    if (!buffer) {
        QLOG_ERR("malloc failed!");
        return nullptr;
    }
    QLOG_DEBUG("Enter to loop: get request and deal!");
    MissingQueueLog missing_queue;
    for (;;) {
        // Looked up first, so that a queue made again is reported when it is found,
        // not when its first message comes.
        if (quil_adapter_get_helper_seq_id(HELPER_QUEUE_TO_HELPERM) == -1) {
            QUIL_QUEUE_MISSING(missing_queue);
            continue;
        }
        QUIL_QUEUE_FOUND(missing_queue);
        if (quil_adapter_helperm_get_normal_msg_from_helperd(buffer.get()) != 0)
            continue;  // removed meanwhile (the next look-up says so) or interrupted
        QLOG_DEBUG("get valid request, call receiver!");
        request_analyzer(*buffer);
        quil_mutex_keep_pointer_exist_unlock();
        quil_mutex_keep_pointer_exist_lock();
    }
    return nullptr;
}

}  // namespace

const CommandEntry *quil_find_command(int32_t cid) {
    for (const auto &row : command_table) {
        if (row.cid == cid)
            return &row;
    }
    return nullptr;
}

void request_analyzer(const HelperMessage &msg) {
    HelperRequest header = helper_message_header(msg);
    QLOG_DEBUG("serviceid: %d", header.serviceid);
    QLOG_DEBUG("cid: 0x%04x", static_cast<unsigned>(header.cid));
    QLOG_DEBUG("rtcode: %d", header.rtcode);
    QLOG_DEBUG("len: %d", header.len);
    if (!helper_message_len_valid(msg)) {
        // The body cannot hold what len claims; nothing past the body is read.
        QLOG_ERR("invalid request len: %d", header.len);
        quil_resp_error_result(header.serviceid, header.cid, header.rtcode, 0, "", nullptr, "");
        return;
    }
    std::string_view payload = helper_message_payload(msg);
    QLOG_DEBUG("str: \"%.*s\"", static_cast<int>(payload.size()), payload.data());

    const CommandEntry *row = quil_find_command(header.cid);
    if (row != nullptr && row->handler(header.serviceid, row->cid, header.rtcode, header.len,
                                       payload.data(), row->ready, row->at_command) == 0) {
        QLOG_DEBUG("finished!");
        return;
    }
    QLOG_ERR("Execute error or not matched! will call default resp!");
    quil_resp_error_result(header.serviceid, header.cid, header.rtcode, header.len, payload.data(),
                           nullptr, "");
}

int quil_resp_error_result(int32_t serviceid, int32_t cid, int32_t, int32_t, const char *, ReadyFn,
                           const char *) {
    QLOG_DEBUG("BEGIN TO Send default resp to caller!");
    int ret = quil_adapter_alloc_and_send_resp_structure(serviceid, cid, 1, 5, "ERROR");
    quil_mutex_keep_pointer_exist_unlock();
    if (ret != 0) {
        QLOG_ERR("send resp to main loop failed!");
        return -1;
    }
    return 0;
}

void quil_resp_error_result_callback(gpointer request_record) {
    QLOG_DEBUG("enter!");
    int32_t serviceid = -1;
    int32_t cid = -1;
    if (request_record == nullptr) {
        QLOG_ERR("NULL pointer!");
    } else {
        RequestRecord record(static_cast<HelperRequest *>(request_record));
        serviceid = record->serviceid;
        cid = record->cid;
    }
    int ret = quil_adapter_alloc_and_send_resp_structure(serviceid, cid, 1, 5, "ERROR");
    quil_mutex_keep_pointer_exist_unlock();
    if (ret != 0)
        QLOG_ERR("send resp to main loop failed!");
}

RequestRecord make_request_record(int32_t serviceid, int32_t cid, int32_t rtcode, int32_t len,
                                  const char *payload) {
    if (len < 0 || payload == nullptr)
        len = 0;
    if (len > HELPER_MAX_PAYLOAD)
        len = HELPER_MAX_PAYLOAD;
    auto record = quil::alloc_zeroed<HelperRequest>(sizeof(HelperRequest) +
                                                    static_cast<std::size_t>(len) + 1);
    if (!record)
        return record;
    record->serviceid = serviceid;
    record->cid = cid;
    record->rtcode = rtcode;
    record->len = len;
    if (len > 0)
        std::memcpy(request_record_payload(record.get()), payload, static_cast<std::size_t>(len));
    return record;
}

void quil_mutex_keep_pointer_exist_lock() {
    keep_pointer_exist_mutex.lock();
    QLOG_DEBUG("finished!");
}

void quil_mutex_keep_pointer_exist_unlock() {
    keep_pointer_exist_mutex.unlock();
    QLOG_DEBUG("finished!");
}

int quil_main_receiver_init() {
    GThread *thread = g_thread_try_new("req_recv", quil_helper_main_receiver, nullptr, nullptr);
    if (thread == nullptr) {
        QLOG_ERR("thread init failed!");
        return -1;
    }
    g_thread_unref(thread);
    return 0;
}
