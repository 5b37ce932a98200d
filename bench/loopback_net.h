// The benchmark's loopback sockets: device listener, device link, receiver.
//
// Every call returns a descriptor or a count, or the negated errno, so the
// caller judges the failure with the real error code in hand.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "clock.h"

namespace bench {

// Listens where the device presents its stream.
int listen_on_loopback(std::uint16_t port);

// Waits for one connection until the deadline; -ETIMEDOUT if none came, and
// -ECHILD as soon as `watch` (if not -1) turns readable: the process that
// was to connect has ended.
int accept_until(int listener, nanoseconds deadline, int watch = -1);

// Each write goes out as its own segment (as a device's pose does), and a
// send that cannot progress for `stall_limit` fails instead of hanging.
int tune_device_link(int link, nanoseconds stall_limit);

// A datagram socket bound to a free loopback port with the largest receive
// buffer allowed, whose reads give up after `idle_limit` without data.
struct receiver_socket {
  int fd;
  std::uint16_t port;
  int buffer_bytes;
};
int open_receiver(std::size_t wanted_buffer, nanoseconds idle_limit, receiver_socket& out);

// Sends all bytes on a stream socket (a short send continues where it stopped).
int send_all(int link, const unsigned char* data, std::size_t size);

// One datagram, as the floor sends each piece.
int send_datagram(int fd, const unsigned char* data, std::size_t size, const sockaddr_in& to);

}  // namespace bench
