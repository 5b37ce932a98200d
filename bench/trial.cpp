// A trial, stage by stage: receiver, relay, warm-up, workload, end, reaping.
#include "trial.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "child_process.h"
#include "loopback.h"
#include "loopback_net.h"
#include "pose_stamp.h"
#include "receiver.h"

namespace bench {

namespace {

// The largest piece a relay reads, so the floor sends what a relay would.
constexpr std::size_t piece_size = 64;
// With this long without a datagram after the end, the receiver has it all.
constexpr nanoseconds receiver_idle = 50 * ns_per_ms;

// Where the device's bytes go: the relay's TCP link, or for the floor,
// straight to the receiver in pieces of at most 64 bytes, one sendto each.
class device_end {
 public:
  device_end() = default;
  ~device_end() { end_stream(); }
  device_end(const device_end&) = delete;
  device_end& operator=(const device_end&) = delete;

  void use_link(int link) { fd_ = link; }
  void use_datagrams(int fd, std::uint16_t port) {
    fd_ = fd;
    direct_ = true;
    to_ = loopback_endpoint(port);
  }

  // 0, or the negated errno of the send that failed.
  int write(const unsigned char* data, std::size_t size) {
    if (!direct_) {
      const int sent = send_all(fd_, data, size);
      return sent < 0 ? sent : 0;
    }
    for (std::size_t at = 0; at < size; at += piece_size) {
      const int sent = send_datagram(fd_, data + at, std::min(piece_size, size - at), to_);
      if (sent < 0) return sent;
    }
    return 0;
  }

  // For a relay, the orderly end of the stream that lets it exit.
  void end_stream() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool direct_ = false;
  sockaddr_in to_{};
};

// A relay process, started through the launcher when there is one; a
// failed trial that leaves it running kills and reaps it.
class relay_process {
 public:
  relay_process() = default;
  ~relay_process() {
    exit_report ignored;
    reap(now_ns(), ignored);
  }
  relay_process(const relay_process&) = delete;
  relay_process& operator=(const relay_process&) = delete;

  int start(const std::vector<std::string>& argv, const std::optional<account>& as,
            const trial_limits& limits) {
    spawned_ = now_ns();
    if (limits.launcher.empty()) return spawn(argv, limits.relay_output, direct_, -1, as);
    return launch(limits.launcher, argv, limits.relay_output, launched_, as);
  }

  // When it was forked: as the launcher saw it, once reaped through it.
  nanoseconds spawned() const { return spawned_; }
  pid_t pid() const { return direct_ > 0 ? direct_ : launched_.launcher; }
  std::optional<int> nice() const {
    return direct_ > 0 ? nice_of(direct_) : nice_of_launched(launched_);
  }

  int reap(nanoseconds deadline, exit_report& out) {
    if (direct_ > 0) {
      const pid_t child = direct_;
      direct_ = -1;
      return reap_until(child, deadline, out);
    }
    if (launched_.launcher > 0) return reap_launched(launched_, deadline, out, spawned_);
    return 0;
  }

 private:
  pid_t direct_ = -1;
  launched launched_;
  nanoseconds spawned_ = 0;
};

trial_result& fail(trial_result& result, const char* step, int negated_errno) {
  result.failure = std::string(step) + ": " + std::strerror(-negated_errno);
  return result;
}

// The thread that runs a trial is the device: raised for the trial when it
// runs under load, then put back.
class raised_device {
 public:
  explicit raised_device(bool raise) : before_(thread_nice()) {
    if (raise) outcome_ = set_thread_nice(raised_nice);
  }
  ~raised_device() {
    if (outcome_ == 0) set_thread_nice(before_);
  }
  raised_device(const raised_device&) = delete;
  raised_device& operator=(const raised_device&) = delete;

  int outcome() const { return outcome_; }

