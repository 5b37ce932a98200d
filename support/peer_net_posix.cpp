// The peers' sockets on POSIX: BSD sockets, errno as the code, EINTR retried.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "peer_net.h"
#include "relay_constants.h"

namespace peer {
namespace {

int fd(handle s) { return static_cast<int>(s); }

// 127.0.0.1:port, where every peer of the relay lives.
sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in endpoint{};
  endpoint.sin_family = AF_INET;
  endpoint.sin_port = htons(port);
  endpoint.sin_addr.s_addr = htonl(loopback_address);
  return endpoint;
}

int set_option(handle s, int level, int name, const void* value, socklen_t size) {
  return ::setsockopt(fd(s), level, name, value, size) == 0 ? 0 : errno;
}

timeval as_timeval(std::chrono::milliseconds span) {
  timeval out{};
  out.tv_sec = static_cast<time_t>(span.count() / 1000);
  out.tv_usec = static_cast<suseconds_t>(span.count() % 1000) * 1000;
  return out;
}

enum class wait_result { ready, timed_out, interrupted, failed };

// Waits until `s` has something to read (data, a connection, or the end of
// a stream) or the deadline passes; the code of a failure is in errno.
wait_result wait_readable(handle s, clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
  if (left <= 0) return wait_result::timed_out;
  pollfd watched{fd(s), POLLIN, 0};
  const int ready = ::poll(&watched, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
  if (ready > 0) return wait_result::ready;
  if (ready == 0) return wait_result::timed_out;
  return errno == EINTR ? wait_result::interrupted : wait_result::failed;
}

// 0, or -1 with the code in errno.
int bind_loopback(handle s, std::uint16_t port) {
  const sockaddr_in endpoint = loopback(port);
  return ::bind(fd(s), reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint);
}

}  // namespace

void close_socket(handle s) { ::close(fd(s)); }

// There is no socket library to start or stop on POSIX.
session::session() = default;
session::~session() = default;

std::string describe_error(int code) {
  // Scripts and people look for the same words on every platform.
  if (code == EADDRINUSE) return "address already in use";
  std::string text = std::strerror(code);
  text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text + " (error " + std::to_string(code) + ")";
}

// Nothing the benchmark starts later (a relay) inherits these sockets. On
// failure the code is read before the owner closes the socket.
socket_owner open_tcp_listener(std::uint16_t port, int& error) {
  socket_owner s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  // SO_REUSEADDR on Linux only skips the wait after a previous listener's
  // connections (TIME_WAIT); a port someone still listens on stays busy.
  const int on = 1;
  if (!s.valid() || ::setsockopt(fd(s.get()), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind_loopback(s.get(), port) != 0 || ::listen(fd(s.get()), 1) != 0) {
    error = errno;
    return socket_owner();
  }
  return s;
}

// Without SO_REUSEADDR, which would let two receivers share a UDP port.
socket_owner open_udp_socket(std::uint16_t port, int& error) {
  socket_owner s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s.valid() || bind_loopback(s.get(), port) != 0) {
    error = errno;
    return socket_owner();
  }
  return s;
}

int set_send_timeout(handle s, std::chrono::milliseconds limit) {
  const timeval timeout = as_timeval(limit);
  return set_option(s, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

int set_receive_timeout(handle s, std::chrono::milliseconds limit) {
  const timeval timeout = as_timeval(limit);
  return set_option(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

// Root may pass net.core.rmem_max; anyone else gets up to that limit.
int set_receive_buffer(handle s, int bytes, int& granted) {
  if (set_option(s, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    const int refused = set_option(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    if (refused != 0) return refused;
  }
  socklen_t length = sizeof granted;
  return ::getsockopt(fd(s), SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0 ? 0 : errno;
}

int set_no_delay(handle s) {
  const int on = 1;
  return set_option(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::uint16_t bound_port(handle s) {
  sockaddr_in endpoint{};
  socklen_t length = sizeof endpoint;
  if (::getsockname(fd(s), reinterpret_cast<sockaddr*>(&endpoint), &length) != 0) return 0;
  return ntohs(endpoint.sin_port);
}

socket_owner accept_until(handle listener, clock::time_point deadline, int& error) {
  error = 0;
  for (;;) {
    const wait_result waited = wait_readable(listener, deadline);
    if (waited == wait_result::timed_out) return socket_owner();
    if (waited == wait_result::interrupted) continue;
    if (waited == wait_result::ready) {
      const int peer = ::accept4(fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
      if (peer >= 0) return socket_owner(peer);
      // A connection reset while it waited is gone, not a failure of ours.
      if (errno == EINTR || errno == ECONNABORTED) continue;
    }
    error = errno;
    return socket_owner();
  }
}

bool send_all(handle s, const unsigned char* data, std::size_t size, int& error) {
  std::size_t done = 0;
  // Bounded: every pass moves bytes or ends, and a send timeout caps a stall.
  while (done < size) {
    // A peer that has gone away must give EPIPE here, not a SIGPIPE.
    const ssize_t n = ::send(fd(s), data + done, size - done, MSG_NOSIGNAL);
    if (n >= 0) {
      done += static_cast<std::size_t>(n);
    } else if (errno != EINTR) {
      error = errno;
      return false;
    }
  }
  return true;
}

bool send_datagram(handle s, const unsigned char* data, std::size_t size, std::uint16_t port,
                   int& error) {
  const sockaddr_in to = loopback(port);
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (::sendto(fd(s), data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0) {
      return true;
    }
    error = errno;
    if (error != EINTR) return false;
  }
  return false;
}

long receive_until(handle s, unsigned char* buffer, std::size_t size, clock::time_point deadline,
                   int& error) {
  const wait_result waited = wait_readable(s, deadline);
  if (waited == wait_result::timed_out || waited == wait_result::interrupted) return nothing_yet;
  ssize_t n = -1;
  if (waited == wait_result::ready) {
    do {
      n = ::recv(fd(s), buffer, size, 0);
    } while (n < 0 && errno == EINTR);
  }
  if (n < 0) error = errno;
  return static_cast<long>(n);
}

int shut_down_sending(handle s) { return ::shutdown(fd(s), SHUT_WR) == 0 ? 0 : errno; }

// steady_clock is CLOCK_MONOTONIC here, so `due` is an absolute instant the
// kernel sleeps to: no time is lost computing how long is left.
void sleep_until(clock::time_point due) {
  const auto since_boot =
      std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
  timespec target{};
  target.tv_sec = static_cast<time_t>(since_boot / 1000000000);
  target.tv_nsec = static_cast<long>(since_boot % 1000000000);
  // A signal only cuts the sleep short; the next call resumes the same target.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr) != EINTR) return;
  }
}

}  // namespace peer
