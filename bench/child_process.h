// Starting a relay, strace or gnuplot, and reaping it by a deadline with its rusage.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
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

// A user other than the benchmark's to run a child as, so that it holds none
// of the benchmark's privileges (root may raise its own priority; nobody may not).
struct account {
  uid_t uid = 0;
  gid_t gid = 0;
};

// The account of a user name; nothing when there is no such user.
std::optional<account> find_account(const std::string& name);

// The calling thread's nice value, and setting it, for that thread alone:
// on Linux each thread has its own. Setting returns 0, or the negated errno.
int thread_nice();
int set_thread_nice(int nice);

// A process's nice value as /proc shows it, or nothing.
std::optional<int> nice_of(pid_t pid);

// Starts argv[0] (found as find_program does) with its output sent to
// `output_path`, `keep_fd` (if not -1) left open in it, and as the `as` user
// if one is given. Every child starts at nice 0, whatever the thread that
// forks it was raised to. Returns 0, or the negated errno of the step that
// failed, exec included.
int spawn(const std::vector<std::string>& argv, const std::string& output_path, pid_t& pid,
          int keep_fd = -1, const std::optional<account>& as = std::nullopt);

struct exit_report {
  bool in_time = false;  // false: killed at the deadline
  int wait_status = 0;   // as wait4 gives it
  double cpu_ms = 0.0;   // user plus system time
  long max_rss_kb = 0;   // peak resident set
};

// Whether `pid`, a child, has ended; it is left to be reaped.
bool has_ended(pid_t pid);

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
           const std::string& output_path, launched& out,
           const std::optional<account>& as = std::nullopt);

// The nice value of the relay a launcher started, or nothing.
std::optional<int> nice_of_launched(const launched& started);

// Reaps the launcher as reap_until does, then reads the relay's figures and
// the instant it was forked. Returns 0, or the negated errno; -EPROTO when
// the report is missing (the launcher was killed or could not start it).
int reap_launched(launched& started, nanoseconds deadline, exit_report& out, nanoseconds& spawned);

// "exit 0", "exit 2", "signal 9": how a wait status reads in a report.
std::string describe_status(int wait_status);

}  // namespace bench
