// SPDX-License-Identifier: GPL-2.0-or-later
#include "helper_queue.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "heap_block.h"
#include "log.h"

namespace {

// Both daemons run as root and are the queues' only users: nobody else may put a
// message on them (a control message 4 would stop the D-Bus helper, a request 0x100a
// on queue 0 would flash the module from a path of the sender's choosing).
constexpr int kQueueMode = 0600;
constexpr int kQueueCreateFlags = IPC_CREAT | IPC_EXCL | kQueueMode;
constexpr int kQueueCreateAttempts = 3;

// True when the queue is this user's alone: owned and created by it, and no access
// for the group or others.
bool queue_private(int id, unsigned *mode, uid_t *owner) {
    msqid_ds ds{};
    if (msgctl(id, IPC_STAT, &ds) != 0)
        return false;
    *mode = ds.msg_perm.mode & 0777;
    *owner = ds.msg_perm.uid;
    uid_t self = geteuid();
    return ds.msg_perm.uid == self && ds.msg_perm.cuid == self && (ds.msg_perm.mode & 077) == 0;
}

// The id of the last queue refused by a look-up, so that one that stays is logged once.
std::atomic<int> last_refused_id{-1};

// Creates the queue of `key`; a queue already there that is open to others or belongs
// to another user is removed and made anew. 1 when created, 0 when a private queue was
// already there, -1 when it could not be had.
int create_private_queue(int index, key_t key) {
    for (int attempt = 0; attempt < kQueueCreateAttempts; ++attempt) {
        if (msgget(key, kQueueCreateFlags) != -1)
            return 1;
        int existing = msgget(key, 0);
        if (existing == -1)
            continue;  // gone meanwhile: try creating it again
        unsigned mode = 0;
        uid_t owner = 0;
        if (queue_private(existing, &mode, &owner))
            return 0;
        if (msgctl(existing, IPC_RMID, nullptr) != 0) {
            QLOG_ERR("can't remove queue %d: %s", index, std::strerror(errno));
            continue;
        }
        if (msgget(key, kQueueCreateFlags) != -1) {
            QLOG_ERR("queue %d (id %d, mode 0%o, owner %u) is open to other users, created anew!",
                     index, existing, mode, static_cast<unsigned>(owner));
            return 1;
        }
    }
    return -1;
}

int32_t read_field(const HelperMessage &msg, std::size_t offset) {
    int32_t value = 0;
    std::memcpy(&value, msg.body.data() + offset, sizeof(value));
    return value;
}

// Builds a record of 16 + len + 1 zero-filled bytes, copies its first 16 + len bytes
// into a zero-filled message and sends it with the given sender.
template <typename Sender>
int build_and_send(long mtype, int32_t serviceid, int32_t cid, int32_t rtcode, int32_t len,
                   const char *payload, Sender send) {
    if (len < 0 || (len > 0 && payload == nullptr))
        len = 0;
    if (len > HELPER_MAX_PAYLOAD)
        len = HELPER_MAX_PAYLOAD;  // cut to fit the body
    std::size_t record_size = HELPER_HEADER_SIZE + static_cast<std::size_t>(len) + 1;
    auto record = quil::alloc_zeroed<char>(record_size);
    if (!record) {
        QLOG_ERR("malloc failed!");
        return -2;
    }
    HelperRequest header{serviceid, cid, rtcode, len};
    std::memcpy(record.get(), &header, sizeof(header));
    if (len > 0)
        std::memcpy(record.get() + HELPER_HEADER_SIZE, payload, static_cast<std::size_t>(len));

    auto msg = quil::alloc_zeroed<HelperMessage>(sizeof(HelperMessage));
    if (!msg) {
        QLOG_ERR("malloc failed!");
        return -2;
    }
    std::memcpy(msg->body.data(), record.get(), HELPER_HEADER_SIZE + static_cast<std::size_t>(len));
    msg->mtype = mtype;
    return send(msg.get()) == 0 ? 0 : -1;
}

int receive(int32_t index, long mtype, HelperMessage *msg) {
    std::memset(msg, 0, sizeof(*msg));
    int id = quil_adapter_get_helper_seq_id(index);
    if (id == -1)
        return -1;
    // A message longer than a body (any local user may send one) is taken cut to the
    // body instead of blocking the queue for ever.
    if (msgrcv(id, msg, HELPER_BODY_SIZE, mtype, MSG_NOERROR) < 0) {
        std::memset(msg, 0, sizeof(*msg));
        return -2;
    }
    return 0;
}

}  // namespace

HelperRequest helper_message_header(const HelperMessage &msg) {
    return HelperRequest{read_field(msg, 0), read_field(msg, 4), read_field(msg, 8),
                         read_field(msg, 12)};
}

