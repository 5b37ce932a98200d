// The one command-line argument: the UDP port Opentrack listens on.
#pragma once

#include <cstdint>
#include <optional>

// Reads a base-10 port number (leading white space and one sign allowed, the
// whole text consumed). Gives nothing unless the value is 1..65535: a port
// the user did not write is never used.
std::optional<std::uint16_t> parse_udp_port(const char* text);
