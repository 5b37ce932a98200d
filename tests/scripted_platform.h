// A scripted platform for tests: it plays the part of the socket layer, of
// the process's priority and of the console from a script, and records every
// call and every message of the relay in one log, in order.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "socket_layer.h"

namespace scripted {

// One result of recv: bytes to hand over, the orderly end, or an error.
struct Read {
  std::string bytes;  // handed over when error is 0; empty means the end
  int error = 0;      // non-zero: recv fails with this code
};

struct Script {
  int startup_result = 0;         // what WSAStartup returns
  bool priority_refused = false;  // the system keeps the priority as it is
  int tcp_socket_error = 0;       // non-zero: the TCP socket fails with it
  int connect_error = 0;          // non-zero: connect fails with it
  int udp_socket_error = 0;       // non-zero: the UDP socket fails with it
  std::vector<Read> reads;        // recv results, in order
  // Per sendto, in order: 0 sends the datagram; > 0 fails with that code;
  // < 0 reports that many bytes fewer than asked, which a datagram socket
  // never does, but which must not make the relay send a piece twice.
  std::vector<int> sends;

  // One setter per field, so a script says what it plays: in a list of bare
  // values, two codes in swapped places would still compile.
  Script& startup_fails(int code) {
    startup_result = code;
    return *this;
  }
  Script& priority_refuses() {
    priority_refused = true;
    return *this;
  }
  Script& tcp_socket_fails(int code) {
    tcp_socket_error = code;
    return *this;
  }
  Script& connect_fails(int code) {
    connect_error = code;
    return *this;
  }
  Script& udp_socket_fails(int code) {
    udp_socket_error = code;
    return *this;
  }
  Script& reading(std::vector<Read> results) {
    reads = std::move(results);
    return *this;
  }
  Script& sending(std::vector<int> outcomes) {
    sends = std::move(outcomes);
    return *this;
  }
};

// The parts of a script by name: a read that hands over bytes, the orderly
// end, a failing read; a send that goes out, fails, or comes up short.
inline Read piece(std::string bytes) { return {std::move(bytes), 0}; }
inline Read stream_end() { return {}; }
inline Read read_fails(int code) { return {"", code}; }
constexpr int sent = 0;
constexpr int send_fails(int code) { return code; }
constexpr int sent_short_by(int bytes) { return -bytes; }

// The handles the script gives out, so tests can name them in the call log.
constexpr SOCKET tcp_handle = 3;
constexpr SOCKET udp_handle = 4;

// Starts a fresh run of the given script.
void load(const Script& script);

// Every call and message since load(), one entry each, in order: e.g.
// "connect tcp 127.0.0.1:36487", "raise priority", or "say Done\n" for a
// message.
const std::vector<std::string>& calls();

// The payload of every sendto that did not fail, in order.
const std::vector<std::string>& datagrams();

}  // namespace scripted
