// Loopback sockets for the device end and the receiving end of a trial.
#include "loopback_net.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

// The relay's own way of naming 127.0.0.1:port.
#include "loopback.h"

namespace bench {

namespace {

// The errno of the call that just failed, after closing what it leaves behind.
int fail_closing(int fd) {
  const int error = errno;
  if (fd >= 0) close(fd);
  return -error;
}

timeval to_timeval(nanoseconds span) {
  timeval out{};
  out.tv_sec = static_cast<time_t>(span / ns_per_s);
  out.tv_usec = static_cast<suseconds_t>((span % ns_per_s) / ns_per_us);
  return out;
}

}  // namespace

int listen_on_loopback(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  // A previous run's connections in TIME_WAIT must not block the port.
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return fail_closing(fd);
  const sockaddr_in address = loopback_endpoint(port);
  if (bind(fd, as_sockaddr(address), sizeof address) != 0) return fail_closing(fd);
  if (listen(fd, 4) != 0) return fail_closing(fd);
  return fd;
}

int accept_until(int listener, nanoseconds deadline, int watch) {
  for (;;) {
    const nanoseconds left = deadline - now_ns();
    if (left <= 0) return -ETIMEDOUT;
    pollfd waiting[2] = {{listener, POLLIN, 0}, {watch, POLLIN, 0}};
    const auto wait_ms = static_cast<int>(left / ns_per_ms + 1);
    const int ready = poll(waiting, watch >= 0 ? 2 : 1, wait_ms);
    if (ready < 0 && errno != EINTR) return -errno;
    if (ready <= 0) continue;
    if ((waiting[0].revents & POLLIN) == 0) return -ECHILD;
    const int link = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (link >= 0) return link;
    if (errno != EINTR && errno != ECONNABORTED) return -errno;
  }
}

int tune_device_link(int link, nanoseconds stall_limit) {
  const int on = 1;
  if (setsockopt(link, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) return -errno;
  const timeval limit = to_timeval(stall_limit);
  if (setsockopt(link, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) return -errno;
  return 0;
}

int open_receiver(std::size_t wanted_buffer, nanoseconds idle_limit, receiver_socket& out) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  const int wanted = wanted_buffer > INT_MAX / 2 ? INT_MAX / 2 : static_cast<int>(wanted_buffer);
  // Root may exceed net.core.rmem_max; anyone else gets up to that limit.
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) != 0 &&
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted) != 0) {
    return fail_closing(fd);
  }
  const timeval idle = to_timeval(idle_limit);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle) != 0) return fail_closing(fd);
  sockaddr_in address = loopback_endpoint(0);
  if (bind(fd, as_sockaddr(address), sizeof address) != 0) return fail_closing(fd);
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return fail_closing(fd);
  int granted = 0;
  socklen_t granted_length = sizeof granted;
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &granted_length) != 0)
    return fail_closing(fd);
  out = receiver_socket{fd, ntohs(address.sin_port), granted};
  return fd;
}

int send_all(int link, const unsigned char* data, std::size_t size) {
  std::size_t sent = 0;
  // Bounded: every pass either moves bytes or ends (SO_SNDTIMEO caps a stall).
  while (sent < size) {
    const ssize_t n = send(link, data + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    sent += static_cast<std::size_t>(n);
  }
  return static_cast<int>(sent);
}

int send_datagram(int fd, const unsigned char* data, std::size_t size, const sockaddr_in& to) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const ssize_t n = sendto(fd, data, size, 0, as_sockaddr(to), sizeof to);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return -errno;
  }
  return -EINTR;
}

}  // namespace bench
