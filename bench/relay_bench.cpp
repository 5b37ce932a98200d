// relay_bench: measures relays side by side between a simulated device and receiver.
//
// It plays the device where every relay looks for it (127.0.0.1 and the
// device port) and Opentrack on a free loopback UDP port, and runs each relay
// between them, round by round.
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "checked_number.h"
#include "child_process.h"
#include "peer_net.h"
#include "relay_constants.h"
#include "report.h"
#include "syscall_count.h"
#include "trial.h"
#include "trial_receiver.h"

namespace {

using namespace bench;

constexpr const char* subject_name = "tavorin-relay";
constexpr const char* loaded_name = "latency, 48-byte poses at 250 Hz under a game-like load";

struct options {
  std::string relay;
  std::string socat = "socat";
  std::string strace = "strace";
  std::string gnuplot = "gnuplot";
  std::string launcher;   // default: relay_launch next to this program
  std::string game_load;  // default: game_load next to this program
  // The user a second copy of the relay runs as under load, so that it
  // cannot raise itself.
  std::string unprivileged = "nobody";
  std::vector<candidate> extra;
  std::string out_dir = "bench-results";
  // Many short rounds rather than a few long ones: this machine's slow
  // spells last seconds, and short runs spread them over all candidates.
  int rounds = 15;
  std::size_t paced_poses = 2000;
  std::size_t paced_slices = 8;
  std::size_t burst_poses = 10000;
  std::size_t volume_mib = 4;
  std::size_t strace_poses = 2000;
  // Under load the run is long, so it takes part in some rounds only,
  // spread over all of them.
  std::size_t loaded_poses = 3000;
  std::size_t loaded_slices = 3;
  int loaded_rounds = 5;
  std::vector<std::string> only;  // workloads whose names contain one of these
  bool no_floor = false;
  bool help = false;
};

void print_usage() {
  std::printf(
      "Usage: relay_bench --relay PATH [options]\n"
      "Measures relays from the device's TCP stream (it listens on 127.0.0.1:%u as the\n"
      "device) to a UDP receiver on a free loopback port, round by round.\n"
      "  --relay PATH        the tavorin-relay program to measure (required)\n"
      "  --socat PATH|none   socat to compare with (default: socat on PATH)\n"
      "  --add NAME=COMMAND  another relay; COMMAND is split at spaces and {port}\n"
      "                      stands for the receiver's port (repeatable)\n"
      "  --no-floor          leave out the floor (the benchmark sending directly)\n"
      "  --only TEXT         run only the workloads whose names contain TEXT\n"
      "                      (start-up, 1 kHz, back to back, 48-byte writes, 4 KiB\n"
      "                      writes, game-like load; repeatable); strace runs only\n"
      "                      with \"strace\"\n"
      "  --rounds N          rounds, each running every candidate once (default 15)\n"
      "  --paced-poses N     poses at 1 kHz per candidate and round (default 2000)\n"
      "  --paced-slices N    runs those poses take, candidates in turn (default 8)\n"
      "  --burst-poses N     poses back to back per latency run (default 10000)\n"
      "  --volume-mib N      MiB per throughput run (default 4)\n"
      "  --loaded-poses N    poses at 250 Hz per candidate and round under a game-like\n"
      "                      load (default 3000)\n"
      "  --loaded-rounds N   rounds that include the run under load, spread over all\n"
      "                      rounds (default 5; at most --rounds)\n"
      "  --game-load PATH|none  game_load, the load's CPU-bound threads (default: next\n"
      "                      to this program); needs root, as it raises the device and\n"
      "                      receiver threads\n"
      "  --unprivileged USER|none  under load, a second copy of the relay runs as USER,\n"
      "                      who may not raise its priority (default nobody)\n"
      "  --strace PATH|none  strace for the system call count (default: strace on PATH)\n"
      "  --strace-poses N    poses relayed under strace (default 2000)\n"
      "  --gnuplot PATH|none gnuplot for the latency plot (default: gnuplot on PATH)\n"
      "  --launcher PATH|none  relay_launch, which starts each relay so that its peak\n"
      "                      RSS is its own (default: next to this program)\n"
      "  --out DIR           where the CSV, table and plot go (default bench-results)\n"
      "  --quick             3 rounds of short runs, about a minute\n"
      "  --help              show this text\n",
      static_cast<unsigned>(device_port));
}

std::vector<std::string> split_words(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : text + " ") {
    if (c != ' ') {
      word += c;
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  return words;
}

bool parse_extra(const std::string& text, std::vector<candidate>& extra) {
  const std::size_t equals = text.find('=');
  if (equals == 0 || equals == std::string::npos) return false;
  candidate added{text.substr(0, equals), split_words(text.substr(equals + 1))};
  if (added.command.empty()) return false;
  extra.push_back(added);
  return true;
}

void make_quick(options& chosen) {
  chosen.rounds = 3;
  chosen.paced_poses = 500;
  chosen.paced_slices = 2;
  chosen.burst_poses = 2000;
  chosen.volume_mib = 2;
  chosen.strace_poses = 300;
  chosen.loaded_poses = 500;
  chosen.loaded_slices = 1;
  chosen.loaded_rounds = 3;
}

enum class value_read { taken, refused, unknown_option };

// Reads the value of option `name`, which takes one.
value_read read_value(const std::string& name, const char* value, options& chosen) {
  const std::pair<const char*, std::string*> texts[] = {{"--relay", &chosen.relay},
                                                        {"--socat", &chosen.socat},
                                                        {"--strace", &chosen.strace},
                                                        {"--gnuplot", &chosen.gnuplot},
                                                        {"--launcher", &chosen.launcher},
                                                        {"--game-load", &chosen.game_load},
                                                        {"--unprivileged", &chosen.unprivileged},
                                                        {"--out", &chosen.out_dir}};
  for (const auto& [option, field] : texts) {
    if (name != option) continue;
    *field = value;
    return value_read::taken;
  }
  // Whole numbers, each with the range it allows.
  const auto size = [](std::size_t& field) {
    return [&field](long long v) { field = static_cast<std::size_t>(v); };
  };
  const auto number = [](int& field) {
    return [&field](long long v) { field = static_cast<int>(v); };
  };
  const std::tuple<const char*, long long, long long, std::function<void(long long)>> counts[] = {
      {"--rounds", 1, 100, number(chosen.rounds)},
      {"--paced-poses", 10, 600000, size(chosen.paced_poses)},
      {"--paced-slices", 1, 1000, size(chosen.paced_slices)},
      {"--burst-poses", 10, 10000000, size(chosen.burst_poses)},
      {"--volume-mib", 1, 4096, size(chosen.volume_mib)},
      {"--strace-poses", 10, 100000, size(chosen.strace_poses)},
      {"--loaded-poses", 10, 600000, size(chosen.loaded_poses)},
      {"--loaded-rounds", 1, 100, number(chosen.loaded_rounds)}};
  for (const auto& [option, low, high, set] : counts) {
    if (name != option) continue;
    const std::optional<long long> count = checked_number::integer(value, low, high);
    if (!count) return value_read::refused;
    set(*count);
    return value_read::taken;
  }
  if (name == "--only") {
    chosen.only.emplace_back(value);
    return value_read::taken;
  }
  if (name == "--add") {
    return parse_extra(value, chosen.extra) ? value_read::taken : value_read::refused;
  }
  return value_read::unknown_option;
}

// Fills `chosen` from argv; false after printing what was wrong. --quick
// sets the sizes first, so sizes given with it still win.
bool parse_options(int argc, char* argv[], options& chosen) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) make_quick(chosen);
  }
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help") {
      chosen.help = true;
      continue;
    }
    if (name == "--quick") continue;
    if (name == "--no-floor") {
      chosen.no_floor = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "relay_bench: %s needs a value (see --help)\n", name.c_str());
      return false;
    }
    const char* value = argv[++i];
    const value_read read = read_value(name, value, chosen);
    if (read == value_read::unknown_option) {
      std::fprintf(stderr, "relay_bench: unknown option %s (see --help)\n", name.c_str());
      return false;
    }
    if (read == value_read::refused) {
      std::fprintf(stderr, "relay_bench: bad value '%s' for %s\n", value, name.c_str());
      return false;
    }
  }
  if (!chosen.help && chosen.relay.empty()) {
    std::fprintf(stderr, "relay_bench: --relay PATH is required (see --help)\n");
    return false;
  }
  return true;
}

