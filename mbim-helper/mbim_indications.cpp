// SPDX-License-Identifier: GPL-2.0-or-later
#include "mbim_indications.h"

#include <cstring>
#include <string_view>

#include "helper_queue.h"
#include "log.h"
#include "mbim_connection.h"

namespace {

// Touched only in the main-loop thread.
int32_t sim_inserted = 0;
int32_t home_provider_retries = 0;

constexpr int32_t HOME_PROVIDER_MAX_RETRIES = 40;
constexpr guint HOME_PROVIDER_RETRY_PAUSE_MS = 500;

constexpr std::string_view SIM_INSERTED_TEXT = "SIM inserted";
constexpr std::string_view SIM_REMOVED_TEXT = "SIM removed";

void send_text(int32_t cid, std::string_view text) {
    quil_adapter_helperm_send_control_message_to_helperd(cid, static_cast<int32_t>(text.size()),
                                                         text.data());
}

// Applies one step of the SIM state table: logs, flag, report, follow-up queries.
void quil_sim_state_apply(uint32_t ready_state, SimStateSource source) {
    SimStateStep step = quil_sim_state_step(ready_state, sim_inserted != 0, source);
    if (step.logs & SIM_LOG_INITIALIZING)
        QLOG_ERR("SIM card is initializing!");
    if (step.logs & SIM_LOG_FAILURE)
        QLOG_DEBUG("Failure on SIM card state! treat it as SIM card removed!");
    if (step.logs & SIM_LOG_INSERTED_BEFORE)
        QLOG_DEBUG("SIM card was inserted before, abort to send signal!");
    if (step.logs & SIM_LOG_NOT_INSERTED)
        QLOG_DEBUG("SIM card not inserted at all, abort to send signal!");
    if (step.logs & SIM_LOG_LOCKED)
        QLOG_DEBUG("Duplicated ind, SIM card is locked!");
    if (step.logs & SIM_LOG_NO_ESIM)
        QLOG_ERR("Not support ESIM yet!");
    if (step.logs & SIM_LOG_UNSUPPORTED)
        QLOG_ERR("Unsupported SIM card ready state: %d!", static_cast<int>(ready_state));

    sim_inserted = step.inserted ? 1 : 0;
    if (step.report == SimReport::Inserted)
        send_text(CONTROL_SIM_STATE, SIM_INSERTED_TEXT);
    else if (step.report == SimReport::Removed)
        send_text(CONTROL_SIM_STATE, SIM_REMOVED_TEXT);
    // The follow-up queries run in the "control_recv" thread.
    if (step.post_home_provider)
        quil_adapter_helperd_send_control_message_to_helperm(CONTROL_HOME_PROVIDER_QUERY);
    if (step.post_register_state)
        quil_adapter_helperd_send_control_message_to_helperm(CONTROL_REGISTER_STATE_QUERY);
}

void quil_basic_connect_notification_subscriber_ready_status(MbimDevice *device,
                                                             MbimMessage *message) {
    MbimSubscriberReadyState ready_state = MBIM_SUBSCRIBER_READY_STATE_FAILURE;
    GError *error = nullptr;
    if (mbim_device_check_ms_mbimex_version(device, 3, 0)) {
        if (!mbim_message_ms_basic_connect_v3_subscriber_ready_status_notification_parse(
                message, &ready_state, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                &error)) {
            QLOG_ERR("Failed processing MBIMEx v3.0 subscriber ready status notification: %s",
                     quil_mbim_error_text(error));
            g_clear_error(&error);
            return;
        }
        QLOG_DEBUG("processed MBIMEx v3.0 subscriber ready status notification");
    } else {
        if (!mbim_message_subscriber_ready_status_notification_parse(
                message, &ready_state, nullptr, nullptr, nullptr, nullptr, nullptr, &error)) {
            QLOG_ERR("Failed processing subscriber ready status notification: %s",
                     quil_mbim_error_text(error));
            g_clear_error(&error);
            return;
        }
        QLOG_DEBUG("processed subscriber ready status notification");
    }
    QLOG_DEBUG("ready state:%d", static_cast<int>(ready_state));
    quil_sim_state_apply(ready_state, SimStateSource::Indication);
}

// Reports the registered network's provider id, when there is one.
void report_registered_provider(MbimRegisterState register_state, const gchar *provider_id) {
    if (quil_mbim_has_text(provider_id)) {
        QLOG_DEBUG("provider id: %s", provider_id);
        send_text(CONTROL_REGISTERED_PROVIDER, provider_id);
        return;
    }
    QLOG_DEBUG("register state: %s", mbim_register_state_get_string(register_state));
    QLOG_DEBUG("don't get valid roam mccmnc!");
}

void basic_connect_notification_register_state(MbimDevice *device, MbimMessage *message) {
    MbimRegisterState register_state = MBIM_REGISTER_STATE_UNKNOWN;
    gchar *provider_id = nullptr;
    if (mbim_device_check_ms_mbimex_version(device, 2, 0)) {
        if (!mbim_message_ms_basic_connect_v2_register_state_notification_parse(
                message, nullptr, &register_state, nullptr, nullptr, nullptr, &provider_id, nullptr,
                nullptr, nullptr, nullptr, nullptr)) {
            QLOG_ERR("Failed processing MBIMEx v2.0 register state indication");
            return;
        }
    } else {
        if (!mbim_message_register_state_notification_parse(message, nullptr, &register_state,
                                                            nullptr, nullptr, nullptr, &provider_id,
                                                            nullptr, nullptr, nullptr, nullptr)) {
            QLOG_ERR("Failed processing register state indication");
            return;
        }
    }
    report_registered_provider(register_state, provider_id);
    g_free(provider_id);
}

void quil_adapter_mbim_bcext_ind_parse(guint32 cid) {
    if (cid == MBIM_CID_MS_BASIC_CONNECT_EXTENSIONS_SLOT_INFO_STATUS)
        QLOG_DEBUG("Noted SLOT_INFO_STATUS cid for debug!");
}

gboolean home_provider_retry_now(gpointer) {
    ++home_provider_retries;
    QLOG_DEBUG("retry to check home provider! current times:%d", home_provider_retries);
    quil_adapter_helperm_get_local_mccmnc(quil_adapter_helperm_control_get_local_mccmnc_ready,
                                          nullptr);
    return G_SOURCE_REMOVE;
}

// Retry rule of the home provider answer: the next query goes out half a second later
// from a timer, so the main loop goes on serving everything else meanwhile.
void home_provider_retry() {
    if (home_provider_retries >= HOME_PROVIDER_MAX_RETRIES) {
        QLOG_ERR("reach max retry, SIM card init error!");
        home_provider_retries = 0;
        return;
    }
    g_timeout_add(HOME_PROVIDER_RETRY_PAUSE_MS, home_provider_retry_now, nullptr);
}

}  // namespace

