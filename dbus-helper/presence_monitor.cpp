#include "presence_monitor.h"

int quil_helper_device_check_thread_init()
{
    return 0;
}

void quil_udev_deinit() {}
