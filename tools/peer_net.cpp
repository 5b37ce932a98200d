// The platform half of the tools' sockets: Winsock 2 on Windows, BSD sockets elsewhere.
#include "peer_net.h"

#include <cctype>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

// The relay's own way of naming 127.0.0.1:port.
#include "loopback.h"

namespace peer {
namespace {

#ifdef _WIN32
using native_socket = SOCKET;
constexpr native_socket native_invalid = INVALID_SOCKET;
constexpr int address_in_use = WSAEADDRINUSE;
constexpr int send_flags = 0;
constexpr int shut_send = SD_SEND;
using io_size = int;

int close_native(native_socket s) { return ::closesocket(s); }
// Winsock calls are not cut short by signals: Ctrl-C runs on its own thread.
bool was_interrupted(int /*code*/) { return false; }
int poll_native(pollfd* watched, int milliseconds) { return ::WSAPoll(watched, 1, milliseconds); }

// On Windows SO_REUSEADDR would let a second program take over a port that is
// in use; the exclusive option makes a busy port fail to bind instead.
int claim_port_exclusively(native_socket s, int /*type*/) {
  BOOL on = TRUE;
  return ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                      sizeof on);
}

std::string system_text(int code) {
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length > 0 && text != nullptr ? std::string(text, length) : "socket error";
  if (text != nullptr) ::LocalFree(text);
  return result;
}
#else
using native_socket = int;
constexpr native_socket native_invalid = -1;
constexpr int address_in_use = EADDRINUSE;
// A peer that has gone away must give EPIPE here, not a SIGPIPE that kills us.
constexpr int send_flags = MSG_NOSIGNAL;
constexpr int shut_send = SHUT_WR;
using io_size = std::size_t;

int close_native(native_socket s) { return ::close(s); }
bool was_interrupted(int code) { return code == EINTR; }
int poll_native(pollfd* watched, int milliseconds) { return ::poll(watched, 1, milliseconds); }

// SO_REUSEADDR on Linux only skips the wait after a previous listener's
// connections (TIME_WAIT); a port someone still listens on stays busy. For
// UDP it would let two receivers share the port, so it is left off there.
int claim_port_exclusively(native_socket s, int type) {
  if (type != SOCK_STREAM) return 0;
  int on = 1;
  return ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

std::string system_text(int code) { return std::strerror(code); }
#endif

#ifdef _WIN32
// Not in every mingw-w64 header yet; Windows 10 1803 and later know it.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// A plain sleep on Windows wakes on a 15.6 ms tick, so poses due every 4 ms
// would leave in bursts of four; a high-resolution timer keeps them apart.
bool wait_on_precise_timer(std::chrono::steady_clock::duration left) {
  static const HANDLE timer = ::CreateWaitableTimerExW(
      nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
  if (timer == nullptr) return false;
  LARGE_INTEGER due;
  // Negative means relative, in units of 100 ns.
  due.QuadPart = -std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() / 100;
  if (!::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) return false;
  return ::WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
}
#else
// POSIX sleeps are already as fine as the scheduler allows.
bool wait_on_precise_timer(std::chrono::steady_clock::duration /*left*/) { return false; }
#endif

native_socket to_native(handle s) { return static_cast<native_socket>(s); }
handle from_native(native_socket s) {
  return s == native_invalid ? no_socket : static_cast<handle>(s);
}

// Creates, claims and binds; a listener also starts listening. On failure the
// socket is closed by its owner after the code has been read.
socket_owner open_bound(int type, int protocol, std::uint16_t port, int& error) {
  socket_owner s(from_native(::socket(AF_INET, type, protocol)));
  if (!s.valid()) {
    error = last_error();
    return s;
  }
  const sockaddr_in endpoint = loopback_endpoint(port);
  if (claim_port_exclusively(to_native(s.get()), type) != 0 ||
      ::bind(to_native(s.get()), reinterpret_cast<const sockaddr*>(&endpoint),
             sizeof endpoint) != 0 ||
      (type == SOCK_STREAM && ::listen(to_native(s.get()), 1) != 0)) {
    error = last_error();
    return socket_owner();
  }
  return s;
}

}  // namespace

socket_owner& socket_owner::operator=(socket_owner&& other) noexcept {
  if (this != &other) {
    close();
    s_ = other.release();
  }
  return *this;
}

handle socket_owner::release() {
  const handle s = s_;
  s_ = no_socket;
  return s;
}

// Never retried: the handle is gone even when the close reports an error,
// and a second close could hit a handle opened since.
void socket_owner::close() {
  if (s_ != no_socket) close_native(to_native(release()));
}

#ifdef _WIN32
session::session() {
  WSADATA details;
  start_error_ = ::WSAStartup(MAKEWORD(2, 2), &details);
}
session::~session() {
  if (start_error_ == 0) ::WSACleanup();
}
int last_error() { return ::WSAGetLastError(); }
#else
session::session() = default;
session::~session() = default;
int last_error() { return errno; }
#endif

std::string describe_error(int code) {
  // Scripts and people look for the same words on every platform.
  if (code == address_in_use) return "address already in use";
  std::string text = system_text(code);
  while (!text.empty() && (std::isspace(static_cast<unsigned char>(text.back())) != 0 ||
                           text.back() == '.')) {
    text.pop_back();
  }
  if (!text.empty()) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  return text + " (error " + std::to_string(code) + ")";
}

socket_owner open_tcp_listener(std::uint16_t port, int& error) {
  return open_bound(SOCK_STREAM, IPPROTO_TCP, port, error);
}

socket_owner open_udp_receiver(std::uint16_t port, int& error) {
  return open_bound(SOCK_DGRAM, IPPROTO_UDP, port, error);
}

int set_send_timeout(handle s, int milliseconds) {
#ifdef _WIN32
  const DWORD timeout = static_cast<DWORD>(milliseconds);
#else
  timeval timeout{};
  timeout.tv_sec = milliseconds / 1000;
  timeout.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
#endif
  if (::setsockopt(to_native(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof timeout) != 0) {
    return last_error();
  }
  return 0;
}

int set_receive_buffer(handle s, int bytes) {
  if (::setsockopt(to_native(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                   sizeof bytes) != 0) {
    return last_error();
  }
  return 0;
}

wait_result wait_readable(handle s, int milliseconds) {
  pollfd watched{};
  watched.fd = to_native(s);
  watched.events = POLLIN;
  const int ready = poll_native(&watched, milliseconds);
  if (ready > 0) return wait_result::ready;
  if (ready == 0) return wait_result::timed_out;
  return was_interrupted(last_error()) ? wait_result::interrupted : wait_result::failed;
}

socket_owner accept_peer(handle listener) {
  return socket_owner(from_native(::accept(to_native(listener), nullptr, nullptr)));
}

bool send_all(handle s, const unsigned char* data, std::size_t size, int& error) {
  std::size_t done = 0;
  while (done < size) {
    const auto n = ::send(to_native(s), reinterpret_cast<const char*>(data + done),
                          static_cast<io_size>(size - done), send_flags);
    if (n < 0) {
      error = last_error();
      if (was_interrupted(error)) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

long receive_some(handle s, unsigned char* buffer, std::size_t size) {
  for (;;) {
    const auto n = ::recv(to_native(s), reinterpret_cast<char*>(buffer), static_cast<io_size>(size), 0);
    if (n < 0 && was_interrupted(last_error())) continue;
    return static_cast<long>(n);
  }
}

int shut_down_sending(handle s) {
  return ::shutdown(to_native(s), shut_send) == 0 ? 0 : last_error();
}

void sleep_until(std::chrono::steady_clock::time_point due) {
  const auto left = due - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return;
  if (!wait_on_precise_timer(left)) std::this_thread::sleep_until(due);
}

}  // namespace peer