bool helper_message_len_valid(const HelperMessage &msg) {
    int32_t len = read_field(msg, 12);
    return len >= 0 && len <= HELPER_MAX_PAYLOAD;
}

std::string_view helper_message_payload(const HelperMessage &msg) {
    if (!helper_message_len_valid(msg))
        return {};
    return std::string_view(msg.body.data() + HELPER_HEADER_SIZE,
                            static_cast<std::size_t>(read_field(msg, 12)));
}

int32_t helper_message_fill(HelperMessage &msg, long mtype, int32_t serviceid, int32_t cid,
                            int32_t rtcode, std::string_view payload) {
    std::memset(&msg, 0, sizeof(msg));
    msg.mtype = mtype;
    auto len = static_cast<int32_t>(
        std::min<std::size_t>(payload.size(), static_cast<std::size_t>(HELPER_MAX_PAYLOAD)));
    HelperRequest header{serviceid, cid, rtcode, len};
    std::memcpy(msg.body.data(), &header, sizeof(header));
    std::memcpy(msg.body.data() + HELPER_HEADER_SIZE, payload.data(),
                static_cast<std::size_t>(len));
    return len;
}

int quil_adapter_helper_queue_init() {
    key_t key0 = ftok(".", HELPER_QUEUE_TO_HELPERM);
    if (key0 == -1) {
        QLOG_ERR("can't alloc queue id!");
        return -1;
    }
    int made0 = create_private_queue(HELPER_QUEUE_TO_HELPERM, key0);
    if (made0 == -1) {
        QLOG_ERR("can't alloc queue id!");
        return -1;
    }
    key_t key1 = ftok(".", HELPER_QUEUE_TO_HELPERD);
    if (key1 == -1) {
        QLOG_ERR("can't alloc queue id!");
        return -1;
    }
    if (made0 == 0) {
        QLOG_DEBUG("seq already existed!");
        // The peer made both queues; queue 1 is only checked, never created here. One
        // that others may use is made anew all the same.
        int id1 = msgget(key1, 0);
        unsigned mode = 0;
        uid_t owner = 0;
        if (id1 != -1 && !queue_private(id1, &mode, &owner) &&
            create_private_queue(HELPER_QUEUE_TO_HELPERD, key1) == -1) {
            QLOG_ERR("can't alloc queue id!");
            return -1;
        }
        return 0;
    }
    int made1 = create_private_queue(HELPER_QUEUE_TO_HELPERD, key1);
    if (made1 == -1) {
        QLOG_ERR("can't alloc queue id!");
        return -1;
    }
    if (made1 == 0) {
        QLOG_DEBUG("seq already existed!");
        return 0;
    }
    QLOG_DEBUG("finished!");
    return 0;
}

int quil_adapter_get_helper_seq_id(int32_t index) {
    key_t key = ftok(".", index);
    if (key == -1) {
        QLOG_ERR("can't alloc key!");
        return -1;
    }
    int id = msgget(key, 0);
    if (id == -1)
        return -1;
    unsigned mode = 0;
    uid_t owner = 0;
    if (!queue_private(id, &mode, &owner)) {
        // Made by someone else while the D-Bus helper was away: not ours to trust.
        if (last_refused_id.exchange(id) != id)
            QLOG_ERR("queue %d (id %d, mode 0%o, owner %u) is open to other users, not used!",
                     index, id, mode, static_cast<unsigned>(owner));
        return -1;
    }
    return id;
}

int quil_adapter_helperm_send_msg_to_helperd(const HelperMessage *msg) {
    if (msg == nullptr) {
        QLOG_ERR("NULL pointer!");
        return -1;
    }
    int id = quil_adapter_get_helper_seq_id(HELPER_QUEUE_TO_HELPERD);
    if (id == -1) {
        QLOG_ERR("message queue not existed!");
        return -1;
    }
    int ret = msgsnd(id, msg, HELPER_BODY_SIZE, 0);
    if (ret != 0) {
        QLOG_ERR("ret = %d", ret);
        return -1;
    }
    return 0;
}

int quil_adapter_alloc_and_send_resp_structure(int32_t serviceid, int32_t cid, int32_t rtcode,
                                               int32_t len, const char *payload) {
    QLOG_DEBUG("enter, len:%d", len);
    int ret = build_and_send(HELPER_MSG_NORMAL, serviceid, cid, rtcode, len, payload,
                             quil_adapter_helperm_send_msg_to_helperd);
    if (ret == -1)
        QLOG_ERR("Send message failed!");
    return ret == 0 ? 0 : -1;
}