// A helper program as built next to this one.
std::string next_to_this_program(const char* name) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  const std::string path(self, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + name;
}

// "none" turns a helper off; otherwise the program file, or "" when missing.
std::string helper(const std::string& chosen) {
  return chosen == "none" ? std::string() : find_program(chosen);
}

std::vector<candidate> candidates_for(const options& chosen, const std::string& socat) {
  std::vector<candidate> out;
  if (!chosen.no_floor) out.push_back({"floor", {}});
  out.push_back({subject_name, {chosen.relay, "{port}"}});
  if (!socat.empty()) {
    // Pieces of the relay's size, from the relay's endpoint to the receiver.
    out.push_back(
        {"socat",
         {socat, "-b", std::to_string(relay_buffer_size), "-u",
          "TCP:127.0.0.1:" + std::to_string(device_port), "UDP-SENDTO:127.0.0.1:{port}"}});
  }
  out.insert(out.end(), chosen.extra.begin(), chosen.extra.end());
  return out;
}

// Three CPU-bound threads per CPU at normal priority, each busy 3 ms then
// asleep 1 ms: a game that keeps every CPU busy.
constexpr long load_threads_per_cpu = 3;
constexpr long load_busy_us = 3000;
constexpr long load_idle_us = 1000;

// What the run under load needs. No program: there is no such run.
struct load_setup {
  std::string program;  // game_load
  std::string log;
  // Every candidate, and a copy of tavorin-relay run as another user.
  std::vector<candidate> candidates;
  std::string unprivileged;  // that copy's name, if there is one
};

