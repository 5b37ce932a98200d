// One measured run: a candidate relay (or none, the floor) under one workload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "clock.h"
#include "peer_net.h"

namespace bench {

// A relay to measure. An empty command is the floor: the benchmark sends
// each piece straight to the receiver, as a relay with no cost would.
struct candidate {
  std::string name;
  std::vector<std::string> command;  // "{port}" stands for the receiver's port
  std::optional<account> as{};       // another user to run it as
  bool is_floor() const { return command.empty(); }
};

enum class workload_kind {
  start_up,            // connect, then end the stream at once
  paced_poses,         // poses on an absolute schedule
  back_to_back_poses,  // poses written as fast as the link takes them
  bulk,                // a fixed volume in writes of one size, as fast as possible
};

struct workload {
  std::string name;
  workload_kind kind = workload_kind::start_up;
  std::size_t poses = 0;
  nanoseconds period = 0;
  std::size_t write_size = 0;
  std::uint64_t volume = 0;  // bytes, a whole number of writes
  // Runs per candidate in a round, taking turns; their results are pooled.
  std::size_t slices = 1;
  // Beside a game-like load (game_load.cpp), which the caller runs: the
  // device and receiver threads are raised to `raised_nice` for the trial,
  // so that what is late is the relay and not the benchmark.
  bool under_load = false;
};

constexpr int raised_nice = -15;

struct trial_limits {
  nanoseconds connect = 10 * ns_per_s;  // spawn to connected, and the warm-up pose
  nanoseconds stall = 10 * ns_per_s;    // a device write that cannot progress
  nanoseconds exit = 10 * ns_per_s;     // end of stream to the relay's exit
  int receive_buffer = 256 << 20;
  std::string relay_output = "/dev/null";
  // relay_launch, through which relays start so that their peak RSS is their
  // own; empty to fork them directly.
  std::string launcher;
};

struct trial_result {
  int round = 0;
  int slot = 0;   // position in the round's order
  int slice = 0;  // which of the workload's slices, 0 for a whole run
  std::string candidate;
  std::string workload;
  std::string failure;  // empty when the run completed

  bool ran_process = false;
  std::string exit;  // how the relay ended
  double connect_ms = 0.0;
  double cpu_ms = 0.0;
  long max_rss_kb = 0;

  std::uint64_t bytes_written = 0;  // by the device, after the warm-up pose
  std::uint64_t bytes_received = 0;
  std::uint64_t datagrams = 0;
  std::uint64_t all_datagrams = 0;  // the warm-up pose's included
  std::uint64_t not_one_pose = 0;
  std::uint64_t poses_sent = 0;
  std::uint64_t poses_received = 0;
  // Paced poses the device sent half a period or more behind its schedule
  // (the machine held it up); each such pose leaves right after the one
  // before it, so a relay may read both at once.
  std::uint64_t late_poses = 0;
  nanoseconds elapsed = 0;         // first measured write to last datagram in hand
  std::vector<double> latency_us;  // of every pose received, sorted
  double device_cpu_ms = 0.0;      // the simulated device's thread, while writing
  double receiver_cpu_ms = 0.0;    // the receiving thread, over the whole run
  long syscalls = -1;              // counted by strace, when it ran under it
  std::optional<int> relay_nice;   // the relay's, once it had connected

  bool ok() const { return failure.empty(); }
};

// Pools one slice of a workload into the candidate's result for the round:
// counts and times add up, latencies join, the first failure stays.
void add_slice(trial_result& total, const trial_result& part);

// What every trial of one benchmark shares.
struct trial_setup {
  peer::handle listener = peer::no_socket;  // the device's, where each relay connects
  trial_limits limits;
  nanoseconds epoch = 0;  // where the send stamps count from
};

trial_result run_trial(const candidate& who, const workload& what, const trial_setup& setup);

}  // namespace bench
