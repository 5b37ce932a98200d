// System calls per relayed piece, counted with strace -c -f.
//
// A relay under strace relays a paced pose stream, and again nothing at all;
// the difference over the pieces relayed is what each piece costs.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "trial.h"

namespace bench {

struct syscall_count {
  std::string candidate;
  std::string failure;  // empty when both runs completed
  std::uint64_t pieces = 0;
  long busy_calls = 0;  // relaying the poses
  long idle_calls = 0;  // relaying nothing
  double per_piece = 0.0;
  // The difference by system call, per piece, largest first.
  std::vector<std::pair<std::string, double>> by_call;
  bool ok() const { return failure.empty(); }
};

// Counts `who`'s system calls under `strace` relaying `paced`, its
// summaries written in `work_dir`. `runs` receives both runs, for the record
// of every run.
syscall_count count_syscalls(const candidate& who, const std::string& strace, const workload& paced,
                             const trial_setup& setup, const std::string& work_dir,
                             std::vector<trial_result>& runs);

}  // namespace bench