workload bulk_workload(const char* name, std::size_t write_size, std::size_t volume_mib) {
  const std::uint64_t volume =
      (static_cast<std::uint64_t>(volume_mib) << 20U) / write_size * write_size;
  return workload{name, workload_kind::bulk, 0, 0, write_size, volume};
}

bool wanted(const options& chosen, const std::string& name) {
  if (chosen.only.empty()) return true;
  for (const std::string& text : chosen.only) {
    if (name.find(text) != std::string::npos) return true;
  }
  return false;
}

std::vector<workload> workloads_for(const options& chosen, const load_setup& load) {
  std::vector<workload> all{
      workload{"start-up", workload_kind::start_up, 0, 0, 0, 0},
      workload{"latency, 48-byte poses at 1 kHz", workload_kind::paced_poses, chosen.paced_poses,
               ns_per_ms, 0, 0, std::min(chosen.paced_slices, chosen.paced_poses / 10)},
      workload{"latency, 48-byte poses back to back", workload_kind::back_to_back_poses,
               chosen.burst_poses, 0, 0, 0},
      bulk_workload("throughput, 48-byte writes", 48, chosen.volume_mib),
      bulk_workload("throughput, 4 KiB writes", 4096, chosen.volume_mib),
  };
  if (!load.program.empty()) {
    all.push_back(workload{loaded_name, workload_kind::paced_poses, chosen.loaded_poses,
                           4 * ns_per_ms, 0, 0,
                           std::min(chosen.loaded_slices, chosen.loaded_poses / 10), true});
  }
  std::vector<workload> out;
  std::copy_if(all.begin(), all.end(), std::back_inserter(out),
               [&chosen](const workload& w) { return wanted(chosen, w.name); });
  return out;
}

std::string command_text(const candidate& who) {
  if (who.is_floor()) return "(the benchmark sends each piece to the receiver itself)";
  std::string text;
  for (const std::string& word : who.command) text += (text.empty() ? "" : " ") + word;
  if (who.as) text += "  (uid " + std::to_string(who.as->uid) + ", under load only)";
  return text;
}

