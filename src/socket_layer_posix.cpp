// The POSIX stand-in for Winsock 2: same calls, errno as the error code.
#include <cerrno>

#include <poll.h>
#include <unistd.h>

#include "socket_layer.h"

namespace net {

// There is no socket library to start or stop on POSIX.
int WSAStartup(WORD version, WSADATA* data) {
  if (data != nullptr) {
    data->wVersion = version;
    data->wHighVersion = version;
  }
  return 0;
}

int WSACleanup() { return 0; }

SOCKET socket(int family, int type, int protocol) { return ::socket(family, type, protocol); }

// A connect interrupted by a signal goes on in the background and must not be
// restarted (that fails with EALREADY): wait for it to finish and take its
// outcome from SO_ERROR instead.
int connect(SOCKET s, const sockaddr* address, int length) {
  if (::connect(s, address, static_cast<socklen_t>(length)) == 0) return 0;
  if (errno != EINTR) return -1;
  pollfd pending{s, POLLOUT, 0};
  while (::poll(&pending, 1, -1) < 0) {
    if (errno != EINTR) return -1;
  }
  int error = 0;
  socklen_t error_length = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &error_length) < 0) return -1;
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}

int recv(SOCKET s, char* buffer, int size, int flags) {
  ssize_t n;
  do {
    n = ::recv(s, buffer, static_cast<size_t>(size), flags);
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}

int sendto(SOCKET s, const char* data, int size, int flags, const sockaddr* to, int to_length) {
  ssize_t n;
  do {
    n = ::sendto(s, data, static_cast<size_t>(size), flags, to, static_cast<socklen_t>(to_length));
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}

// Never retried: Linux releases the descriptor even when close reports EINTR,
// and a second close could hit a descriptor opened since.
int closesocket(SOCKET s) { return ::close(s); }

int WSAGetLastError() { return errno; }

}  // namespace net
