// The TCP connection on which the device's data arrives.
#pragma once

#include "relay_constants.h"
#include "socket_layer.h"

// Connects to the device, in one attempt. Returns the connected socket, or
// INVALID_SOCKET after printing why and closing what it created.
SOCKET open_device_link();