// The run under load raises the benchmark's own threads and starts a relay
// as another user: both need root. Prints why when there is no such run.
load_setup prepare_load(const options& chosen, const std::vector<candidate>& candidates) {
  load_setup load;
  if (!wanted(chosen, loaded_name)) return load;
  if (geteuid() != 0) {
    std::printf("not root: no run under a game-like load (it raises the device and receiver)\n");
    return load;
  }
  load.program =
      helper(chosen.game_load.empty() ? next_to_this_program("game_load") : chosen.game_load);
  if (load.program.empty()) {
    std::printf("no game_load program: no run under a game-like load\n");
    return load;
  }
  load.log = chosen.out_dir + "/game-load.log";
  load.candidates = candidates;
  const auto relay = std::find_if(load.candidates.begin(), load.candidates.end(),
                                  [](const candidate& who) { return who.name == subject_name; });
  const std::optional<account> as =
      chosen.unprivileged == "none" ? std::nullopt : find_account(chosen.unprivileged);
  if (!as) {
    std::printf("no user '%s': under load, no copy of the relay that cannot raise itself\n",
                chosen.unprivileged.c_str());
  } else if (relay != load.candidates.end()) {
    load.unprivileged = std::string(subject_name) + " as " + chosen.unprivileged;
    const candidate copy{load.unprivileged, relay->command, as};
    load.candidates.insert(relay + 1, copy);
  }
  return load;
}

// The median ratios the run under load is for: the relay that raises itself
// at most half the unraised copy's p99, and under a third of its datagrams
// that are not one pose, and ahead of socat on both.
std::vector<ratio_target> targets_under_load(const load_setup& load) {
  const std::string p99 = "p99 (us)";
  const std::string split = not_one_pose_label;
  std::vector<ratio_target> out;
  if (!load.unprivileged.empty()) {
    out.push_back({loaded_name, p99, subject_name, load.unprivileged, 0.5, true});
    out.push_back({loaded_name, split, subject_name, load.unprivileged, 0.3, true});
  }
  out.push_back({loaded_name, p99, subject_name, "socat", 1.0, false});
  out.push_back({loaded_name, split, subject_name, "socat", 1.0, false});
  return out;
}

std::string machine_text() {
  utsname system{};
  uname(&system);
  return std::string(system.sysname) + " " + system.release + " " + system.machine + ", " +
         std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " CPUs online";
}

// One line per run, so a long benchmark shows where it is.
void print_progress(const trial_result& run, int rounds) {
  std::printf("  round %d/%d  %-23s %-38s ", run.round, rounds, run.candidate.c_str(),
              run.workload.c_str());
  if (!run.ok()) {
    std::printf("FAILED: %s\n", run.failure.c_str());
  } else if (!run.latency_us.empty()) {
    std::printf("p50 %.1f us, p99 %.1f us, %llu of %llu poses\n", *latency_at(run, 0.50),
                *latency_at(run, 0.99), static_cast<unsigned long long>(run.poses_received),
                static_cast<unsigned long long>(run.poses_sent));
  } else if (run.elapsed > 0) {
    std::printf("%.2f MB/s, %.0f ms CPU\n",
                static_cast<double>(run.bytes_received) / 1e6 / to_s(run.elapsed), run.cpu_ms);
  } else {
    std::printf("connected in %.2f ms, %ld KB peak\n", run.connect_ms, run.max_rss_kb);
  }
  std::fflush(stdout);
}

// Who runs what, and with which helpers.
struct bench_plan {
  std::vector<candidate> candidates;
  load_setup load;
  std::vector<workload> workloads;
  std::string strace;  // empty: no system call counts
};

// Where every run goes as it ends: its line of runs.csv at once, so a long
// benchmark leaves a record even if it is stopped; the table reads `runs`.
struct run_log {
  std::ofstream csv;
  std::vector<trial_result> runs;

  void write(const trial_result& run) { csv << csv_row(run) << '\n' << std::flush; }
};

// A start before the measured rounds, so no candidate's first run pays for
// loading its program from disk.
void warm_caches(const std::vector<candidate>& candidates, const trial_setup& setup) {
  const workload start{"warm-up", workload_kind::start_up, 0, 0, 0, 0};
  for (const candidate& who : candidates) {
    if (who.is_floor()) continue;
    const trial_result run = run_trial(who, start, setup);
    if (!run.ok())
      std::printf("  warm-up of %s failed: %s\n", who.name.c_str(), run.failure.c_str());
  }
}

