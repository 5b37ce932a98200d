// The socket calls the relay makes, with one shape on every platform.
//
// On Windows the types come from Winsock 2 and each call forwards to ws2_32.
// On POSIX a stand-in gives the same names: SOCKET is a descriptor, start and
// stop simply succeed, and WSAGetLastError() is errno. Tests link a third,
// scripted implementation, so the relay code never needs a platform #ifdef.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
using WORD = unsigned short;
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
};
constexpr WORD MAKEWORD(unsigned low, unsigned high) {
  return static_cast<WORD>((low & 0xFFU) | ((high & 0xFFU) << 8U));
}
#endif

namespace net {

// Returns 0, or the error code itself (not through WSAGetLastError).
int WSAStartup(WORD version, WSADATA* data);
int WSACleanup();

// Returns INVALID_SOCKET on failure.
SOCKET socket(int family, int type, int protocol);
// Blocks until connected; returns 0, or -1 on failure.
int connect(SOCKET s, const sockaddr* address, int length);
// Returns the bytes stored (1..size), 0 at the orderly end, or < 0 on error.
int recv(SOCKET s, char* buffer, int size, int flags);
// Sends one datagram; returns the bytes sent, or -1 on failure.
int sendto(SOCKET s, const char* data, int size, int flags, const sockaddr* to, int to_length);
int closesocket(SOCKET s);

// The code of the last failing call above, as the platform numbers it.
int WSAGetLastError();

}  // namespace net
