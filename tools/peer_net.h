// Loopback sockets for the companion tools, with one shape on Winsock and POSIX.
//
// The programs see only this header: handles are plain integers and every
// platform detail (headers, option names, error texts) stays in peer_net.cpp.
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

// Owns one socket and closes it on scope exit, so every early return of a
// tool releases what it opened.
class socket_owner {
 public:
  socket_owner() = default;
  explicit socket_owner(handle s) : s_(s) {}
  socket_owner(const socket_owner&) = delete;
  socket_owner& operator=(const socket_owner&) = delete;
  socket_owner(socket_owner&& other) noexcept : s_(other.release()) {}
  socket_owner& operator=(socket_owner&& other) noexcept;
  ~socket_owner() { close(); }

  handle get() const { return s_; }
  bool valid() const { return s_ != no_socket; }
  handle release();
  void close();

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

// The code of the last failing socket call, as the platform numbers it.
int last_error();
// A short lower-case text for an error code, with the code itself appended
// when the platform's own wording is used.
std::string describe_error(int code);

// Each opener returns an invalid owner and leaves the code in `error`.
// A TCP listener on 127.0.0.1:port that no other program can share.
socket_owner open_tcp_listener(std::uint16_t port, int& error);
// A UDP socket bound to 127.0.0.1:port, exclusive in the same way.
socket_owner open_udp_receiver(std::uint16_t port, int& error);

// Makes a send that cannot progress for `milliseconds` fail instead of
// blocking on; returns 0 or the error code.
int set_send_timeout(handle s, int milliseconds);

// Asks for a receive buffer of `bytes`; returns 0 or the error code. The
// system may grant less than asked without reporting it.
int set_receive_buffer(handle s, int bytes);

enum class wait_result { ready, timed_out, interrupted, failed };
// Waits until `s` has something to read (data, a connection, or the end of
// the stream). A signal ends the wait early as `interrupted`, so a tool can
// look at its stop flag.
wait_result wait_readable(handle s, int milliseconds);

// Accepts one pending connection; invalid owner on failure.
socket_owner accept_peer(handle listener);

// Sends all `size` bytes in one send() unless the system takes only part of
// them. Returns true, or false with the code in `error`. A peer that is gone
// gives an error, never a signal that ends the process.
bool send_all(handle s, const unsigned char* data, std::size_t size, int& error);

// One recv(): bytes stored (a whole datagram on UDP), 0 at the orderly end
// of a stream or for an empty datagram, -1 on error.
long receive_some(handle s, unsigned char* buffer, std::size_t size);

// Ends our direction of a TCP stream: the peer reads the end after the data.
int shut_down_sending(handle s);

// Sleeps until `due` as precisely as the platform can, for pacing a stream.
void sleep_until(std::chrono::steady_clock::time_point due);

}  // namespace peer
