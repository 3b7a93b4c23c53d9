// The module's MBIM control port, opened through the MBIM proxy.
#pragma once

// Releases the MBIM device, if one is open.
void quil_adapter_mbim_port_deinit();
