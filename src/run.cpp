// The run sequence: check the argument, start the socket layer, link, relay.
#include "run.h"

#include <optional>

#include "console.h"
#include "device_link.h"
#include "opentrack_relay.h"
#include "process_priority.h"
#include "socket_layer.h"
#include "udp_port.h"

int run(int argc, char* argv[]) {
  std::optional<std::uint16_t> udp_port;
  if (argc == 2) udp_port = parse_udp_port(argv[1]);
  if (!udp_port) {
    // A program can be started with no name at all (an empty argument list).
    say("Usage: %s udp_port\n", argc > 0 && argv[0] != nullptr ? argv[0] : "tavorin-relay");
    return exit_usage;
  }

  say("Starting Tavorin USB Connection\n");
  WSADATA details;
  const int started = net::WSAStartup(MAKEWORD(2, 2), &details);
  if (started != 0) {
    say("Startup failed: %d\n", started);
    return exit_failed;
  }

  // A game keeps every CPU busy; a relay woken late finds two poses waiting
  // and sends them as a 64-byte piece and a short one, which Opentrack shows
  // as a jolt of the view. Refused, the relay works as it always did, so the
  // answer changes nothing here.
  (void)raise_priority();

  const SOCKET device = open_device_link();
  const bool ended_in_order = device != INVALID_SOCKET && relay_to_opentrack(device, *udp_port);
  net::WSACleanup();
  return ended_in_order ? exit_stream_ended : exit_failed;
}