// Round r runs the candidates rotated by r - 1 (A B C, then B C A, ...), each
// workload in turn, so slow drifts of the machine fall on all of them alike.
// One workload in one round: each candidate runs once, or, for a sliced
// workload, `slices` times in turn (A B C A B C ...), pooled per candidate.
// Slices matter for latency: each run is a new process whose CPU, next to the
// device's and the receiver's or not, moves its latency by tens of
// microseconds on a small machine, and short turns share out the machine's
// slow spells. Every run goes to the CSV; the table reads the pooled results.
void run_workload(int round, const workload& what, const std::vector<candidate>& candidates,
                  const trial_setup& setup, run_log& log) {
  workload slice = what;
  slice.poses = what.poses / what.slices;
  const std::size_t n = candidates.size();
  std::vector<trial_result> totals(n);
  for (std::size_t s = 0; s < what.slices; ++s) {
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t index = (k + static_cast<std::size_t>(round - 1) + s) % n;
      const candidate& who = candidates[index];
      if (who.is_floor() && what.kind == workload_kind::start_up) continue;
      trial_result run = run_trial(who, slice, setup);
      run.round = round;
      run.slot = static_cast<int>(k) + 1;
      run.slice = what.slices > 1 ? static_cast<int>(s) + 1 : 0;
      log.write(run);
      if (s == 0) {
        totals[index] = std::move(run);
        totals[index].slice = 0;
      } else {
        add_slice(totals[index], run);
      }
    }
  }
  for (std::size_t k = 0; k < n; ++k) {
    trial_result& total = totals[(k + static_cast<std::size_t>(round - 1)) % n];
    if (total.candidate.empty()) continue;  // the floor has no start-up
    log.runs.push_back(std::move(total));
  }
}

// The load runs for one workload in one round: started before its first run
// and killed after its last. In case it is never killed, it ends by itself
// after twice the time the runs should take, and a minute. False if it did
// not run throughout.
bool run_under_load(int round, const workload& what, const load_setup& load,
                    const trial_setup& setup, run_log& log) {
  const auto runs_length =
      static_cast<nanoseconds>(what.poses * load.candidates.size()) * what.period;
  const long threads = load_threads_per_cpu * sysconf(_SC_NPROCESSORS_ONLN);
  pid_t pid = -1;
  const int started =
      spawn({load.program, std::to_string(threads), std::to_string(load_busy_us),
             std::to_string(load_idle_us), std::to_string(2 * runs_length / ns_per_s + 60)},
            load.log, pid);
  if (started < 0) {
    std::printf("  round %d: game_load did not start: %s\n", round, std::strerror(-started));
    return false;
  }
  run_workload(round, what, load.candidates, setup, log);
  exit_report ended;
  const int reaped = reap_until(pid, now_ns(), ended);
  if (reaped == 0 && !ended.in_time) return true;
  std::printf("  round %d: game_load ended before the runs did (%s), see %s\n", round,
              describe_status(ended.wait_status).c_str(), load.log.c_str());
  return false;
}

// Whether round r is one of the `loaded_rounds` that run under load, spread
// evenly over the rounds (with 5 of 15: rounds 3, 6, 9, 12 and 15).
bool loaded_in_round(const options& chosen, int round) {
  const int share = std::min(chosen.loaded_rounds, chosen.rounds);
  return round * share / chosen.rounds > (round - 1) * share / chosen.rounds;
}

// False if the load did not run throughout a run under load.
bool run_rounds(const options& chosen, const bench_plan& plan, const trial_setup& setup,
                run_log& log) {
  bool load_held = true;
  for (int round = 1; round <= chosen.rounds; ++round) {
    for (const workload& what : plan.workloads) {
      const std::size_t first = log.runs.size();
      if (!what.under_load) {
        run_workload(round, what, plan.candidates, setup, log);
      } else if (loaded_in_round(chosen, round)) {
        load_held = run_under_load(round, what, plan.load, setup, log) && load_held;
      }
      for (std::size_t i = first; i < log.runs.size(); ++i) {
        print_progress(log.runs[i], chosen.rounds);
      }
    }
  }
  return load_held;
}

