// Fuzzes the relay loop over the scripted socket layer: arbitrary reads,
// short and failing sends, and either end of the stream.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "run.h"
#include "scripted_socket_layer.h"

namespace {

constexpr int send_error = 10065;

void require(bool property) {
  if (!property) std::abort();
}

// glibc lets a program point stdout elsewhere, which is how the transcript of
// each run is kept without touching the program.
std::string run_capturing(int* status) {
  char* text = nullptr;
  std::size_t length = 0;
  FILE* capture = open_memstream(&text, &length);
  require(capture != nullptr);
  FILE* const console = stdout;
  stdout = capture;
  char name[] = "tavorin-relay";
  char port[] = "4242";
  char* argv[] = {name, port, nullptr};
  *status = run(2, argv);
  stdout = console;
  std::fclose(capture);
  std::string transcript(text, length);
  std::free(text);
  return transcript;
}

}  // namespace

// Input: one byte for the end (even: the orderly end; odd: a read error),
// then a pair of bytes per piece: its size (1..64) and how its send goes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool orderly_end = data[0] % 2 == 0;
  const int read_error = 10000 + data[0];

  scripted::Script script;
  std::vector<std::string> pieces;
  std::string expected = "Starting Tavorin USB Connection\n"
                         "Connecting to your device... Done\n"
                         "Connecting to Opentrack software... Done\n"
                         "Ready to play\n";
  std::vector<std::string> expected_calls = {"WSAStartup 2.2", "socket tcp",
                                             "connect tcp 127.0.0.1:36487", "socket udp"};
  for (std::size_t i = 1; i + 1 < size; i += 2) {
    std::string piece(1 + data[i] % 64, '\0');
    // Each piece is unlike its neighbours, so a repeat or a swap shows.
    for (std::size_t j = 0; j < piece.size(); ++j) {
      piece[j] = static_cast<char>(pieces.size() * 31 + j);
    }
    const int how = data[i + 1] % 4;
    const int outcome = how == 0 ? send_error : how == 1 ? -(data[i + 1] % 65) : 0;
    script.reads.push_back({piece, 0});
    script.sends.push_back(outcome);
    if (outcome > 0) expected += "Unable to send data to Opentrack: 10065\n";
    expected_calls.push_back("recv tcp 64");
    expected_calls.push_back("sendto udp 127.0.0.1:4242 " + std::to_string(piece.size()));
    if (outcome <= 0) pieces.push_back(piece);
  }
  script.reads.push_back({"", orderly_end ? 0 : read_error});
  expected += orderly_end ? "Connection closed\n"
                          : "Unable to receive data from your device: " +
                                std::to_string(read_error) + "\n";
  expected_calls.insert(expected_calls.end(),
                        {"recv tcp 64", "closesocket udp", "closesocket tcp", "WSACleanup"});

  scripted::load(script);
  int status = -1;
  const std::string transcript = run_capturing(&status);

  // Every piece went out once, in order and unchanged, none over 64 bytes...
  require(scripted::datagrams() == pieces);
  for (const std::string& datagram : scripted::datagrams()) require(datagram.size() <= 64);
  // ...with one call each way, both sockets closed in order, the layer stopped once...
  require(scripted::calls() == expected_calls);
  // ...and the console and the exit status tell the end as it was.
  require(transcript == expected);
  require(status == (orderly_end ? exit_stream_ended : exit_failed));
  return 0;
}
