// The companions' command lines and console: exit statuses, error lines.
#pragma once

#include <initializer_list>
#include <optional>

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

// Where a companion ends before its own work: with the usage and exit_done
// when --help was asked, or with exit_failed and why when the socket library
// did not start. Nothing when the program goes on.
std::optional<int> end_before_start(const char* program, bool help, void (*print_usage)(),
                                    const peer::session& sockets);

}  // namespace tool_cli