std::vector<syscall_count> count_all_syscalls(const options& chosen, const bench_plan& plan,
                                              trial_setup setup, run_log& log) {
  std::vector<syscall_count> counts;
  if (!wanted(chosen, "strace")) return counts;
  if (plan.strace.empty()) {
    std::printf("strace is not installed: no system call counts (scripts/install-deps bench)\n");
    return counts;
  }
  std::printf("System calls, each relay under strace -c -f: %zu poses at 1 kHz, then none\n",
              chosen.strace_poses);
  setup.limits.connect = 30 * ns_per_s;  // strace starts the relay more slowly
  const workload paced{"strace, 48-byte poses at 1 kHz",
                       workload_kind::paced_poses,
                       chosen.strace_poses,
                       ns_per_ms,
                       0,
                       0};
  for (const candidate& who : plan.candidates) {
    if (who.is_floor()) continue;
    const std::size_t first = log.runs.size();
    syscall_count count = count_syscalls(who, plan.strace, paced, setup, chosen.out_dir, log.runs);
    for (std::size_t i = first; i < log.runs.size(); ++i) log.write(log.runs[i]);
    if (count.ok()) {
      std::printf("  %-14s %.2f per piece (%ld calls for %llu pieces, %ld relaying nothing):",
                  who.name.c_str(), count.per_piece, count.busy_calls,
                  static_cast<unsigned long long>(count.pieces), count.idle_calls);
      for (const auto& [call, per_piece] : count.by_call) {
        if (per_piece >= 0.005) std::printf(" %s %.2f", call.c_str(), per_piece);
      }
      std::printf("\n");
    } else {
      std::printf("  %-14s FAILED: %s\n", who.name.c_str(), count.failure.c_str());
    }
    counts.push_back(std::move(count));
  }
  return counts;
}

bool write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out);
}

void draw_plot(const report_input& input, const std::string& gnuplot, const std::string& out_dir) {
  const std::string png = out_dir + "/latency-cdf.png";
  const std::string script = write_latency_plot(input, out_dir, png);
  if (script.empty()) {
    std::printf("latency plot: no data or the files could not be written in %s\n", out_dir.c_str());
    return;
  }
  if (gnuplot.empty()) {
    std::printf("gnuplot is not installed: plot script left at %s (scripts/install-deps bench)\n",
                script.c_str());
    return;
  }
  pid_t pid = -1;
  const std::string log = out_dir + "/gnuplot.log";
  const int started = spawn({gnuplot, script}, log, pid);
  if (started < 0) {
    std::printf("gnuplot: %s\n", std::strerror(-started));
    return;
  }
  exit_report drawn;
  const int reaped = reap_until(pid, now_ns() + 60 * ns_per_s, drawn);
  if (reaped < 0) {
    std::printf("gnuplot: wait4: %s\n", std::strerror(-reaped));
  } else if (!drawn.in_time || drawn.wait_status != 0) {
    std::printf("gnuplot failed (%s), see %s\n", describe_status(drawn.wait_status).c_str(),
                log.c_str());
  } else {
    std::printf("Latency plot: %s\n", png.c_str());
  }
}

peer::socket_owner open_device_listener() {
  int error = 0;
  peer::socket_owner listener = peer::open_tcp_listener(device_port, error);
  if (listener.valid()) return listener;
  std::fprintf(stderr, "relay_bench: cannot listen on 127.0.0.1:%u as the device: %s\n",
               static_cast<unsigned>(device_port), std::strerror(error));
  if (error == EADDRINUSE) {
    std::fprintf(stderr,
                 "  Something else (a device, a test) holds the port. As root, run the benchmark\n"
                 "  on a loopback of its own: unshare -n sh -c 'ip link set lo up && exec ...'\n");
  }
  return listener;
}

void print_plan(const options& chosen, const std::vector<candidate>& candidates, bool have_socat,
                bool under_load) {
  std::printf("relay_bench on %s\n", machine_text().c_str());
  for (const candidate& who : candidates) {
    std::printf("  %-23s %s\n", who.name.c_str(), command_text(who).c_str());
  }
  if (!have_socat) {
    std::printf("  socat is not installed: no socat column (scripts/install-deps bench)\n");
  }
  std::printf(
      "%d rounds; %zu poses at 1 kHz (in %zu turns), %zu back to back, %zu MiB per throughput "
      "run\n",
      chosen.rounds, chosen.paced_poses, std::min(chosen.paced_slices, chosen.paced_poses / 10),
      chosen.burst_poses, chosen.volume_mib);
  if (under_load) {
    std::printf(
        "%d of the rounds under a game-like load: %zu poses at 250 Hz (in %zu turns) beside %ld\n"
        "CPU-bound threads at nice 0 (busy %ld ms, asleep %ld ms); device and receiver at nice "
        "%d,\nevery relay started at nice 0\n",
        std::min(chosen.loaded_rounds, chosen.rounds), chosen.loaded_poses,
        std::min(chosen.loaded_slices, chosen.loaded_poses / 10),
        load_threads_per_cpu * sysconf(_SC_NPROCESSORS_ONLN), load_busy_us / 1000,
        load_idle_us / 1000, raised_nice);
  }
  std::fflush(stdout);
}

