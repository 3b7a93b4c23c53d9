// SPDX-License-Identifier: GPL-2.0-or-later
// The request cids answered from MBIM queries, and the query issuers shared with the
// control path.
#include <cstring>
#include <string>

#include "handlers.h"
#include "log.h"
#include "mbim_connection.h"
#include "mbim_indications.h"

namespace {

constexpr int32_t CID_LOCAL_MCCMNC = 0x1007;
constexpr int32_t CID_NETWORK_MCCMNC = 0x4026;
constexpr int32_t CID_WORK_SLOT_INFO = 0x4027;
constexpr int32_t CID_SWITCH_WORK_SLOT = 0x4028;

constexpr int SEND_INVALID = -1;

// A request whose command never went out: the port did not become ready.
void request_not_ready(gpointer copy, int code) {
    QLOG_ERR("Send request failed, error:%d", code);
    quil_resp_error_result_callback(copy);
}

// What the control path asks: an unanswered query is simply dropped.
MbimNotReadyFn control_not_ready(gpointer user_data) {
    return user_data == nullptr ? nullptr : request_not_ready;
}

// Answers the request with rtcode 0 and the text, then gives the lock back.
void send_answer(const RequestRecord &copy, std::string_view text) {
    int ret = quil_adapter_alloc_and_send_resp_structure(
        copy->serviceid, copy->cid, 0, static_cast<int32_t>(text.size()), text.data());
    quil_mutex_keep_pointer_exist_unlock();
    if (ret != 0)
        QLOG_ERR("send resp to main loop failed!");
}

int quil_adapter_helperm_get_work_slot_info(GAsyncReadyCallback callback, gpointer user_data) {
    MbimMessageRef message(
        mbim_message_ms_basic_connect_extensions_device_slot_mappings_query_new(nullptr));
    if (message == nullptr) {
        QLOG_ERR("malloc failed!");
        return SEND_INVALID;
    }
    QUIL_MBIM_COMMAND(std::move(message), callback, user_data, request_not_ready);
    return 0;
}

int quil_adapter_helperm_switch_work_slot(const char *payload, GAsyncReadyCallback callback,
                                          gpointer user_data) {
    QLOG_DEBUG("MBIM FLAG:%d", mbim_ready.load());
    gint64 requested = g_ascii_strtoll(payload, nullptr, 10);
    if (static_cast<guint64>(requested) >= 2) {
        QLOG_ERR("Invalid slot:%ld!", static_cast<long>(requested));
        return SEND_INVALID;
    }
    MbimSlot slot{static_cast<guint32>(requested)};
    const MbimSlot *slot_map[] = {&slot, nullptr};

    MbimMessageRef message(mbim_message_ms_basic_connect_extensions_device_slot_mappings_set_new(
        1, slot_map, nullptr));
    if (message == nullptr) {
        QLOG_ERR("malloc failed!");
        return SEND_INVALID;
    }
    QUIL_MBIM_COMMAND_QUIET(std::move(message), callback, user_data, request_not_ready);
    return 0;
}

}  // namespace

int quil_adapter_helperm_get_local_mccmnc(GAsyncReadyCallback callback, gpointer user_data) {
    MbimMessageRef message(mbim_message_home_provider_query_new(nullptr));
    if (message == nullptr) {
        QLOG_ERR("malloc failed!");
        return SEND_INVALID;
    }
    QUIL_MBIM_COMMAND(std::move(message), callback, user_data, control_not_ready(user_data));
    return 0;
}

int quil_adapter_helperm_get_network_mccmnc(GAsyncReadyCallback callback, gpointer user_data) {
    MbimMessageRef message(mbim_message_register_state_query_new(nullptr));
    if (message == nullptr) {
        QLOG_ERR("malloc failed!");
        return SEND_INVALID;
    }
    QUIL_MBIM_COMMAND(std::move(message), callback, user_data, control_not_ready(user_data));
    return 0;
}

int quil_adapter_helperm_get_subscriber_ready_status(GAsyncReadyCallback callback) {
    MbimMessageRef message(mbim_message_subscriber_ready_status_query_new(nullptr));
    if (message == nullptr) {
        QLOG_ERR("malloc failed!");
        return SEND_INVALID;
    }
    QUIL_MBIM_COMMAND(std::move(message), callback, nullptr, nullptr);
    return 0;
}

int quil_parse_mbim_request(int32_t serviceid, int32_t cid, int32_t rtcode, int32_t len,
                            const char *payload, ReadyFn ready, const char *) {
    if (ready == nullptr) {
        QLOG_ERR("Illegal param!");
        return -1;
    }
    RequestRecord copy = make_request_record(serviceid, cid, rtcode, len, payload);
    if (!copy) {
        QLOG_ERR("malloc failed!");
        return -1;
    }
    int ret = 0;
    switch (cid) {
        case CID_LOCAL_MCCMNC:
            ret = quil_adapter_helperm_get_local_mccmnc(ready, copy.get());
            break;
        case CID_NETWORK_MCCMNC:
            ret = quil_adapter_helperm_get_network_mccmnc(ready, copy.get());
            break;
        case CID_WORK_SLOT_INFO:
            ret = quil_adapter_helperm_get_work_slot_info(ready, copy.get());
            break;
        case CID_SWITCH_WORK_SLOT:
            ret = quil_adapter_helperm_switch_work_slot(request_record_payload(copy.get()), ready,
                                                        copy.get());
            break;
        default:
            QLOG_ERR("Not supported cid!");
            return -1;
    }
    if (ret != 0) {
        QLOG_ERR("Send request failed, error:%d", ret);
        return -1;
    }
    // The pending command owns the copy now; its ready callback releases it.
    (void)copy.release();
    QLOG_DEBUG("Send request finished");
    return 0;
}

