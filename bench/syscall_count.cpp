// Running a relay under strace -c -f and reading its summary table.
#include "syscall_count.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

namespace bench {

namespace {

using call_table = std::map<std::string, long>;

// strace -c ends with a table whose rows read
//   % time  seconds  usecs/call  calls  [errors]  syscall
// and whose last row is "total"; the calls column is the fourth.
bool read_summary(const std::string& path, call_table& calls) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  bool any = false;
  // Bounded by the file, which strace wrote once and closed.
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    if (words.size() < 5 || words[0].find_first_not_of("0123456789.") != std::string::npos) {
      continue;
    }
    calls[words.back()] = std::stol(words[3]);
    any = true;
  }
  return any && calls.count("total") == 1;
}

std::string file_name(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0) c = '-';
  }
  return out;
}

// One relay under strace -c -f, writing its summary to `summary`.
struct traced {
  const candidate& who;
  const std::string& strace;
  const trial_setup& setup;
  std::vector<trial_result>& runs;

  // Runs `what` and reads the summary into `calls`; "" or what went wrong.
  // `pieces` is every datagram that arrived, the warm-up pose's included.
  std::string run(const workload& what, const std::string& summary, call_table& calls,
                  std::uint64_t& pieces) const {
    candidate under_strace{who.name, {strace, "-c", "-f", "-o", summary}, who.as};
    under_strace.command.insert(under_strace.command.end(), who.command.begin(), who.command.end());
    trial_result result = run_trial(under_strace, what, setup);
    const bool read = result.ok() && read_summary(summary, calls);
    if (read) result.syscalls = calls["total"];
    pieces = result.all_datagrams;
    std::string failure = !result.ok() ? result.failure
                          : read       ? ""
                                       : "no strace summary in " + summary;
    runs.push_back(std::move(result));
    return failure;
  }
};

void per_call_difference(const call_table& busy, const call_table& idle, syscall_count& out) {
  const double pieces = static_cast<double>(out.pieces);
  for (const auto& [name, calls] : busy) {
    if (name == "total") continue;
    const auto idle_entry = idle.find(name);
    const long difference = calls - (idle_entry == idle.end() ? 0 : idle_entry->second);
    if (difference != 0) out.by_call.emplace_back(name, static_cast<double>(difference) / pieces);
  }
  std::sort(out.by_call.begin(), out.by_call.end(),
            [](const auto& a, const auto& b) { return a.second > b.second; });
}

}  // namespace

syscall_count count_syscalls(const candidate& who, const std::string& strace, const workload& paced,
                             const trial_setup& setup, const std::string& work_dir,
                             std::vector<trial_result>& runs) {
  syscall_count out;
  out.candidate = who.name;
  const std::string stem = work_dir + "/strace-" + file_name(who.name);
  const workload nothing{"strace, nothing relayed", workload_kind::start_up, 0, 0, 0, 0};
  const traced tracing{who, strace, setup, runs};

  call_table busy;
  call_table idle;
  std::uint64_t no_pieces = 0;
  out.failure = tracing.run(paced, stem + "-poses.txt", busy, out.pieces);
  if (out.ok()) out.failure = tracing.run(nothing, stem + "-nothing.txt", idle, no_pieces);
  if (!out.ok()) return out;
  if (out.pieces == 0) {
    out.failure = "no piece was relayed";
    return out;
  }
  out.busy_calls = busy["total"];
  out.idle_calls = idle["total"];
  out.per_piece =
      static_cast<double>(out.busy_calls - out.idle_calls) / static_cast<double>(out.pieces);
  per_call_difference(busy, idle, out);
  return out;
}

}  // namespace bench
