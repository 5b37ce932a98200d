// Winsock 2: each call goes straight to ws2_32.
#include "socket_layer.h"

namespace net {

int WSAStartup(WORD version, WSADATA* data) { return ::WSAStartup(version, data); }

int WSACleanup() { return ::WSACleanup(); }

SOCKET socket(int family, int type, int protocol) { return ::socket(family, type, protocol); }

int connect(SOCKET s, const sockaddr* address, int length) { return ::connect(s, address, length); }

int recv(SOCKET s, char* buffer, int size, int flags) { return ::recv(s, buffer, size, flags); }

int sendto(SOCKET s, const char* data, int size, int flags, const sockaddr* to, int to_length) {
  return ::sendto(s, data, size, flags, to, to_length);
}

int closesocket(SOCKET s) { return ::closesocket(s); }

int WSAGetLastError() { return ::WSAGetLastError(); }

}  // namespace net
