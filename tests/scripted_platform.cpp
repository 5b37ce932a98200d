// The scripted platform: each call logs itself and answers from the script,
// and each message goes to the same log instead of the console.
#include "scripted_platform.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "console.h"
#include "process_priority.h"

namespace scripted {
namespace {

Script script;
std::size_t next_read = 0;
std::size_t next_send = 0;
int last_error = 0;
std::vector<std::string> call_log;
std::vector<std::string> sent_datagrams;

// Closing a socket or printing may leave a different code behind; a caller
// that reads the code late then prints this instead of the real one.
constexpr int clobbered = 99999;

std::string name_of(SOCKET s) {
  if (s == tcp_handle) return "tcp";
  if (s == udp_handle) return "udp";
  return "unknown socket " + std::to_string(static_cast<long long>(s));
}

std::string describe(const sockaddr* address, int length) {
  if (length != static_cast<int>(sizeof(sockaddr_in))) {
    return "address of length " + std::to_string(length);
  }
  sockaddr_in endpoint;
  std::memcpy(&endpoint, address, sizeof endpoint);
  if (endpoint.sin_family != AF_INET) return "address of another family";
  const unsigned long host = ntohl(endpoint.sin_addr.s_addr);
  char text[32];
  std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu:%u", (host >> 24U) & 0xFFU,
                (host >> 16U) & 0xFFU, (host >> 8U) & 0xFFU, host & 0xFFU,
                static_cast<unsigned>(ntohs(endpoint.sin_port)));
  return text;
}

int fail(int error) {
  last_error = error;
  return -1;
}

SOCKET fail_socket(int error) {
  last_error = error;
  return INVALID_SOCKET;
}

}  // namespace

void load(const Script& new_script) {
  script = new_script;
  next_read = 0;
  next_send = 0;
  last_error = 0;
  call_log.clear();
  sent_datagrams.clear();
}

const std::vector<std::string>& calls() { return call_log; }

const std::vector<std::string>& datagrams() { return sent_datagrams; }

}  // namespace scripted

namespace net {
using namespace scripted;

int WSAStartup(WORD version, WSADATA* /*data*/) {
  call_log.push_back("WSAStartup " + std::to_string(version & 0xFFU) + "." +
                     std::to_string(version >> 8U));
  return script.startup_result;
}

int WSACleanup() {
  call_log.emplace_back("WSACleanup");
  return 0;
}

SOCKET socket(int family, int type, int protocol) {
  const bool tcp = family == AF_INET && type == SOCK_STREAM && protocol == IPPROTO_TCP;
  const bool udp = family == AF_INET && type == SOCK_DGRAM && protocol == IPPROTO_UDP;
  if (!tcp && !udp) {
    call_log.push_back("socket of unexpected kind " + std::to_string(family) + "," +
                       std::to_string(type) + "," + std::to_string(protocol));
    return fail_socket(clobbered);
  }
  call_log.push_back(tcp ? "socket tcp" : "socket udp");
  const int error = tcp ? script.tcp_socket_error : script.udp_socket_error;
  if (error != 0) return fail_socket(error);
  return tcp ? tcp_handle : udp_handle;
}

int connect(SOCKET s, const sockaddr* address, int length) {
  call_log.push_back("connect " + name_of(s) + " " + describe(address, length));
  if (script.connect_error != 0) return fail(script.connect_error);
  return 0;
}

int recv(SOCKET s, char* buffer, int size, int flags) {
  call_log.push_back("recv " + name_of(s) + " " + std::to_string(size) +
                     (flags == 0 ? "" : " with flags"));
  if (next_read == script.reads.size()) {
    // A script that ran out is a test fault: end the loop loudly.
    call_log.emplace_back("recv past the end of the script");
    return fail(clobbered);
  }
  const Read& read = script.reads[next_read++];
  if (read.error != 0) return fail(read.error);
  if (read.bytes.size() > static_cast<std::size_t>(size)) {
    call_log.emplace_back("scripted read larger than the buffer");
    return fail(clobbered);
  }
  read.bytes.copy(buffer, read.bytes.size());
  return static_cast<int>(read.bytes.size());
}

int sendto(SOCKET s, const char* data, int size, int flags, const sockaddr* to, int to_length) {
  call_log.push_back("sendto " + name_of(s) + " " + describe(to, to_length) + " " +
                     std::to_string(size) + (flags == 0 ? "" : " with flags"));
  const int outcome = next_send < script.sends.size() ? script.sends[next_send] : 0;
  ++next_send;
  if (outcome > 0) return fail(outcome);
  sent_datagrams.emplace_back(data, static_cast<std::size_t>(size));
  return outcome < 0 ? std::max(0, size + outcome) : size;
}

int closesocket(SOCKET s) {
  call_log.push_back("closesocket " + name_of(s));
  last_error = clobbered;
  return 0;
}

int WSAGetLastError() { return last_error; }

}  // namespace net

// Like any system call, it may leave a code of its own behind: a socket
// error read after it instead of at once would show the wrong one.
bool raise_priority() {
  scripted::call_log.emplace_back("raise priority");
  scripted::last_error = scripted::clobbered;
  return !scripted::script.priority_refused;
}

// Stands in for the console: a message is logged where it falls among the
// calls, so a prompt printed after its blocking call shows.
void say(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  scripted::call_log.push_back(std::string("say ") + text);
  scripted::last_error = scripted::clobbered;
}
