// The relay loop: one recv and one sendto per piece, nothing else.
#include "opentrack_relay.h"

#include "console.h"
#include "loopback.h"

bool relay_to_opentrack(SOCKET device, std::uint16_t udp_port) {
  say("Connecting to Opentrack software... ");
  const SOCKET opentrack = net::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (opentrack == INVALID_SOCKET) {
    const long error = net::WSAGetLastError();
    say("Failed: %ld\n", error);
    net::closesocket(device);
    return false;
  }
  say("Done\n");
  say("Ready to play\n");

  // Everything the loop touches is ready before the first read, so a piece
  // costs exactly one recv and one sendto.
  const sockaddr_in endpoint = loopback_endpoint(udp_port);
  char relay_buffer[relay_buffer_size];
  int n;
  while ((n = net::recv(device, relay_buffer, relay_buffer_size, 0)) > 0) {
    // A piece that could not be sent is dropped, never sent twice.
    if (net::sendto(opentrack, relay_buffer, n, 0, as_sockaddr(endpoint), endpoint_length) < 0) {
      say("Unable to send data to Opentrack: %d\n", net::WSAGetLastError());
    }
  }

  const bool ended_in_order = n == 0;
  if (ended_in_order) {
    say("Connection closed\n");
  } else {
    say("Unable to receive data from your device: %d\n", net::WSAGetLastError());
  }
  net::closesocket(opentrack);
  net::closesocket(device);
  return ended_in_order;
}
