// SPDX-License-Identifier: GPL-2.0-or-later
// The AT command channel on the module's AT port.
#include "at_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "fd_guard.h"
#include "handlers.h"
#include "heap_block.h"
#include "log.h"
#include "module_catalogue.h"
#include "run_command.h"

namespace {

constexpr int32_t kServiceIdMax = 5;
constexpr int32_t kCidRebootBootloader = 0x100a;
constexpr int32_t kCidRebootEdl = 0x2004;
constexpr std::string_view kReadError = "Read Error";
constexpr std::string_view kSyscmdAnswer = "syscmd do not return";
constexpr std::size_t kUsbIdBufferSize = 256;

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, 0 when it has passed.
int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until fd is ready for `events` or the deadline passes; true when it is ready.
bool wait_ready(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        int left = ms_left(deadline);
        if (left == 0)
            return false;
        pollfd pfd{fd, events, 0};
        int ret = ::poll(&pfd, 1, left);
        if (ret < 0 && errno == EINTR)
            continue;
        return ret > 0 && (pfd.revents & events) != 0;
    }
}

// Writes the whole text; the count written.
std::size_t write_command(int fd, const char *text, std::size_t len, Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = ::write(fd, text + done, len - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN && wait_ready(fd, POLLOUT, deadline))
            continue;
        if (n < 0)
            QLOG_DEBUG("write failed: %s", std::strerror(errno));
        break;
    }
    return done;
}

// The request record's payload as text, bounded by its len.
std::string_view record_text(HelperRequest *record) {
    std::size_t len = record->len > 0 ? static_cast<std::size_t>(record->len) : 0;
    const char *payload = request_record_payload(record);
    return std::string_view(payload, strnlen(payload, len));
}

RequestRecord make_answer_record(int32_t serviceid, int32_t cid, std::string_view answer) {
    auto record = quil::alloc_zeroed<HelperRequest>(sizeof(HelperRequest) + answer.size() + 1);
    if (!record)
        return record;
    record->serviceid = serviceid;
    record->cid = cid;
    record->rtcode = 0;
    record->len = static_cast<int32_t>(answer.size());
    std::memcpy(request_record_payload(record.get()), answer.data(), answer.size());
    return record;
}

// Reads the output of a fixed pipeline line by line into the start of buf, so that
// the last line read stays (buf is left as it was when nothing is printed).
// The pipelines start with lsusb: without it they would print nothing.
void read_last_line(const char *command, char *buf, std::size_t size) {
    if (!quil::tool_available("lsusb"))
        return;
    quil::Pipe pipe(command, "r");
    if (!pipe) {
        QLOG_DEBUG("open get_port_cmd error");
        return;
    }
    int chunk = static_cast<int>(std::min(size, kUsbIdBufferSize));
    while (std::fgets(buf, chunk, pipe.get()) != nullptr) {
    }
}

void print_parity_failed() {
    std::fputs("Set parity failed]n", stdout);
    std::fflush(stdout);
}

}  // namespace

int quil_parse_send_req_atcmd(int32_t serviceid, int32_t cid, int32_t rtcode, int32_t len,
                              const char *payload, ReadyFn ready, const char *at_command) {
    // The payload comes from the receive buffer, which holds len + 1 bytes after the
    // header for every len in 0..2023.
    bool len_ok = len >= 0 && len <= HELPER_MAX_PAYLOAD;
    if (serviceid > kServiceIdMax || payload == nullptr || !len_ok ||
        (len != 0 && payload[len] != '\0') || ready == nullptr) {
        QLOG_ERR("Illegal param, %d, %d!", len, payload == nullptr ? 1 : 0);
        return -1;
    }
    RequestRecord record = make_request_record(serviceid, cid, rtcode, len, payload);
    if (!record) {
        QLOG_ERR("malloc failed!");
        return -1;
    }
    std::size_t at_len = at_command != nullptr ? std::strlen(at_command) : 0;
    if (quil_adapter_send_message_async(at_command, at_len, ready, record) != 0) {
        QLOG_ERR("send message failed!");
        QLOG_ERR("Send request failed, error:%d", -1);
        return -1;  // the record, unless already released, goes with its owner
    }
    QLOG_DEBUG("Send request finished");
    return 0;
}

