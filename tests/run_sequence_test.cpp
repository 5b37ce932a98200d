// The whole run over a scripted platform: every end of a run, with its calls
// and messages in the order they happen, its exit status and its datagrams.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "run.h"
#include "scripted_platform.h"

namespace {

using Log = std::vector<std::string>;

std::string printed(const std::string& text) { return "say " + text; }

Log then(Log head, const Log& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// The shared beginnings of a run, each prompt before the call it waits on.
const Log started = {printed("Starting Tavorin USB Connection\n"), "WSAStartup 2.2"};
const Log linked = then(started, {"socket tcp", printed("Connecting to your device... "),
                                  "connect tcp 127.0.0.1:36487", printed("Done\n")});
const Log relaying = then(linked, {printed("Connecting to Opentrack software... "), "socket udp",
                                   printed("Done\n"), printed("Ready to play\n")});
const Log closed_in_order = {"closesocket udp", "closesocket tcp", "WSACleanup"};

const std::string recv_64 = "recv tcp 64";
std::string sendto_4242(std::size_t size) {
  return "sendto udp 127.0.0.1:4242 " + std::to_string(size);
}

const std::string piece_64 = [] {
  std::string bytes;
  for (int i = 0; i < 64; ++i) bytes.push_back(static_cast<char>(i * 4));  // NUL first
  return bytes;
}();
const std::string piece_36(36, '\xFF');

int run_with(const std::vector<const char*>& args) {
  // run() takes argv as main does: mutable strings, with a null at the end.
  std::vector<char*> argv(args.size() + 1, nullptr);
  std::transform(args.begin(), args.end(), argv.begin(),
                 [](const char* arg) { return const_cast<char*>(arg); });
  return run(static_cast<int>(args.size()), argv.data());
}

struct Row {
  const char* name;
  scripted::Script script;
  Log log;
  int status;
  std::vector<std::string> datagrams;
  std::vector<const char*> args = {"tavorin-relay", "4242"};
};

TEST(RunSequence, EveryEndOfARun) {
  const Row table[] = {
      {"startup fails: no cleanup, not reported as success",
       {10091, 0, 0, 0, {}, {}},
       then(started, {printed("Startup failed: 10091\n")}),
       exit_failed,
       {}},
      {"TCP socket cannot be created: no prompt, nothing to close",
       {0, 10024, 0, 0, {}, {}},
       then(started, {"socket tcp", printed("Connection failed: 10024\n"), "WSACleanup"}),
       exit_failed,
       {}},
      {"device refuses: the connect's own code, then the socket is closed",
       {0, 0, 10061, 0, {}, {}},
       then(started, {"socket tcp", printed("Connecting to your device... "),
                      "connect tcp 127.0.0.1:36487", printed("Failed: 10061\n"),
                      "closesocket tcp", "WSACleanup"}),
       exit_failed,
       {}},
      {"UDP socket cannot be created: device socket closed, no Ready",
       {0, 0, 0, 10055, {}, {}},
       then(linked, {printed("Connecting to Opentrack software... "), "socket udp",
                     printed("Failed: 10055\n"), "closesocket tcp", "WSACleanup"}),
       exit_failed,
       {}},
      {"device closes at once: no datagram",
       {0, 0, 0, 0, {{""}}, {}},
       then(relaying, then({recv_64, printed("Connection closed\n")}, closed_in_order)),
       exit_stream_ended,
       {}},
      {"pieces leave unchanged, one datagram per read, in order",
       {0, 0, 0, 0, {{piece_64}, {piece_36}, {std::string(1, '\0')}, {""}}, {}},
       then(relaying, then({recv_64, sendto_4242(64), recv_64, sendto_4242(36), recv_64,
                            sendto_4242(1), recv_64, printed("Connection closed\n")},
                           closed_in_order)),
       exit_stream_ended,
       {piece_64, piece_36, std::string(1, '\0')}},
      {"read fails after data: reported with its code, not as success",
       {0, 0, 0, 0, {{"abc"}, {"", 10054}}, {}},
       then(relaying,
            then({recv_64, sendto_4242(3), recv_64,
                  printed("Unable to receive data from your device: 10054\n")},
                 closed_in_order)),
       exit_failed,
       {"abc"}},
      {"one failed send drops that piece only, relaying goes on",
       {0, 0, 0, 0, {{"one"}, {"two"}, {"three"}, {""}}, {0, 10065}},
       then(relaying, then({recv_64, sendto_4242(3), recv_64, sendto_4242(3),
                            printed("Unable to send data to Opentrack: 10065\n"), recv_64,
                            sendto_4242(5), recv_64, printed("Connection closed\n")},
                           closed_in_order)),
       exit_stream_ended,
       {"one", "three"}},
      {"a short send is not a failure, and the piece is not sent again",
       {0, 0, 0, 0, {{"abcd"}, {"e"}, {""}}, {-3, 0}},
       then(relaying, then({recv_64, sendto_4242(4), recv_64, sendto_4242(1), recv_64,
                            printed("Connection closed\n")},
                           closed_in_order)),
       exit_stream_ended,
       {"abcd", "e"}},
      {"every send fails: a line each, relaying still goes on",
       {0, 0, 0, 0, {{"a"}, {"bb"}, {"ccc"}, {""}}, {10065, 10065, 10040}},
       then(relaying, then({recv_64, sendto_4242(1),
                            printed("Unable to send data to Opentrack: 10065\n"), recv_64,
                            sendto_4242(2), printed("Unable to send data to Opentrack: 10065\n"),
                            recv_64, sendto_4242(3),
                            printed("Unable to send data to Opentrack: 10040\n"), recv_64,
                            printed("Connection closed\n")},
                           closed_in_order)),
       exit_stream_ended,
       {}},
      {"sends fail, then the read fails",
       {0, 0, 0, 0, {{"a"}, {"", 10053}}, {10065}},
       then(relaying, then({recv_64, sendto_4242(1),
                            printed("Unable to send data to Opentrack: 10065\n"), recv_64,
                            printed("Unable to receive data from your device: 10053\n")},
                           closed_in_order)),
       exit_failed,
       {}},
      {"datagrams go to the port given, read the way the user wrote it",
       {0, 0, 0, 0, {{"x"}, {""}}, {}},
       then(relaying, then({recv_64, "sendto udp 127.0.0.1:65535 1", recv_64,
                            printed("Connection closed\n")},
                           closed_in_order)),
       exit_stream_ended,
       {"x"},
       {"tavorin-relay", " +65535"}},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    scripted::load(row.script);
    EXPECT_EQ(run_with(row.args), row.status);
    EXPECT_EQ(scripted::calls(), row.log);
    EXPECT_EQ(scripted::datagrams(), row.datagrams);
  }
}

TEST(RunSequence, BadCommandLineMakesNoSocketCall) {
  const struct {
    std::vector<const char*> args;
    const char* usage;
  } table[] = {
      {{"tavorin-relay"}, "Usage: tavorin-relay udp_port\n"},
      {{"C:\\Games\\tavorin-relay.exe", "4242", "4243"},
       "Usage: C:\\Games\\tavorin-relay.exe udp_port\n"},
      {{"./relay", "0"}, "Usage: ./relay udp_port\n"},
      {{"./relay", "70000"}, "Usage: ./relay udp_port\n"},
      {{"./relay", "4242 "}, "Usage: ./relay udp_port\n"},
      // Started with an empty argument list: there is no name to print.
      {{}, "Usage: tavorin-relay udp_port\n"},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.usage);
    scripted::load({});
    EXPECT_EQ(run_with(row.args), exit_usage);
    EXPECT_EQ(scripted::calls(), Log{printed(row.usage)});
  }
}

}  // namespace