 private:
  int before_;
  int outcome_ = 1;  // 1: not raised; otherwise as set_thread_nice returns
};

nanoseconds expected_duration(const workload& what) {
  switch (what.kind) {
    case workload_kind::start_up:
      return 0;
    case workload_kind::paced_poses:
      return static_cast<nanoseconds>(what.poses) * what.period;
    case workload_kind::back_to_back_poses:
      // Allows 1 ms a pose, far slower than any relay manages.
      return static_cast<nanoseconds>(what.poses) * ns_per_ms;
    case workload_kind::bulk:
      // Allows 1 MB/s.
      return static_cast<nanoseconds>(what.volume) * ns_per_us;
  }
  return 0;
}

// Spawns the relay and waits for it to connect; returns the link or -errno.
int start_relay(const candidate& who, std::uint16_t port, int listener, const trial_limits& limits,
                relay_process& relay, nanoseconds& connected, const char*& step) {
  step = "spawn";
  const int started = relay.start(expand_command(who.command, port), who.as, limits);
  if (started < 0) return started;
  step = "accept";
  // A relay that ends before it connects fails the trial at once.
  const int watch = exit_watch(relay.pid());
  const int link = accept_until(listener, relay.spawned() + limits.connect, watch);
  if (watch >= 0) close(watch);
  if (link < 0) return link;
  connected = now_ns();
  step = "device link options";
  const int tuned = tune_device_link(link, limits.stall);
  if (tuned < 0) {
    close(link);
    return tuned;
  }
  return link;
}

// One pose through the relay before the clock starts, so what is measured
// is the relay's loop and not its start.
int warm_up(device_end& device, const receiver& rx, nanoseconds deadline) {
  const pose_bytes pose = encode_pose(warm_up_sequence, 0);
  const int sent = device.write(pose.data(), pose.size());
  if (sent < 0) return sent;
  while (rx.bytes_so_far() < pose_size) {
    if (now_ns() > deadline) return -ETIMEDOUT;
    sleep_for(100 * ns_per_us);
  }
  return 0;
}

// Paced poses keep an absolute schedule. When the machine holds the device
// up, it catches up, but never sends two poses less than half a period
// apart: two poses sent back to back would be read together by any relay,
// and the datagrams that are not one pose would count the machine's stalls
// rather than the relay's.
int drive_poses(device_end& device, const workload& what, nanoseconds epoch, trial_result& result) {
  const bool paced = what.kind == workload_kind::paced_poses;
  const nanoseconds start = now_ns() + ns_per_ms;
  nanoseconds previous = start - what.period;
  for (std::size_t i = 0; i < what.poses; ++i) {
    const nanoseconds due = start + static_cast<nanoseconds>(i) * what.period;
    if (paced) sleep_until(std::max(due, previous + what.period / 2));
    const nanoseconds stamp = now_ns();
    previous = stamp;
    if (paced && stamp - due >= what.period / 2) ++result.late_poses;
    const pose_bytes pose = encode_pose(static_cast<std::int64_t>(i), stamp - epoch);
    const int sent = device.write(pose.data(), pose.size());
    if (sent < 0) return sent;
    ++result.poses_sent;
    result.bytes_written += pose_size;
  }
  return 0;
}

std::vector<unsigned char> bulk_block(std::size_t size) {
  std::vector<unsigned char> block(size);
  for (std::size_t at = 0; at < size; at += pose_size) {
    const pose_bytes pose = encode_pose(static_cast<std::int64_t>(at / pose_size), 0);
    std::memcpy(&block[at], pose.data(), std::min(pose_size, size - at));
  }
  return block;
}

int drive_bulk(device_end& device, const workload& what, nanoseconds deadline, nanoseconds& started,
               trial_result& result) {
  const std::vector<unsigned char> block = bulk_block(what.write_size);
  const std::uint64_t writes = what.volume / what.write_size;
  started = now_ns();
  for (std::uint64_t i = 0; i < writes; ++i) {
    if ((i & 1023U) == 0 && now_ns() > deadline) return -ETIMEDOUT;
    const int sent = device.write(block.data(), block.size());
    if (sent < 0) return sent;
    result.bytes_written += block.size();
  }
  return 0;
}

int drive(device_end& device, const workload& what, nanoseconds epoch, nanoseconds deadline,
          nanoseconds& started, trial_result& result) {
  started = now_ns();
  switch (what.kind) {
    case workload_kind::start_up:
      return 0;
    case workload_kind::paced_poses:
    case workload_kind::back_to_back_poses:
      return drive_poses(device, what, epoch, result);
    case workload_kind::bulk:
      return drive_bulk(device, what, deadline, started, result);
  }
  return 0;
}

void take_exit(const exit_report& report, trial_result& result) {
  result.exit = report.in_time ? describe_status(report.wait_status) : "killed at the deadline";
  result.cpu_ms = report.cpu_ms;
  result.max_rss_kb = report.max_rss_kb;
}

void take_tally(const receiver_tally& tally, std::uint64_t warm_bytes, std::uint64_t warm_datagrams,
                nanoseconds started, trial_result& result) {
  result.bytes_received = tally.bytes - warm_bytes;
  result.all_datagrams = tally.datagrams;
  result.datagrams = tally.datagrams - warm_datagrams;
  result.not_one_pose = tally.not_one_pose;
  result.receiver_cpu_ms = to_ms(tally.cpu);
  if (tally.raise_error != 0 && result.ok()) {
    fail(result, "raise the receiver thread", -tally.raise_error);
  }
  if (result.datagrams > 0) result.elapsed = tally.last_arrival - started;
  for (const nanoseconds latency : tally.latency) {
    if (latency >= 0) result.latency_us.push_back(to_us(latency));
  }
  std::sort(result.latency_us.begin(), result.latency_us.end());
  result.poses_received = result.latency_us.size();
  if (tally.read_error != 0 && result.ok()) fail(result, "receive", -tally.read_error);
}

}  // namespace

void add_slice(trial_result& total, const trial_result& part) {
  if (total.ok() && !part.ok()) total.failure = part.failure;
  total.ran_process = total.ran_process || part.ran_process;
  if (!part.exit.empty()) total.exit = part.exit;
  total.connect_ms = std::max(total.connect_ms, part.connect_ms);
  total.cpu_ms += part.cpu_ms;
  total.max_rss_kb = std::max(total.max_rss_kb, part.max_rss_kb);
  total.bytes_written += part.bytes_written;
  total.bytes_received += part.bytes_received;
  total.datagrams += part.datagrams;
  total.all_datagrams += part.all_datagrams;
  total.not_one_pose += part.not_one_pose;
  total.poses_sent += part.poses_sent;
  total.poses_received += part.poses_received;
  total.late_poses += part.late_poses;
  total.elapsed += part.elapsed;
  total.device_cpu_ms += part.device_cpu_ms;
  total.receiver_cpu_ms += part.receiver_cpu_ms;
  total.latency_us.insert(total.latency_us.end(), part.latency_us.begin(), part.latency_us.end());
  std::sort(total.latency_us.begin(), total.latency_us.end());
}

trial_result run_trial(const candidate& who, const workload& what, int listener,
                       const trial_limits& limits, nanoseconds epoch) {
  trial_result result;
  result.candidate = who.name;
  result.workload = what.name;
  const nanoseconds deadline = now_ns() + limits.connect + expected_duration(what) + limits.exit;
  const raised_device raised(what.under_load);
  if (raised.outcome() < 0) return fail(result, "raise the device thread", raised.outcome());

  receiver_socket socket{};
  const int opened = open_receiver(limits.receive_buffer, receiver_idle, socket);
  if (opened < 0) return fail(result, "receiver socket", opened);
  const bool timed =
      what.kind == workload_kind::paced_poses || what.kind == workload_kind::back_to_back_poses;
  receiver rx(socket, timed ? what.poses : 0, epoch, deadline + limits.exit,
              what.under_load ? std::optional<int>(raised_nice) : std::nullopt);

  device_end device;
  relay_process relay;
  nanoseconds connected = 0;
  if (who.is_floor()) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(result, "floor socket", -errno);
    device.use_datagrams(fd, rx.port());
  } else {
    const char* step = "";
    result.ran_process = true;
    const int link = start_relay(who, rx.port(), listener, limits, relay, connected, step);
    if (link == -ECHILD) {
      exit_report report;
      relay.reap(now_ns() + limits.exit, report);
      result.failure =
          "the relay ended before it connected (" + describe_status(report.wait_status) + ")";
      return result;
    }
    if (link < 0) return fail(result, step, link);
    device.use_link(link);
    result.relay_nice = relay.nice();
  }

  std::uint64_t warm_bytes = 0;
  std::uint64_t warm_datagrams = 0;
  if (what.kind != workload_kind::start_up) {
    const int warmed = warm_up(device, rx, now_ns() + limits.connect);
    if (warmed < 0) return fail(result, "warm-up pose", warmed);
    warm_bytes = rx.bytes_so_far();
    warm_datagrams = rx.datagrams_so_far();
  }

  nanoseconds started = 0;
  const nanoseconds device_cpu = thread_cpu_ns();
  const int driven = drive(device, what, epoch, deadline, started, result);
  result.device_cpu_ms = to_ms(thread_cpu_ns() - device_cpu);
  if (driven < 0) return fail(result, "device write", driven);

  device.end_stream();
  if (!who.is_floor()) {
    exit_report report;
    const int reaped = relay.reap(now_ns() + limits.exit, report);
    if (reaped < 0) return fail(result, "wait4", reaped);
    take_exit(report, result);
    result.connect_ms = to_ms(connected - relay.spawned());
    if (!report.in_time) result.failure = "the relay did not exit after the end of stream";
  }
  take_tally(rx.finish(), warm_bytes, warm_datagrams, started, result);
  return result;
}

}  // namespace bench