int quil_parse_send_set_atcmd(int32_t serviceid, int32_t cid, int32_t rtcode, int32_t len,
                              const char *payload, ReadyFn ready, const char *at_command) {
    auto command = quil::alloc_zeroed<char>(AT_SET_COMMAND_SIZE);
    if (!command) {
        QLOG_ERR("NULL pointer!");
        return -1;
    }
    std::string_view argument;
    if (payload != nullptr && len > 0)
        argument = std::string_view(
            payload, strnlen(payload, static_cast<std::size_t>(std::min(len, HELPER_MAX_PAYLOAD))));
    QLOG_DEBUG("%.*s   %d", static_cast<int>(argument.size()), argument.data(), __LINE__);

    std::string_view row_text = at_command != nullptr ? at_command : "";
    switch (quil_at_compose_set_command(row_text, argument, command.get(), AT_SET_COMMAND_SIZE)) {
        case SetCommandStatus::ok:
            break;
        case SetCommandStatus::too_long:
            QLOG_ERR("AT command too long: %zu + %zu > %zu!", row_text.size(), argument.size(),
                     AT_SET_COMMAND_MAX);
            return -1;
        case SetCommandStatus::illegal_character:
            QLOG_ERR("Illegal character in AT argument, refused!");
            return -1;
    }
    if (quil_parse_send_req_atcmd(serviceid, cid, rtcode, len, payload, ready, command.get()) !=
        0) {
        QLOG_ERR("command executed failed!");
        return -1;
    }
    QLOG_DEBUG("%s   %d", command.get(), __LINE__);
    return 0;
}

int quil_adapter_send_message_async(const char *at_text, std::size_t at_len, ReadyFn ready,
                                    RequestRecord &record) {
    QLOG_DEBUG("Force to use AT over GNSS!");
    return quil_adapter_send_at_over_gnss_message(at_text, at_len, ready, record);
}