namespace {

// Control messages come from the MBIM helper's main loop: they never wait for room on
// queue 1 (a D-Bus helper that stopped reading must not stop the loop); a full queue
// drops the message with a line.
int send_control_to_helperd(const HelperMessage *msg) {
    int id = quil_adapter_get_helper_seq_id(HELPER_QUEUE_TO_HELPERD);
    if (id == -1) {
        QLOG_ERR("message queue not existed!");
        return -1;
    }
    if (msgsnd(id, msg, HELPER_BODY_SIZE, IPC_NOWAIT) == 0)
        return 0;
    if (errno == EAGAIN)
        QLOG_ERR("queue %d is full, message cid 0x%04x dropped!", HELPER_QUEUE_TO_HELPERD,
                 helper_message_header(*msg).cid);
    return -1;
}

}  // namespace

void quil_adapter_helperm_send_control_message_to_helperd(int32_t cid, int32_t len,
                                                          const char *text) {
    QLOG_DEBUG("enter, len:%d", len);
    if (build_and_send(HELPER_MSG_CONTROL, 0, cid, 0, len, text, send_control_to_helperd) == -1)
        QLOG_ERR("Send message failed!");
}

int quil_adapter_helperd_send_req_to_helperm(const HelperMessage *msg) {
    if (msg == nullptr) {
        QLOG_ERR("NULL pointer!");
        return -1;
    }
    int id = quil_adapter_get_helper_seq_id(HELPER_QUEUE_TO_HELPERM);
    if (id == -1) {
        QLOG_ERR("message queue not existed!");
        return -1;
    }
    // Never waits: a queue 0 that nobody empties must not hang the D-Bus helper.
    if (msgsnd(id, msg, HELPER_BODY_SIZE, IPC_NOWAIT) == 0)
        return 0;
    if (errno == EAGAIN) {
        QLOG_ERR("queue %d is full, message cid 0x%04x dropped!", HELPER_QUEUE_TO_HELPERM,
                 helper_message_header(*msg).cid);
        return HELPER_SEND_QUEUE_FULL;
    }
    return -1;
}

void quil_adapter_helperd_send_control_message_to_helperm(int32_t cid, uint32_t len,
                                                          const char *text) {
    QLOG_DEBUG("enter, len:%d", static_cast<int>(len));
    int32_t signed_len = len > static_cast<uint32_t>(HELPER_MAX_PAYLOAD)
                             ? HELPER_MAX_PAYLOAD
                             : static_cast<int32_t>(len);
    if (build_and_send(HELPER_MSG_CONTROL, 0, cid, 0, signed_len, text,
                       quil_adapter_helperd_send_req_to_helperm) == -1)
        QLOG_ERR("Send message failed!");
}

void quil_adapter_helperd_send_control_message_to_helperm(int32_t cid) {
    QLOG_DEBUG("enter, len:%d", 0);
    if (build_and_send(HELPER_MSG_CONTROL, 0, cid, 0, 0, nullptr,
                       quil_adapter_helperd_send_req_to_helperm) == -1)
        QLOG_ERR("Send message failed!");
}

int quil_adapter_helperm_get_normal_msg_from_helperd(HelperMessage *msg) {
    return receive(HELPER_QUEUE_TO_HELPERM, HELPER_MSG_NORMAL, msg);
}

int quil_adapter_helperm_get_control_msg_from_helperd(HelperMessage *msg) {
    return receive(HELPER_QUEUE_TO_HELPERM, HELPER_MSG_CONTROL, msg);
}

int quil_adapter_helperd_get_normal_msg_from_helperm(HelperMessage *msg) {
    return receive(HELPER_QUEUE_TO_HELPERD, HELPER_MSG_NORMAL, msg);
}

int quil_adapter_helperd_get_control_msg_from_helperm(HelperMessage *msg) {
    return receive(HELPER_QUEUE_TO_HELPERD, HELPER_MSG_CONTROL, msg);
}

void quil_adapter_missing_queue_pause() {
    struct timespec pause = {0, 200 * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

bool MissingQueueLog::attempt(Clock::time_point now) {
    if (attempts_++ == 0 || now - last_line_ >= kInterval) {
        last_line_ = now;
        return true;
    }
    return false;
}

unsigned MissingQueueLog::found() {
    return std::exchange(attempts_, 0u);
}

void quil_adapter_missing_queue(MissingQueueLog &log, const char *caller, unsigned line) {
    if (log.attempt(MissingQueueLog::Clock::now()) && g_debug_level > 2) {
        if (log.attempts() == 1)
            syslog(LOG_ERR, "[Error]: %s:%u: message queue not existed!", caller, line);
        else
            syslog(LOG_ERR, "[Error]: %s:%u: message queue not existed! %u attempts so far", caller,
                   line, log.attempts());
    }
    quil_adapter_missing_queue_pause();
}

void quil_adapter_queue_found(MissingQueueLog &log, const char *caller, unsigned line) {
    unsigned attempts = log.found();
    if (attempts != 0 && g_debug_level > 2)
        syslog(LOG_ERR, "[Error]: %s:%u: message queue found again after %u attempts!", caller,
               line, attempts);
}
