// Loopback sockets for the relay's peers (the companions and the benchmark),
// with one shape on Winsock and POSIX.
//
// Callers see only this header: handles are plain integers, and every platform
// detail (headers, option names, error texts, timers) stays in
// peer_net_win32.cpp or peer_net_posix.cpp, of which CMake builds one. Both
// define the same functions in the same order.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace peer {

// A socket handle: a descriptor on POSIX, a SOCKET on Windows. Both fit an
// intptr_t, and both use all bits set (-1) for "no socket".
using handle = std::intptr_t;
constexpr handle no_socket = -1;

// Every deadline and every paced instant is on this clock.
using clock = std::chrono::steady_clock;

// Never retried: the handle is gone even when the close reports an error,
// and a second close could hit a handle opened since.
void close_socket(handle s);

// Owns one socket and closes it on scope exit, so every early return
// releases what it opened.
class socket_owner {
 public:
  socket_owner() = default;
  explicit socket_owner(handle s) : s_(s) {}
  socket_owner(const socket_owner&) = delete;
  socket_owner& operator=(const socket_owner&) = delete;
  socket_owner(socket_owner&& other) noexcept : s_(other.release()) {}
  socket_owner& operator=(socket_owner&& other) noexcept {
    if (this != &other) {
      close();
      s_ = other.release();
    }
    return *this;
  }
  ~socket_owner() { close(); }

  handle get() const { return s_; }
  bool valid() const { return s_ != no_socket; }
  handle release() {
    const handle s = s_;
    s_ = no_socket;
    return s;
  }
  void close() {
    if (valid()) close_socket(release());
  }

 private:
  handle s_ = no_socket;
};

// Starts and stops the platform's socket library for the life of main().
class session {
 public:
  session();
  // Not defaulted here: on Windows it stops the library.
  ~session();  // NOLINT(performance-trivially-destructible)
  session(const session&) = delete;
  session& operator=(const session&) = delete;
  // 0, or the error code of a failed start.
  int start_error() const { return start_error_; }

 private:
  int start_error_ = 0;
};

// A short lower-case text for an error code, with the code itself appended
// when the platform's own wording is used.
std::string describe_error(int code);

// Each opener returns an invalid owner and leaves the code in `error`.
// A TCP listener on 127.0.0.1:port that no other program can share.
socket_owner open_tcp_listener(std::uint16_t port, int& error);
// A UDP socket bound to 127.0.0.1:port, exclusive in the same way; port 0
// takes a free one (see bound_port).
socket_owner open_udp_socket(std::uint16_t port, int& error);

// Socket options; each returns 0 or the error code.
// A send that cannot progress for `limit` fails instead of blocking on.
int set_send_timeout(handle s, std::chrono::milliseconds limit);
// A receive that finds nothing for `limit` fails with the platform's
// would-block code instead of blocking on.
int set_receive_timeout(handle s, std::chrono::milliseconds limit);
// Asks for a receive buffer of `bytes` and gives in `granted` what the
// system grants, which may be less (or, on Linux, twice the size asked).
int set_receive_buffer(handle s, int bytes, int& granted);
// Each write on a TCP stream leaves as its own segment at once.
int set_no_delay(handle s);

// The port `s` is bound to, or 0 if it cannot be read.
std::uint16_t bound_port(handle s);

// Waits until `deadline` for a connection and accepts it. An invalid owner
// with `error` 0 means the deadline came first.
socket_owner accept_until(handle listener, clock::time_point deadline, int& error);

// Sends all `size` bytes on a stream, in one send unless the system takes
// only part of them. Returns true, or false with the code in `error`. A
// peer that is gone gives an error, never a signal that ends the process.
bool send_all(handle s, const unsigned char* data, std::size_t size, int& error);

// Sends one datagram to 127.0.0.1:port; true, or false with the code in `error`.
bool send_datagram(handle s, const unsigned char* data, std::size_t size, std::uint16_t port,
                   int& error);

// What receive_until gives when nothing came before the deadline, or a
// signal ended the wait early (so a program can look at its stop flag).
constexpr long nothing_yet = -2;

// Waits until `deadline` for something to read and reads it with one recv:
// the bytes stored (a whole datagram on UDP), 0 at the orderly end of a
// stream or for an empty datagram, nothing_yet, or -1 with the code in `error`.
long receive_until(handle s, unsigned char* buffer, std::size_t size, clock::time_point deadline,
                   int& error);

// Ends our direction of a TCP stream: the peer reads the end after the
// data. Returns 0 or the error code.
int shut_down_sending(handle s);

// Sleeps until `due` as precisely as the platform can, for pacing a stream
// on an absolute schedule that never drifts by the time spent between
// wake-ups.
void sleep_until(clock::time_point due);

}  // namespace peer
