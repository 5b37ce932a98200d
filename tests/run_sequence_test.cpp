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
// The priority is raised once the socket layer has started, before the
// device link: a run that cannot start has nothing to hold up.
const Log started = {printed("Starting Tavorin USB Connection\n"), "WSAStartup 2.2"};
const Log raised = then(started, {"raise priority"});
const Log linked = then(raised, {"socket tcp", printed("Connecting to your device... "),
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

using scripted::piece;
using scripted::read_fails;
using scripted::send_fails;
using scripted::sent;
using scripted::sent_short_by;
using scripted::stream_end;
using Script = scripted::Script;

struct Row {
  const char* name;
  Script script;
  Log log;
  int status;
  std::vector<std::string> datagrams;
  std::vector<const char*> args = {"tavorin-relay", "4242"};
};

// Each row runs twice: as scripted, and with the raise of the priority
// refused, which must change nothing the user or Opentrack can see.
TEST(RunSequence, EveryEndOfARun) {
  const Row table[] = {
      {"startup fails: no cleanup, not reported as success, nothing raised",
       Script().startup_fails(10091),
       then(started, {printed("Startup failed: 10091\n")}),
       exit_failed,
       {}},
      {"TCP socket cannot be created: no prompt, nothing to close",
       Script().tcp_socket_fails(10024),
       then(raised, {"socket tcp", printed("Connection failed: 10024\n"), "WSACleanup"}),
       exit_failed,
       {}},
      {"device refuses: the connect's own code, then the socket is closed",
       Script().connect_fails(10061),
       then(raised,
            {"socket tcp", printed("Connecting to your device... "), "connect tcp 127.0.0.1:36487",
             printed("Failed: 10061\n"), "closesocket tcp", "WSACleanup"}),
       exit_failed,
       {}},
      {"UDP socket cannot be created: device socket closed, no Ready",
       Script().udp_socket_fails(10055),
       then(linked, {printed("Connecting to Opentrack software... "), "socket udp",
                     printed("Failed: 10055\n"), "closesocket tcp", "WSACleanup"}),
       exit_failed,
       {}},
      {"device closes at once: no datagram",
       Script().reading({stream_end()}),
       then(relaying, then({recv_64, printed("Connection closed\n")}, closed_in_order)),
       exit_stream_ended,
       {}},
      {"pieces leave unchanged, one datagram per read, in order",
       Script().reading(
           {piece(piece_64), piece(piece_36), piece(std::string(1, '\0')), stream_end()}),
       then(relaying, then({recv_64, sendto_4242(64), recv_64, sendto_4242(36), recv_64,
                            sendto_4242(1), recv_64, printed("Connection closed\n")},
                           closed_in_order)),
       exit_stream_ended,
       {piece_64, piece_36, std::string(1, '\0')}},
      {"read fails after data: reported with its code, not as success",
       Script().reading({piece("abc"), read_fails(10054)}),
       then(relaying, then({recv_64, sendto_4242(3), recv_64,
                            printed("Unable to receive data from your device: 10054\n")},
                           closed_in_order)),
       exit_failed,
       {"abc"}},
      {"one failed send drops that piece only, relaying goes on",
       Script()
           .reading({piece("one"), piece("two"), piece("three"), stream_end()})
           .sending({sent, send_fails(10065)}),
       then(relaying, then({recv_64, sendto_4242(3), recv_64, sendto_4242(3),
                            printed("Unable to send data to Opentrack: 10065\n"), recv_64,
                            sendto_4242(5), recv_64, printed("Connection closed\n")},
                           closed_in_order)),
       exit_stream_ended,
       {"one", "three"}},
      {"a short send is not a failure, and the piece is not sent again",
       Script()
           .reading({piece("abcd"), piece("e"), stream_end()})
           .sending({sent_short_by(3), sent}),
       then(relaying, then({recv_64, sendto_4242(4), recv_64, sendto_4242(1), recv_64,
                            printed("Connection closed\n")},
                           closed_in_order)),
       exit_stream_ended,
       {"abcd", "e"}},
      {"every send fails: a line each, relaying still goes on",
       Script()
           .reading({piece("a"), piece("bb"), piece("ccc"), stream_end()})
           .sending({send_fails(10065), send_fails(10065), send_fails(10040)}),
       then(relaying,
            then({recv_64, sendto_4242(1), printed("Unable to send data to Opentrack: 10065\n"),
                  recv_64, sendto_4242(2), printed("Unable to send data to Opentrack: 10065\n"),
                  recv_64, sendto_4242(3), printed("Unable to send data to Opentrack: 10040\n"),
                  recv_64, printed("Connection closed\n")},
                 closed_in_order)),
       exit_stream_ended,
       {}},
      {"sends fail, then the read fails",
       Script().reading({piece("a"), read_fails(10053)}).sending({send_fails(10065)}),
       then(relaying,
            then({recv_64, sendto_4242(1), printed("Unable to send data to Opentrack: 10065\n"),
                  recv_64, printed("Unable to receive data from your device: 10053\n")},
                 closed_in_order)),
       exit_failed,
       {}},
      {"datagrams go to the port given, read the way the user wrote it",
       Script().reading({piece("x"), stream_end()}),
       then(relaying,
            then({recv_64, "sendto udp 127.0.0.1:65535 1", recv_64, printed("Connection closed\n")},
                 closed_in_order)),
       exit_stream_ended,
       {"x"},
       {"tavorin-relay", " +65535"}},
  };
  for (const Row& row : table) {
    for (const bool refused : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (refused ? ", priority refused" : ""));
      Script script = row.script;
      if (refused) script.priority_refuses();
      scripted::load(script);
      EXPECT_EQ(run_with(row.args), row.status);
      EXPECT_EQ(scripted::calls(), row.log);
      EXPECT_EQ(scripted::datagrams(), row.datagrams);
    }
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
  // The exact log: no socket call, and no raise of the priority either.
  for (const auto& row : table) {
    SCOPED_TRACE(row.usage);
    scripted::load(Script());
    EXPECT_EQ(run_with(row.args), exit_usage);
    EXPECT_EQ(scripted::calls(), Log{printed(row.usage)});
  }
}

}  // namespace