trial_limits limits_for(const options& chosen) {
  trial_limits limits;
  limits.launcher =
      helper(chosen.launcher.empty() ? next_to_this_program("relay_launch") : chosen.launcher);
  if (limits.launcher.empty()) {
    std::printf(
        "no relay_launch: relays are forked directly, and their peak RSS includes\n"
        "the pages they inherit from this benchmark\n");
  }
  receiver_socket probe;
  if (open_receiver_socket(limits.receive_buffer, std::chrono::milliseconds(1), probe) == 0) {
    std::printf("receiver buffer: %d KiB\n", probe.buffer_bytes / 1024);
  }
  return limits;
}

// The table on the console and in files, and the plot.
void publish(const report_input& input, const std::string& gnuplot, const std::string& out_dir) {
  const std::string table = text_table(input);
  const std::string targets = targets_text(input, false);
  std::printf("\n%s\n%s", table.c_str(), targets.c_str());
  const std::string markdown_targets = targets_text(input, true);
  if (!write_text(out_dir + "/table.txt", targets.empty() ? table : table + '\n' + targets) ||
      !write_text(out_dir + "/table.md", markdown_targets.empty()
                                             ? markdown_table(input)
                                             : markdown_table(input) + '\n' + markdown_targets)) {
    std::printf("could not write the table files in %s\n", out_dir.c_str());
  }
  std::printf("Every run: %s/runs.csv\n", out_dir.c_str());
  draw_plot(input, gnuplot, out_dir);
}

// Checks what the run needs before anything is measured; false after
// printing what is missing.
bool ready(const options& chosen) {
  if (find_program(chosen.relay).empty()) {
    std::fprintf(stderr, "relay_bench: no program at %s\n", chosen.relay.c_str());
    return false;
  }
  if (mkdir(chosen.out_dir.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "relay_bench: cannot create %s: %s\n", chosen.out_dir.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  options chosen;
  if (!parse_options(argc, argv, chosen)) return 2;
  if (chosen.help) {
    print_usage();
    return 0;
  }
  if (!ready(chosen)) return 2;
  // A paced pose wakes the device within microseconds, not the default 50.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  const std::string socat = helper(chosen.socat);
  const std::vector<candidate> candidates = candidates_for(chosen, socat);
  bench_plan plan{candidates, prepare_load(chosen, candidates), {}, helper(chosen.strace)};
  plan.workloads = workloads_for(chosen, plan.load);
  // Every candidate of any workload, in column order.
  const std::vector<candidate>& everyone =
      plan.load.program.empty() ? plan.candidates : plan.load.candidates;
  report_input input;
  input.rounds = chosen.rounds;
  input.workloads = plan.workloads;
  for (const candidate& who : everyone) input.candidates.push_back(who.name);
  if (!plan.load.program.empty()) input.targets = targets_under_load(plan.load);
  print_plan(chosen, everyone, !socat.empty(), !plan.load.program.empty());

  const peer::socket_owner listener = open_device_listener();
  if (!listener.valid()) return 1;
  const trial_setup setup{listener.get(), limits_for(chosen), now_ns()};
  const std::string csv_path = chosen.out_dir + "/runs.csv";
  run_log log{std::ofstream(csv_path), {}};
  log.csv << csv_header() << '\n';
  if (!log.csv) {
    std::fprintf(stderr, "relay_bench: cannot write %s\n", csv_path.c_str());
    return 2;
  }

  warm_caches(everyone, setup);
  const bool load_held = run_rounds(chosen, plan, setup, log);
  input.syscalls = count_all_syscalls(chosen, plan, setup, log);
  input.runs = std::move(log.runs);
  publish(input, helper(chosen.gnuplot), chosen.out_dir);

  const bool all_ran = std::all_of(input.runs.begin(), input.runs.end(),
                                   [](const trial_result& run) { return run.ok(); });
  return all_ran && load_held ? 0 : 3;
}
