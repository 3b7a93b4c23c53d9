#include "control_message_receiver.h"

gpointer quil_helper_control_message_receiver(gpointer)
{
    return nullptr;
}
