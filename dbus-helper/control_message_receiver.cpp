// SPDX-License-Identifier: GPL-2.0-or-later
#include "control_message_receiver.h"

#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "daemon_state.h"
#include "dbus_service.h"
#include "heap_block.h"
#include "helper_queue.h"
#include "log.h"
#include "modem_manager.h"
#include "presence_monitor.h"

namespace {

// A remembered MCC/MNC: at most 7 characters and a terminator. Real codes have 5 or 6
// digits; a longer text is refused rather than cut, so that two different long texts
// never pass for the same code.
constexpr std::size_t kMccmncSize = 8;
using MccmncText = std::array<char, kMccmncSize>;

MccmncText local_mccmnc = {};
MccmncText roam_mccmnc = {};

// The three fastboot status texts, tested in this order; the flag says whether the
// banner before the signal is drawn with '+' (progress) or '-' (result).
struct FastbootStatus {
    std::string_view text;
    bool progress;
};
constexpr std::array<FastbootStatus, 3> kFastbootStatuses = {{
    {"fastboot flashing...", true},
    {"fastboot flash ok", false},
    {"fastboot flash fail", false},
}};
constexpr std::size_t kBannerWidth = 68;

// A fastboot progress percentage: 1 to 3 decimal digits, 0 to 100.
constexpr std::size_t kPercentDigitsMax = 3;
constexpr int kPercentMax = 100;

// What the MBIM helper tells about one of the remembered codes.
struct MccmncKind {
    MccmncText *remembered;
    const char *what;  // "local" or "roam"
    const char *signal;
    const char *signal_text;
};

// The payload as text: its len bytes up to the first NUL among them.
std::string_view payload_text(const HelperMessage &msg) {
    std::string_view payload = helper_message_payload(msg);
    return payload.substr(0, payload.find('\0'));
}

// A payload-carrying message must have a len that fits the body and is not 0.
bool payload_usable(const HelperMessage &msg, const HelperRequest &header) {
    if (!helper_message_len_valid(msg)) {
        QLOG_ERR("Invalid payload length %d, drop message!", header.len);
        return false;
    }
    if (header.len == 0) {
        QLOG_ERR("NULL pointer!");
        return false;
    }
    return true;
}

void handle_sim_state(const HelperMessage &msg, const HelperRequest &header) {
    QLOG_DEBUG("get SUBSCRIBER_READY_STATUS resp!");
    if (!payload_usable(msg, header))
        return;
    std::string text(payload_text(msg));
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) {
        QLOG_ERR("SIM state text is not UTF-8, drop message!");
        return;
    }
    QuillonGdbusHelper *skeleton = helper_skeleton.load();
    if (skeleton == nullptr) {
        QLOG_ERR("variable is NULL, don't send SIM card change signal!");
        return;
    }
    g_signal_emit_by_name(skeleton, "simcard-change", text.c_str());
}

void handle_mccmnc(const HelperMessage &msg, const HelperRequest &header, const MccmncKind &kind) {
    if (!payload_usable(msg, header))
        return;
    std::string_view text = payload_text(msg);
    if (text.size() >= kMccmncSize) {
        QLOG_ERR("%s mccmnc text of %zu characters is too long, drop message!", kind.what,
                 text.size());
        return;
    }
    MccmncText &remembered = *kind.remembered;
    std::string_view old(remembered.data());
    if (text == old) {
        QLOG_DEBUG("same %s mccmnc, abort signal emit process!", kind.what);
        return;
    }
    std::string new_text(text);
    QLOG_DEBUG("%s mccmnc changed from %s to %s", kind.what, remembered.data(), new_text.c_str());
    remembered.fill('\0');
    std::memcpy(remembered.data(), text.data(), text.size());

    QuillonGdbusHelper *skeleton = helper_skeleton.load();
    if (skeleton == nullptr) {
        QLOG_ERR("variable is NULL, don't send %s mccmnc change signal!", kind.what);
        return;
    }
    g_signal_emit_by_name(skeleton, kind.signal, kind.signal_text);
}