int quil_adapter_send_at_over_gnss_message(const char *at_text, std::size_t at_len, ReadyFn ready,
                                           RequestRecord &record) {
    if (at_text == nullptr || at_len == 0 || at_text[0] == '\0' || !record || ready == nullptr) {
        QLOG_ERR("NULL pointer!");
        return -1;
    }
    at_len = strnlen(at_text, at_len);

    char port_name[ATPORT_NAME_SIZE] = {};
    if (quil_adapter_helperm_get_work_module_name(port_name) != 0) {
        QLOG_ERR("can't get atport name!");
        return -1;
    }
    QLOG_DEBUG("portname:%s", port_name);

    auto command = quil::alloc_zeroed<char>(at_len + 3);
    if (!command) {
        QLOG_ERR("malloc space failed!");
        return 3;
    }
    std::memcpy(command.get(), at_text, at_len);
    std::memcpy(command.get() + at_len, "\r\n", 2);
    auto answer_copy = quil::alloc_zeroed<char>(AT_ANSWER_SIZE);
    if (!answer_copy) {
        QLOG_ERR("malloc space failed!");
        return 3;
    }

    char path[sizeof("/dev/") + ATPORT_NAME_SIZE] = {};
    std::snprintf(path, sizeof(path), "/dev/%s", port_name);
    AtAnswerBuffer answer;
    struct stat st {};
    if (::stat(path, &st) != 0) {
        // Nothing is written anywhere; the exchange yields "Read Error".
        QLOG_ERR("AT port %s not existed!", path);
    } else {
        quil::UniqueFd port =
            quil::open_descriptor(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (!port) {
            std::fputs("Open port failed\n", stdout);
            std::fflush(stdout);
        } else {
            quil_adapter_at_port_setup(port.get());
            quil_adapter_at_port_exchange(port.get(), std::string_view(command.get(), at_len + 2),
                                          answer);
        }
    }
    std::string_view text = answer.filled() == 0 ? kReadError : answer.text();
    text = text.substr(0, AT_ANSWER_SIZE - 1);
    std::memcpy(answer_copy.get(), text.data(), text.size());
    QLOG_DEBUG("get received data:%s", answer_copy.get());

    RequestRecord handed;
    if (record->cid == kCidRebootBootloader || record->cid == kCidRebootEdl) {
        handed = std::move(record);
    } else {
        int32_t serviceid = record->serviceid;
        int32_t cid = record->cid;
        record.reset();
        handed = make_answer_record(serviceid, cid, text);
        if (!handed) {
            QLOG_ERR("malloc failed!");
            return -1;
        }
    }
    ready(nullptr, nullptr, handed.release());
    return 0;
}

void quil_adapter_at_port_setup(int fd) {
    termios options{};
    if (::tcgetattr(fd, &options) == 0)
        ::tcflush(fd, TCIOFLUSH);
    if (::tcgetattr(fd, &options) != 0) {
        std::perror("SetupSerial 1");
        print_parity_failed();
        return;
    }
    options.c_iflag = INPCK;
    options.c_oflag = 0;
    options.c_cflag = CS8 | CREAD | CLOCAL;
    options.c_lflag = 0;
    std::memset(options.c_cc, 0, sizeof(options.c_cc));  // VMIN 0, VTIME 0
    // A rate of 0 would mean "hang up" on a real serial line.
    ::cfsetispeed(&options, B115200);
    ::cfsetospeed(&options, B115200);
    ::tcflush(fd, TCIFLUSH);
    if (::tcsetattr(fd, TCSANOW, &options) != 0) {
        std::perror("SetupSerial 3");
        print_parity_failed();
    }
}

void quil_adapter_at_port_exchange(int fd, std::string_view command, AtAnswerBuffer &answer) {
    auto text = quil::alloc_zeroed<char>(command.size() + 3);
    if (!text) {
        QLOG_ERR("malloc space failed!");
        return;
    }
    std::memcpy(text.get(), command.data(), command.size());
    std::memcpy(text.get() + command.size(), "\r\n", 2);
    std::size_t text_len = command.size() + 2;

    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(AT_EXCHANGE_BUDGET_MS);
    ::tcflush(fd, TCOFLUSH);
    if (write_command(fd, text.get(), text_len, deadline) == 0) {
        std::printf("write of 0 len:%s,%ld\n", text.get(), static_cast<long>(text_len));
        std::fflush(stdout);
    }

    if (quil_at_is_syscmd(command)) {
        // The module reboots: nothing comes back.
        std::memcpy(answer.free_space(), kSyscmdAnswer.data(), kSyscmdAnswer.size());
        answer.commit(static_cast<long>(kSyscmdAnswer.size()));
        return;
    }

    // One budget for the whole collection; a full buffer ends it as "OK" would.
    while (!answer.full()) {
        if (!wait_ready(fd, POLLIN, deadline))
            break;
        ssize_t n = ::read(fd, answer.free_space(), answer.room());
        if (n == 0) {
            std::puts("read len is 0,break while");
            std::fflush(stdout);
            break;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            QLOG_DEBUG("read failed: %s", std::strerror(errno));
            break;
        }
        answer.commit(n);
        if (answer.has_final())
            break;
    }
}

void quil_parse_send_atcmd_ready(GObject *, GAsyncResult *, gpointer user_data) {
    if (user_data == nullptr) {
        quil_resp_error_result_callback(nullptr);
        return;
    }
    RequestRecord record(static_cast<HelperRequest *>(user_data));
    std::string_view answer = record_text(record.get());
    auto text = quil::alloc_zeroed<char>(answer.size() + 1);
    if (!text) {
        QLOG_ERR("malloc space for resp data failed!");
        quil_resp_error_result_callback(record.release());
        return;
    }
    std::memcpy(text.get(), answer.data(), answer.size());
    std::string_view own(text.get(), answer.size());
    QLOG_DEBUG("%d   %d", record->cid, __LINE__);
    QLOG_DEBUG("%s   %d", text.get(), __LINE__);

    if (own.find(kReadError) != std::string_view::npos) {
        quil_resp_error_result_callback(record.release());
        return;
    }
    std::optional<std::string_view> result = quil_at_cut_out(quil_at_cut_rule(record->cid), own);
    if (!result || result->empty()) {
        QLOG_DEBUG("found a NULL pointer!");
        quil_resp_error_result_callback(record.release());
        return;
    }
    int32_t serviceid = record->serviceid;
    int32_t cid = record->cid;
    record.reset();

    int32_t rtcode = 0;
    if (result->find("ERROR") != std::string_view::npos) {
        rtcode = 1;
        QLOG_ERR("[%s]:at_cmd return error:%.*s", __func__, static_cast<int>(result->size()),
                 result->data());
    }
    // A result longer than a body holds is cut by the sender.
    int ret = quil_adapter_alloc_and_send_resp_structure(
        serviceid, cid, rtcode, static_cast<int32_t>(result->size()), result->data());
    quil_mutex_keep_pointer_exist_unlock();
    if (ret != 0)
        QLOG_ERR("send resp to main loop failed!");
}

void quillon_get_subsysid_ready(GObject *, GAsyncResult *, gpointer user_data) {
    if (user_data == nullptr) {
        quil_resp_error_result_callback(nullptr);
        return;
    }
    RequestRecord record(static_cast<HelperRequest *>(user_data));
    std::string_view answer = record_text(record.get());
    std::size_t size = std::max(kUsbIdBufferSize, answer.size() + 1);
    auto text = quil::alloc_zeroed<char>(size);
    if (!text) {
        QLOG_ERR("malloc space for resp data failed!");
        quil_resp_error_result_callback(record.release());
        return;
    }
    std::memcpy(text.get(), answer.data(), answer.size());
    int32_t serviceid = record->serviceid;
    int32_t cid = record->cid;
    record.reset();

    read_last_line("lsusb | grep Quillon | awk -F ' ' 'NR=6 {print $6}'", text.get(), size);
    if (std::strstr(text.get(), "3f1e,0a12") != nullptr ||
        std::strstr(text.get(), "3f1e,f00f") != nullptr) {
        read_last_line("lsusb | grep \"QDL mode\" | awk -F ' ' 'NR=6 {print $6}'", text.get(),
                       size);
        if (std::strstr(text.get(), "05c6:9008") == nullptr)
            std::snprintf(text.get(), size, "%s", "0000:0000");
    }
    std::size_t len = quil_at_strip_usb_id(text.get());

    QLOG_DEBUG("%s     %d    ", text.get(), __LINE__);
    int ret = quil_adapter_alloc_and_send_resp_structure(serviceid, cid, 0,
                                                         static_cast<int32_t>(len), text.get());
    quil_mutex_keep_pointer_exist_unlock();
    if (ret != 0)
        QLOG_ERR("send resp to main loop failed!");
}
