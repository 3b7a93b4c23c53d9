#include "mbim_connection.h"

void quil_adapter_mbim_port_deinit() {}
