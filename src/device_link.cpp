// Opening the device link: one attempt, read-only afterwards.
#include "device_link.h"

#include "console.h"
#include "loopback.h"

SOCKET open_device_link() {
  const SOCKET device = net::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (device == INVALID_SOCKET) {
    say("Connection failed: %ld\n", static_cast<long>(net::WSAGetLastError()));
    return INVALID_SOCKET;
  }

  say("Connecting to your device... ");
  const sockaddr_in endpoint = loopback_endpoint(device_port);
  if (net::connect(device, as_sockaddr(endpoint), endpoint_length) != 0) {
    // Read before the close, which may overwrite it.
    const long error = net::WSAGetLastError();
    say("Failed: %ld\n", error);
    net::closesocket(device);
    return INVALID_SOCKET;
  }
  say("Done\n");
  return device;
}