void quil_helperm_get_local_mccmnc_ready(GObject *source, GAsyncResult *res, gpointer user_data) {
    QLOG_DEBUG("enter!");
    if (user_data == nullptr) {
        QLOG_ERR("NULL pointer!");
        quil_resp_error_result_callback(nullptr);
        return;
    }
    GError *error = nullptr;
    MbimMessageRef response = quil_mbim_command_response(source, res, &error);
    if (response == nullptr) {
        QLOG_ERR("error: operation failed: %s", quil_mbim_error_text(error));
        g_clear_error(&error);
        quil_resp_error_result_callback(user_data);
        return;
    }
    MbimProvider *provider = nullptr;
    if (!mbim_message_home_provider_response_parse(response.get(), &provider, &error)) {
        QLOG_ERR("error: couldn't parse response message: %s", quil_mbim_error_text(error));
        g_clear_error(&error);
        quil_resp_error_result_callback(user_data);
        return;
    }
    RequestRecord copy(static_cast<HelperRequest *>(user_data));
    if (provider == nullptr || !quil_mbim_has_text(provider->provider_id)) {
        // A home provider without an id is no answer.
        QLOG_ERR("error: couldn't parse response message: %s", "no provider id");
        if (provider != nullptr)
            mbim_provider_free(provider);
        quil_resp_error_result_callback(copy.release());
        return;
    }
    QLOG_DEBUG("get local mccmnc:%s", provider->provider_id);
    send_answer(copy, provider->provider_id);
    mbim_provider_free(provider);
}

void quil_helperm_get_network_mccmnc_ready(GObject *source, GAsyncResult *res, gpointer user_data) {
    QLOG_DEBUG("enter!");
    if (user_data == nullptr) {
        QLOG_ERR("NULL pointer!");
        quil_resp_error_result_callback(nullptr);
        return;
    }
    GError *error = nullptr;
    MbimMessageRef response = quil_mbim_command_response(source, res, &error);
    if (response == nullptr) {
        QLOG_ERR("error: operation failed: %s", quil_mbim_error_text(error));
        g_clear_error(&error);
        quil_resp_error_result_callback(user_data);
        return;
    }
    MbimRegisterState register_state = MBIM_REGISTER_STATE_UNKNOWN;
    gchar *provider_id = nullptr;
    if (!mbim_message_register_state_response_parse(response.get(), nullptr, &register_state,
                                                    nullptr, nullptr, nullptr, &provider_id,
                                                    nullptr, nullptr, nullptr, &error)) {
        QLOG_ERR("error: couldn't parse response message: %s", quil_mbim_error_text(error));
        g_clear_error(&error);
        quil_resp_error_result_callback(user_data);
        return;
    }
    RequestRecord copy(static_cast<HelperRequest *>(user_data));
    if (!quil_mbim_has_text(provider_id)) {
        QLOG_DEBUG("register state: %s", mbim_register_state_get_string(register_state));
        QLOG_DEBUG("don't get valid roam mccmnc!");
        g_free(provider_id);
        quil_resp_error_result_callback(copy.release());
        return;
    }
    QLOG_DEBUG("provider id: %s", provider_id);
    send_answer(copy, provider_id);
    g_free(provider_id);
}

void quil_helperm_get_work_slot_id_ready(GObject *source, GAsyncResult *res, gpointer user_data) {
    QLOG_DEBUG("enter!");
    if (user_data == nullptr) {
        QLOG_ERR("NULL pointer!");
        quil_resp_error_result_callback(nullptr);
        return;
    }
    GError *error = nullptr;
    MbimMessageRef response = quil_mbim_command_response(source, res, &error);
    if (response == nullptr) {
        QLOG_ERR("error: operation failed: %s", quil_mbim_error_text(error));
        g_clear_error(&error);
        quil_resp_error_result_callback(user_data);
        return;
    }
    guint32 map_count = 0;
    MbimSlotArray *slot_map = nullptr;
    if (!mbim_message_ms_basic_connect_extensions_device_slot_mappings_response_parse(
            response.get(), &map_count, &slot_map, &error)) {
        QLOG_ERR("error: couldn't parse response message: %s", quil_mbim_error_text(error));
        g_clear_error(&error);
        quil_resp_error_result_callback(user_data);
        return;
    }
    RequestRecord copy(static_cast<HelperRequest *>(user_data));
    if (map_count != 1 || slot_map == nullptr || slot_map[0] == nullptr) {
        QLOG_DEBUG("work slot not 1! Actual:%d", static_cast<int>(map_count));
        if (slot_map != nullptr)
            mbim_slot_array_free(slot_map);
        quil_resp_error_result_callback(copy.release());
        return;
    }
    char answer[32] = {};
    int slot = static_cast<int>(slot_map[0]->slot);
    QLOG_DEBUG("found work slot:%d", slot);
    std::snprintf(answer, sizeof(answer), "%d", slot);
    send_answer(copy, answer);
    mbim_slot_array_free(slot_map);
}
