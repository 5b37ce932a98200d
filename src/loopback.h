// The two endpoints the relay uses both live on 127.0.0.1.
#pragma once

#include <cstdint>
#include <cstring>

#include "relay_constants.h"
#include "socket_layer.h"

inline sockaddr_in loopback_endpoint(std::uint16_t port) {
  sockaddr_in endpoint;
  std::memset(&endpoint, 0, sizeof endpoint);
  endpoint.sin_family = AF_INET;
  endpoint.sin_port = htons(port);
  endpoint.sin_addr.s_addr = htonl(loopback_address);
  return endpoint;
}

inline const sockaddr* as_sockaddr(const sockaddr_in& endpoint) {
  return reinterpret_cast<const sockaddr*>(&endpoint);
}

constexpr int endpoint_length = static_cast<int>(sizeof(sockaddr_in));
