// The run sequence of tavorin-relay, from the command line to the exit status.
#pragma once

// Exit statuses, so a script can tell "start it again" from "fix the command".
enum exit_status {
  exit_stream_ended = 0,  // the device ended the stream in order
  exit_usage = 1,         // bad command line
  exit_failed = 2,        // start-up, connection or a read failed
};

int run(int argc, char* argv[]);
