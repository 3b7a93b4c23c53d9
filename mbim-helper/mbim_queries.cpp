// The request cids answered from MBIM queries.
#include "handlers.h"

int quil_parse_mbim_request(int32_t, int32_t, int32_t, int32_t, const char *, ReadyFn,
                            const char *)
{
    return -1;
}

void quil_helperm_get_local_mccmnc_ready(GObject *, GAsyncResult *, gpointer user_data)
{
    quil_resp_error_result_callback(user_data);
}

void quil_helperm_get_network_mccmnc_ready(GObject *, GAsyncResult *, gpointer user_data)
{
    quil_resp_error_result_callback(user_data);
}

void quil_helperm_get_work_slot_id_ready(GObject *, GAsyncResult *, gpointer user_data)
{
    quil_resp_error_result_callback(user_data);
}
