// The whole run over a scripted socket layer: every end of a run, with its
// transcript, exit status, calls (close order included) and datagrams.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "run.h"
#include "scripted_socket_layer.h"

namespace {

using Calls = std::vector<std::string>;

const std::string banner = "Starting Tavorin USB Connection\n";
const std::string device_done = "Connecting to your device... Done\n";
const std::string opentrack_done = "Connecting to Opentrack software... Done\n";
const std::string ready = "Ready to play\n";
const std::string relaying = banner + device_done + opentrack_done + ready;

const std::string piece_64 = [] {
  std::string bytes;
  for (int i = 0; i < 64; ++i) bytes.push_back(static_cast<char>(i * 4));  // NUL first
  return bytes;
}();
const std::string piece_36(36, '\xFF');

struct Outcome {
  std::string transcript;
  int status;
};

Outcome run_with(const std::vector<const char*>& args) {
  // run() takes argv as main does: mutable strings, with a null at the end.
  std::vector<char*> argv(args.size() + 1, nullptr);
  std::transform(args.begin(), args.end(), argv.begin(),
                 [](const char* arg) { return const_cast<char*>(arg); });
  testing::internal::CaptureStdout();
  const int status = run(static_cast<int>(args.size()), argv.data());
  return {testing::internal::GetCapturedStdout(), status};
}

struct Row {
  const char* name;
  scripted::Script script;
  std::string transcript;
  int status;
  Calls calls;
  std::vector<std::string> datagrams;
};

Calls opened_then(const Calls& rest) {
  Calls calls{"WSAStartup 2.2", "socket tcp", "connect tcp 127.0.0.1:36487", "socket udp"};
  calls.insert(calls.end(), rest.begin(), rest.end());
  return calls;
}

const std::string recv_64 = "recv tcp 64";
std::string sendto_4242(std::size_t size) {
  return "sendto udp 127.0.0.1:4242 " + std::to_string(size);
}
const Calls closed_in_order = {"closesocket udp", "closesocket tcp", "WSACleanup"};

Calls join(Calls head, const Calls& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST(RunSequence, EveryEndOfARun) {
  const Row table[] = {
      {"startup fails: no cleanup, not reported as success",
       {10091, 0, 0, 0, {}, {}},
       banner + "Startup failed: 10091\n",
       exit_failed,
       {"WSAStartup 2.2"},
       {}},
      {"TCP socket cannot be created: no prompt, nothing to close",
       {0, 10024, 0, 0, {}, {}},
       banner + "Connection failed: 10024\n",
       exit_failed,
       {"WSAStartup 2.2", "socket tcp", "WSACleanup"},
       {}},
      {"device refuses: the connect's own code, then the socket is closed",
       {0, 0, 10061, 0, {}, {}},
       banner + "Connecting to your device... Failed: 10061\n",
       exit_failed,
       {"WSAStartup 2.2", "socket tcp", "connect tcp 127.0.0.1:36487", "closesocket tcp",
        "WSACleanup"},
       {}},
      {"UDP socket cannot be created: device socket closed, no Ready",
       {0, 0, 0, 10055, {}, {}},
       banner + device_done + "Connecting to Opentrack software... Failed: 10055\n",
       exit_failed,
       opened_then({"closesocket tcp", "WSACleanup"}),
       {}},
      {"device closes at once: no datagram",
       {0, 0, 0, 0, {{""}}, {}},
       relaying + "Connection closed\n",
       exit_stream_ended,
       opened_then(join({recv_64}, closed_in_order)),
       {}},
      {"pieces leave unchanged, one datagram per read, in order",
       {0, 0, 0, 0, {{piece_64}, {piece_36}, {std::string(1, '\0')}, {""}}, {}},
       relaying + "Connection closed\n",
       exit_stream_ended,
       opened_then(join({recv_64, sendto_4242(64), recv_64, sendto_4242(36), recv_64,
                         sendto_4242(1), recv_64},
                        closed_in_order)),
       {piece_64, piece_36, std::string(1, '\0')}},
      {"read fails after data: reported with its code, not as success",
       {0, 0, 0, 0, {{"abc"}, {"", 10054}}, {}},
       relaying + "Unable to receive data from your device: 10054\n",
       exit_failed,
       opened_then(join({recv_64, sendto_4242(3), recv_64}, closed_in_order)),
       {"abc"}},
      {"one failed send drops that piece only, relaying goes on",
       {0, 0, 0, 0, {{"one"}, {"two"}, {"three"}, {""}}, {0, 10065}},
       relaying + "Unable to send data to Opentrack: 10065\n" + "Connection closed\n",
       exit_stream_ended,
       opened_then(join({recv_64, sendto_4242(3), recv_64, sendto_4242(3), recv_64,
                         sendto_4242(5), recv_64},
                        closed_in_order)),
       {"one", "three"}},
      {"a short send is not a failure, and the piece is not sent again",
       {0, 0, 0, 0, {{"abcd"}, {"e"}, {""}}, {-3, 0}},
       relaying + "Connection closed\n",
       exit_stream_ended,
       opened_then(join({recv_64, sendto_4242(4), recv_64, sendto_4242(1), recv_64},
                        closed_in_order)),
       {"abcd", "e"}},
      {"every send fails: a line each, relaying still goes on",
       {0, 0, 0, 0, {{"a"}, {"bb"}, {"ccc"}, {""}}, {10065, 10065, 10040}},
       relaying + "Unable to send data to Opentrack: 10065\n" +
           "Unable to send data to Opentrack: 10065\n" +
           "Unable to send data to Opentrack: 10040\n" + "Connection closed\n",
       exit_stream_ended,
       opened_then(join({recv_64, sendto_4242(1), recv_64, sendto_4242(2), recv_64,
                         sendto_4242(3), recv_64},
                        closed_in_order)),
       {}},
      {"sends fail, then the read fails",
       {0, 0, 0, 0, {{"a"}, {"", 10053}}, {10065}},
       relaying + "Unable to send data to Opentrack: 10065\n" +
           "Unable to receive data from your device: 10053\n",
       exit_failed,
       opened_then(join({recv_64, sendto_4242(1), recv_64}, closed_in_order)),
       {}},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    scripted::load(row.script);
    const Outcome outcome = run_with({"tavorin-relay", "4242"});
    EXPECT_EQ(outcome.transcript, row.transcript);
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(scripted::calls(), row.calls);
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
    const Outcome outcome = run_with(row.args);
    EXPECT_EQ(outcome.transcript, row.usage);
    EXPECT_EQ(outcome.status, exit_usage);
    EXPECT_TRUE(scripted::calls().empty());
  }
}

TEST(RunSequence, DatagramsGoToThePortGiven) {
  scripted::load({0, 0, 0, 0, {{"x"}, {""}}, {}});
  const Outcome outcome = run_with({"tavorin-relay", " +65535"});
  EXPECT_EQ(outcome.status, exit_stream_ended);
  EXPECT_EQ(scripted::calls(),
            opened_then(join({recv_64, "sendto udp 127.0.0.1:65535 1", recv_64}, closed_in_order)));
}

}  // namespace