void handle_fastboot_status(const HelperMessage &msg, const HelperRequest &header) {
    if (!helper_message_len_valid(msg)) {
        QLOG_ERR("Invalid payload length %d, drop message!", header.len);
        return;
    }
    std::string_view text = payload_text(msg);
    for (const FastbootStatus &status : kFastbootStatuses) {
        if (text.find(status.text) == std::string_view::npos)
            continue;
        std::string banner(kBannerWidth, status.progress ? '+' : '-');
        QLOG_DEBUG("%s", banner.c_str());
        std::string signal_text(status.text);
        emit_fastboot_flash_status_signal(signal_text.c_str());
        // A final status ends the flash, and with it ModemManager's leave.
        if (!status.progress)
            quil_modem_manager_flash_ended();
        return;
    }
    QLOG_ERR("Invalid payload str!");
}

// The percentage of a progress payload; -1 when it is not 1 to 3 digits worth 0 to 100.
int progress_percent(std::string_view text) {
    if (text.empty() || text.size() > kPercentDigitsMax)
        return -1;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value <= kPercentMax ? value : -1;
}

void handle_fastboot_progress(const HelperMessage &msg, const HelperRequest &header) {
    QLOG_DEBUG("get FASTBOOT_PROGRESS resp!");
    if (!payload_usable(msg, header))
        return;
    int percent = progress_percent(payload_text(msg));
    if (percent < 0) {
        QLOG_ERR("Invalid fastboot progress payload of %d bytes, drop message!", header.len);
        return;
    }
    emit_flash_progress_signal("fastboot", percent);
}

}  // namespace

gpointer quil_helper_control_message_receiver(gpointer) {
    auto buffer = quil::alloc_zeroed<HelperMessage>(sizeof(HelperMessage));
    if (!buffer) {
        QLOG_ERR("malloc failed!");
        return nullptr;
    }
    MissingQueueLog missing_queue;
    for (;;) {
        int ret = quil_adapter_helperd_get_control_msg_from_helperm(buffer.get());
        if (ret == -1) {
            // Logged when it goes missing and once a minute after, and looked up again
            // after a pause instead of spinning: it may stay gone for good.
            QUIL_QUEUE_MISSING(missing_queue);
            continue;
        }
        QUIL_QUEUE_FOUND(missing_queue);
        if (ret != 0)
            continue;
        if (!quil_helper_control_message_handle(*buffer)) {
            buffer.reset();
            quit_cb(0);
            return nullptr;
        }
    }
    return nullptr;
}

bool quil_helper_control_message_handle(const HelperMessage &msg) {
    static const MccmncKind home = {&local_mccmnc, "local", "simcard-change",
                                    "local mccmnc changed!"};
    static const MccmncKind roam = {&roam_mccmnc, "roam", "roam-region", "roam mccmnc changed!"};

    HelperRequest header = helper_message_header(msg);
    switch (header.cid) {
        case CONTROL_HELPERD_STOP:
            QLOG_ERR("quil-helper-mbim no resp at all! will remove message seq and exit dbus!");
            return false;
        case CONTROL_SIM_STATE:
            handle_sim_state(msg, header);
            break;
        case CONTROL_HOME_PROVIDER:
            QLOG_DEBUG("get HOME_PROVIDER resp!");
            handle_mccmnc(msg, header, home);
            break;
        case CONTROL_REGISTERED_PROVIDER:
            QLOG_DEBUG("get REGISTER_STATE resp!");
            handle_mccmnc(msg, header, roam);
            break;
        case CONTROL_FASTBOOT_STATUS:
            handle_fastboot_status(msg, header);
            break;
        case CONTROL_FASTBOOT_PROGRESS:
            handle_fastboot_progress(msg, header);
            break;
        case CONTROL_MODULE_ANNOUNCE_REQUEST:
            QLOG_DEBUG("quil-helper-mbim asks for the module!");
            quil_helper_announce_module_again();
            break;
        default:
            QLOG_DEBUG("Unsupported control message cid:0x%04x", static_cast<unsigned>(header.cid));
            break;
    }
    return true;
}
