// What the companions share: how they start, exit statuses, error lines.
#pragma once

#include <initializer_list>

// Lines on standard output go through the relay's own say(), flushed at
// once: scripts wait for lines such as the ready line through a pipe.
#include "console.h"
#include "peer_net.h"

namespace tool_cli {

enum exit_status {
  exit_done = 0,    // the run ended as asked (see each program's --help)
  exit_usage = 1,   // bad command line
  exit_failed = 2,  // a port, a connection, a send or a receive failed
};

// One error line on standard error, opened by the program's name.
void complain(const char* program, const char* format, ...) TAVORIN_PRINTF(2, 3);

// Whether `text` is one of `choices`, such as the options that take a value.
bool is_one_of(const char* text, std::initializer_list<const char*> choices);

// How each companion starts: its command line (exit_usage if wrong), --help
// (the usage, exit_done), the socket library (exit_failed and why if it does
// not start), then its own work with the options chosen, which gives the
// exit status.
template <typename Options>
int run_program(const char* program, int argc, char* argv[],
                bool (*parse_options)(int, char*[], Options&), void (*print_usage)(),
                int (*work)(const Options&)) {
  Options chosen;
  if (!parse_options(argc, argv, chosen)) return exit_usage;
  if (chosen.help) {
    print_usage();
    return exit_done;
  }
  const peer::session sockets;
  if (sockets.start_error() != 0) {
    complain(program, "socket library failed to start: %s",
             peer::describe_error(sockets.start_error()).c_str());
    return exit_failed;
  }
  return work(chosen);
}

}  // namespace tool_cli
