// Fuzzes the relay loop over the scripted platform: arbitrary reads, short
// and failing sends, either end of the stream, the priority raised or not.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "run.h"
#include "scripted_platform.h"

namespace {

constexpr int send_error = 10065;

void require(bool property) {
  if (!property) std::abort();
}

std::string printed(const std::string& text) { return "say " + text; }

}  // namespace

// Input: one byte for the end (bit 0 clear: the orderly end; set: a read
// error) and the priority (bit 1 set: the raise is refused), then a pair of
// bytes per piece: its size (1..64) and how its send goes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool orderly_end = data[0] % 2 == 0;
  const int read_error = 10000 + data[0];

  scripted::Script script;
  script.priority_refused = data[0] / 2 % 2 == 1;
  std::vector<std::string> pieces;
  // A refused raise leaves the log as it is: nothing in it depends on the answer.
  std::vector<std::string> expected = {printed("Starting Tavorin USB Connection\n"),
                                       "WSAStartup 2.2",
                                       "raise priority",
                                       "socket tcp",
                                       printed("Connecting to your device... "),
                                       "connect tcp 127.0.0.1:36487",
                                       printed("Done\n"),
                                       printed("Connecting to Opentrack software... "),
                                       "socket udp",
                                       printed("Done\n"),
                                       printed("Ready to play\n")};
  for (std::size_t i = 1; i + 1 < size; i += 2) {
    std::string piece(1 + data[i] % 64, '\0');
    // Each piece is unlike its neighbours, so a repeat or a swap shows.
    for (std::size_t j = 0; j < piece.size(); ++j) {
      piece[j] = static_cast<char>(script.reads.size() * 31 + j);
    }
    const int how = data[i + 1] % 4;
    const int outcome = how == 0 ? send_error : how == 1 ? -(data[i + 1] % 65) : 0;
    script.reads.push_back({piece, 0});
    script.sends.push_back(outcome);
    expected.push_back("recv tcp 64");
    expected.push_back("sendto udp 127.0.0.1:4242 " + std::to_string(piece.size()));
    if (outcome > 0) {
      expected.push_back(printed("Unable to send data to Opentrack: 10065\n"));
    } else {
      pieces.push_back(piece);
    }
  }
  script.reads.push_back({"", orderly_end ? 0 : read_error});
  expected.push_back("recv tcp 64");
  expected.push_back(orderly_end ? printed("Connection closed\n")
                                 : printed("Unable to receive data from your device: " +
                                           std::to_string(read_error) + "\n"));
  expected.insert(expected.end(), {"closesocket udp", "closesocket tcp", "WSACleanup"});

  scripted::load(script);
  char name[] = "tavorin-relay";
  char port[] = "4242";
  char* argv[] = {name, port, nullptr};
  const int status = run(2, argv);

  // Every piece went out once, in order and unchanged (so none over 64 bytes:
  // the pieces are built that way)...
  require(scripted::datagrams() == pieces);
  // ...with one call each way, the end told as it was, both sockets closed in
  // order and the socket layer stopped once...
  require(scripted::calls() == expected);
  // ...and the exit status tells the end too.
  require(status == (orderly_end ? exit_stream_ended : exit_failed));
  return 0;
}
