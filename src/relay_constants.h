// The relay's fixed endpoint values: one place for the relay, the companions, the
// benchmark and the tests.
#pragma once

#include <cstdint>

// Where the device presents its stream: 127.0.0.1:36487.
constexpr std::uint16_t device_port = 36487;

// The largest piece read from the device, and so the largest datagram sent.
constexpr int relay_buffer_size = 64;

// 127.0.0.1, in host byte order: both endpoints the relay uses live there.
constexpr std::uint32_t loopback_address = 0x7F000001;
