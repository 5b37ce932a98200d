// The peers' sockets on Windows: Winsock 2, WSAGetLastError as the code.
// Winsock 2 first: windows.h alone would bring in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <thread>

#include "peer_net.h"
#include "relay_constants.h"

// Not in every mingw-w64 header yet; Windows 10 1803 and later know it.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace peer {
namespace {

SOCKET native(handle s) { return static_cast<SOCKET>(s); }

handle from_native(SOCKET s) { return s == INVALID_SOCKET ? no_socket : static_cast<handle>(s); }

// 127.0.0.1:port, where every peer of the relay lives.
sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in endpoint{};
  endpoint.sin_family = AF_INET;
  endpoint.sin_port = ::htons(port);
  endpoint.sin_addr.s_addr = ::htonl(loopback_address);
  return endpoint;
}

int set_option(handle s, int level, int name, const void* value, int size) {
  return ::setsockopt(native(s), level, name, static_cast<const char*>(value), size) == 0
             ? 0
             : ::WSAGetLastError();
}

// Winsock calls are not cut short by signals (Ctrl-C runs on a thread of its
// own), so unlike on POSIX no wait ends as interrupted.
enum class wait_result { ready, timed_out, failed };

wait_result wait_readable(handle s, clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
  if (left <= 0) return wait_result::timed_out;
  WSAPOLLFD watched{native(s), POLLIN, 0};
  const int ready = ::WSAPoll(&watched, 1, static_cast<INT>(std::min<long long>(left, INT_MAX)));
  if (ready > 0) return wait_result::ready;
  return ready == 0 ? wait_result::timed_out : wait_result::failed;
}

// Claims 127.0.0.1:port for this socket alone: SO_REUSEADDR would let a
// second program take over a port that is in use, the exclusive option makes
// a busy port fail to bind instead. 0, or SOCKET_ERROR with the code in
// WSAGetLastError.
int claim_loopback(handle s, std::uint16_t port) {
  const BOOL on = TRUE;
  const sockaddr_in endpoint = loopback(port);
  if (::setsockopt(native(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
    return SOCKET_ERROR;
  }
  return ::bind(native(s), reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint);
}

// A plain sleep on Windows wakes on a 15.6 ms tick, so poses due every 4 ms
// would leave in bursts of four; a high-resolution timer keeps them apart.
bool wait_on_precise_timer(clock::duration left) {
  static const HANDLE timer = ::CreateWaitableTimerExW(
      nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
  if (timer == nullptr) return false;
  LARGE_INTEGER due;
  // Negative means relative, in units of 100 ns.
  due.QuadPart = -std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() / 100;
  if (!::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) return false;
  return ::WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
}

}  // namespace

void close_socket(handle s) { ::closesocket(native(s)); }

session::session() {
  WSADATA details;
  start_error_ = ::WSAStartup(MAKEWORD(2, 2), &details);
}

session::~session() {
  if (start_error_ == 0) ::WSACleanup();
}

std::string describe_error(int code) {
  // Scripts and people look for the same words on every platform.
  if (code == WSAEADDRINUSE) return "address already in use";
  char* system_text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&system_text), 0, nullptr);
  std::string text = length > 0 && system_text != nullptr ? std::string(system_text, length) : "";
  if (system_text != nullptr) ::LocalFree(system_text);
  // The system's sentences end in a full stop and a line break.
  while (!text.empty() &&
         (std::isspace(static_cast<unsigned char>(text.back())) != 0 || text.back() == '.')) {
    text.pop_back();
  }
  if (text.empty()) text = "socket error";
  text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text + " (error " + std::to_string(code) + ")";
}

// On failure the code is read before the owner closes the socket.
socket_owner open_tcp_listener(std::uint16_t port, int& error) {
  socket_owner s(from_native(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
  if (!s.valid() || claim_loopback(s.get(), port) != 0 || ::listen(native(s.get()), 1) != 0) {
    error = ::WSAGetLastError();
    return socket_owner();
  }
  return s;
}

socket_owner open_udp_socket(std::uint16_t port, int& error) {
  socket_owner s(from_native(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)));
  if (!s.valid() || claim_loopback(s.get(), port) != 0) {
    error = ::WSAGetLastError();
    return socket_owner();
  }
  return s;
}

// Winsock takes a timeout as a DWORD of milliseconds.
int set_send_timeout(handle s, std::chrono::milliseconds limit) {
  const auto timeout = static_cast<DWORD>(limit.count());
  return set_option(s, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

int set_receive_timeout(handle s, std::chrono::milliseconds limit) {
  const auto timeout = static_cast<DWORD>(limit.count());
  return set_option(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

int set_receive_buffer(handle s, int bytes, int& granted) {
  const int refused = set_option(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  if (refused != 0) return refused;
  int length = sizeof granted;
  return ::getsockopt(native(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted),
                      &length) == 0
             ? 0
             : ::WSAGetLastError();
}

int set_no_delay(handle s) {
  const BOOL on = TRUE;
  return set_option(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::uint16_t bound_port(handle s) {
  sockaddr_in endpoint{};
  int length = sizeof endpoint;
  if (::getsockname(native(s), reinterpret_cast<sockaddr*>(&endpoint), &length) != 0) return 0;
  return ::ntohs(endpoint.sin_port);
}

socket_owner accept_until(handle listener, clock::time_point deadline, int& error) {
  error = 0;
  const wait_result waited = wait_readable(listener, deadline);
  if (waited == wait_result::timed_out) return socket_owner();
  if (waited == wait_result::ready) {
    socket_owner peer(from_native(::accept(native(listener), nullptr, nullptr)));
    if (peer.valid()) return peer;
  }
  error = ::WSAGetLastError();
  return socket_owner();
}

bool send_all(handle s, const unsigned char* data, std::size_t size, int& error) {
  std::size_t done = 0;
  // Bounded: every pass moves bytes or ends, and a send timeout caps a stall.
  while (done < size) {
    const int n = ::send(native(s), reinterpret_cast<const char*>(data + done),
                         static_cast<int>(std::min<std::size_t>(size - done, INT_MAX)), 0);
    if (n == SOCKET_ERROR) {
      error = ::WSAGetLastError();
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool send_datagram(handle s, const unsigned char* data, std::size_t size, std::uint16_t port,
                   int& error) {
  const sockaddr_in to = loopback(port);
  if (::sendto(native(s), reinterpret_cast<const char*>(data), static_cast<int>(size), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to) != SOCKET_ERROR) {
    return true;
  }
  error = ::WSAGetLastError();
  return false;
}

long receive_until(handle s, unsigned char* buffer, std::size_t size, clock::time_point deadline,
                   int& error) {
  const wait_result waited = wait_readable(s, deadline);
  if (waited == wait_result::timed_out) return nothing_yet;
  const int n = waited == wait_result::ready
                    ? ::recv(native(s), reinterpret_cast<char*>(buffer),
                             static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0)
                    : SOCKET_ERROR;
  if (n == SOCKET_ERROR) error = ::WSAGetLastError();
  return n;
}

int shut_down_sending(handle s) {
  return ::shutdown(native(s), SD_SEND) == 0 ? 0 : ::WSAGetLastError();
}

void sleep_until(clock::time_point due) {
  const clock::duration left = due - clock::now();
  if (left <= clock::duration::zero()) return;
  if (!wait_on_precise_timer(left)) std::this_thread::sleep_until(due);
}

}  // namespace peer
