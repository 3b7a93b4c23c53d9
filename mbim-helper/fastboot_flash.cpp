// Fastboot flashing after the reboot into the bootloader (cid 0x100a). Flashing is not
// offered yet: the request is answered "ERROR".
#include "handlers.h"

void quillon_fastboot_flash_ready(GObject *, GAsyncResult *, gpointer user_data) {
    quil_resp_error_result_callback(user_data);
}
