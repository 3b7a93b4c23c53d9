// Presence of the module: the start-up check "dev-check" and the udev monitor.
#pragma once

// Starts the thread "dev-check". Returns 0, or -1 when it cannot be started.
int quil_helper_device_check_thread_init();

// Releases the udev monitor and context at shutdown.
void quil_udev_deinit();
