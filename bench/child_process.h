// Starting a relay, strace or gnuplot, and reaping it by a deadline with its rusage.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "clock.h"

namespace bench {

// A command line in which every "{port}" stands for the receiver's UDP port.
std::vector<std::string> expand_command(const std::vector<std::string>& command,
                                        std::uint16_t port);

// The program file a command name runs: a name with a slash as is, any other
// looked up on PATH. Empty when there is none.
std::string find_program(const std::string& name);

// Starts argv[0] (found as find_program does) with its output sent to
// `output_path`, and `keep_fd` (if not -1) left open in it. Returns 0, or the
// negated errno of the step that failed, exec included.
int spawn(const std::vector<std::string>& argv, const std::string& output_path, pid_t& pid,
          int keep_fd = -1);

struct exit_report {
  bool in_time = false;     // false: killed at the deadline
  int wait_status = 0;      // as wait4 gives it
  nanoseconds noticed = 0;  // when the exit was seen
  double cpu_ms = 0.0;      // user plus system time
  long max_rss_kb = 0;      // peak resident set
};

// A descriptor that turns readable when `pid` ends, or -1 where the kernel
// has none (before Linux 5.3).
int exit_watch(pid_t pid);

// Waits for `pid` until the deadline, kills it there, and always reaps it.
// Returns 0, or the negated errno if the process could not be waited for.
int reap_until(pid_t pid, nanoseconds deadline, exit_report& out);

// A relay started through relay_launch, which reports the relay's own
// wait4 figures (see relay_launch.cpp for why).
struct launched {
  pid_t launcher = -1;
  int report = -1;  // read end of the launcher's report
};

int launch(const std::string& launcher, const std::vector<std::string>& argv,
           const std::string& output_path, launched& out);

// Reaps the launcher as reap_until does, then reads the relay's figures and
// the instant it was forked. Returns 0, or the negated errno; -EPROTO when
// the report is missing (the launcher was killed or could not start it).
int reap_launched(launched& started, nanoseconds deadline, exit_report& out, nanoseconds& spawned);

// "exit 0", "exit 2", "signal 9": how a wait status reads in a report.
std::string describe_status(int wait_status);

}  // namespace bench