void quil_port_notification_cb(MbimDevice *device, MbimMessage *message, gpointer) {
    QLOG_DEBUG("enter!");
    MbimService service = mbim_message_indicate_status_get_service(message);
    guint32 cid = mbim_message_indicate_status_get_cid(message);
    switch (service) {
        case MBIM_SERVICE_BASIC_CONNECT:
            if (cid == MBIM_CID_BASIC_CONNECT_SUBSCRIBER_READY_STATUS)
                quil_basic_connect_notification_subscriber_ready_status(device, message);
            else if (cid == MBIM_CID_BASIC_CONNECT_REGISTER_STATE)
                basic_connect_notification_register_state(device, message);
            break;
        case MBIM_SERVICE_MS_BASIC_CONNECT_EXTENSIONS:
            quil_adapter_mbim_bcext_ind_parse(cid);
            break;
        default:
            QLOG_DEBUG("get unsupported mbim indication! service is %d, cid is %d",
                       static_cast<int>(service), static_cast<int>(cid));
            break;
    }
}

void quil_sim_inserted_clear() {
    sim_inserted = 0;
}

void quil_adapter_helperm_control_get_subscriber_ready_status_ready(GObject *source,
                                                                    GAsyncResult *res, gpointer) {
    QLOG_DEBUG("enter!");
    GError *error = nullptr;
    MbimMessageRef response = quil_mbim_command_response(source, res, &error);
    if (response == nullptr) {
        QLOG_ERR("error: operation failed: %s", quil_mbim_error_text(error));
        g_clear_error(&error);
        return;
    }
    MbimSubscriberReadyState ready_state = MBIM_SUBSCRIBER_READY_STATE_FAILURE;
    if (!mbim_message_subscriber_ready_status_response_parse(
            response.get(), &ready_state, nullptr, nullptr, nullptr, nullptr, nullptr, &error)) {
        QLOG_ERR("error: couldn't parse response message: %s", quil_mbim_error_text(error));
        g_clear_error(&error);
        return;
    }
    QLOG_DEBUG("ready state:%d", static_cast<int>(ready_state));
    quil_sim_state_apply(ready_state, SimStateSource::QueryAnswer);
}

void quil_adapter_helperm_control_get_local_mccmnc_ready(GObject *source, GAsyncResult *res,
                                                         gpointer) {
    QLOG_DEBUG("enter!");
    GError *error = nullptr;
    MbimMessageRef response = quil_mbim_command_response(source, res, &error);
    if (response == nullptr) {
        QLOG_ERR("error: operation failed: %s", quil_mbim_error_text(error));
        g_clear_error(&error);
        home_provider_retry();
        return;
    }
    MbimProvider *provider = nullptr;
    if (!mbim_message_home_provider_response_parse(response.get(), &provider, &error)) {
        QLOG_ERR("error: couldn't parse response message: %s", quil_mbim_error_text(error));
        g_clear_error(&error);
        home_provider_retry();
        return;
    }
    if (provider == nullptr || !quil_mbim_has_text(provider->provider_id)) {
        // No code yet: asked again like a failed answer.
        QLOG_ERR("error: couldn't parse response message: %s", "no provider id");
        if (provider != nullptr)
            mbim_provider_free(provider);
        home_provider_retry();
        return;
    }
    QLOG_DEBUG("get local mccmnc:%s", provider->provider_id);
    send_text(CONTROL_HOME_PROVIDER, provider->provider_id);
    home_provider_retries = 0;
    mbim_provider_free(provider);
}

void quil_adapter_helperm_control_get_network_mccmnc_ready(GObject *source, GAsyncResult *res,
                                                           gpointer) {
    QLOG_DEBUG("enter!");
    GError *error = nullptr;
    MbimMessageRef response = quil_mbim_command_response(source, res, &error);
    if (response == nullptr) {
        QLOG_ERR("error: operation failed: %s", quil_mbim_error_text(error));
        g_clear_error(&error);
        return;
    }
    MbimRegisterState register_state = MBIM_REGISTER_STATE_UNKNOWN;
    gchar *provider_id = nullptr;
    if (!mbim_message_register_state_response_parse(response.get(), nullptr, &register_state,
                                                    nullptr, nullptr, nullptr, &provider_id,
                                                    nullptr, nullptr, nullptr, &error)) {
        QLOG_ERR("error: couldn't parse response message: %s", quil_mbim_error_text(error));
        g_clear_error(&error);
        return;
    }
    report_registered_provider(register_state, provider_id);
    g_free(provider_id);
}
