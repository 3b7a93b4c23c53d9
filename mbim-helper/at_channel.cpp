// The AT command channel on the module's AT port.
#include "handlers.h"

int quil_parse_send_req_atcmd(int32_t, int32_t, int32_t, int32_t, const char *, ReadyFn,
                              const char *)
{
    return -1;
}

int quil_parse_send_set_atcmd(int32_t, int32_t, int32_t, int32_t, const char *, ReadyFn,
                              const char *)
{
    return -1;
}

void quil_parse_send_atcmd_ready(GObject *, GAsyncResult *, gpointer user_data)
{
    quil_resp_error_result_callback(user_data);
}

void quillon_get_subsysid_ready(GObject *, GAsyncResult *, gpointer user_data)
{
    quil_resp_error_result_callback(user_data);
}
