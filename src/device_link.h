// The TCP connection on which the device's data arrives.
#pragma once

#include "socket_layer.h"

// The fixed endpoint where the device presents its stream: 127.0.0.1:36487.
constexpr unsigned short device_port = 36487;

// Connects to the device, in one attempt. Returns the connected socket, or
// INVALID_SOCKET after printing why and closing what it created.
SOCKET open_device_link();
