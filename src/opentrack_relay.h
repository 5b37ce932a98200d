// Carrying the device's stream to Opentrack, a datagram per read.
#pragma once

#include <cstdint>

#include "relay_constants.h"
#include "socket_layer.h"

// Relays from the connected device socket to 127.0.0.1:udp_port until the
// device ends the stream or a read fails, prints why it stopped, and closes
// the datagram socket and then the device socket. Returns true only when the
// device ended the stream in order.
bool relay_to_opentrack(SOCKET device, std::uint16_t udp_port);
