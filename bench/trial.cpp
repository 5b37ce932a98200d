// A trial, stage by stage: receiver, relay, warm-up, workload, end, reaping.
#include "trial.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "child_process.h"
#include "pose_stamp.h"
#include "relay_constants.h"
#include "trial_receiver.h"

namespace bench {

namespace {

// The largest piece a relay reads, so the floor sends what a relay would.
constexpr auto piece_size = static_cast<std::size_t>(relay_buffer_size);
// With this long without a datagram after the end, the receiver has it all.
constexpr std::chrono::milliseconds receiver_idle(50);
// How often the wait for a relay's connection looks whether it has ended.
constexpr nanoseconds exit_check = 5 * ns_per_ms;

std::chrono::milliseconds as_milliseconds(nanoseconds span) {
  return std::chrono::milliseconds(span / ns_per_ms);
}

// `code` is an errno value.
trial_result& fail(trial_result& result, const char* step, int code) {
  result.failure = std::string(step) + ": " + std::strerror(code);
  return result;
}

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

  // Spawns the relay and accepts its connection; the device link, or an
  // invalid owner with the failure in `result`.
  peer::socket_owner start(const candidate& who, std::uint16_t port, const trial_setup& setup,
                           trial_result& result) {
    const trial_limits& limits = setup.limits;
    const std::vector<std::string> argv = expand_command(who.command, port);
    result.ran_process = true;
    spawned_ = now_ns();
    const int started = limits.launcher.empty()
                            ? spawn(argv, limits.relay_output, direct_, -1, who.as)
                            : launch(limits.launcher, argv, limits.relay_output, launched_, who.as);
    if (started < 0) {
      fail(result, "spawn", -started);
      return peer::socket_owner();
    }
    peer::socket_owner link = accept_link(setup, result);
    if (!link.valid()) return link;
    connected_ = now_ns();
    // Each write leaves as its own segment, as a device's pose does, and a
    // write that cannot progress fails instead of hanging.
    int error = peer::set_no_delay(link.get());
    if (error == 0) error = peer::set_send_timeout(link.get(), as_milliseconds(limits.stall));
    if (error != 0) {
      fail(result, "device link options", error);
      return peer::socket_owner();
    }
    return link;
  }

  // Spawn to connected; the instant of the spawn is the launcher's own once
  // reaped through it.
  double connect_ms() const { return to_ms(connected_ - spawned_); }
  std::optional<int> nice() const {
    return direct_ > 0 ? nice_of(direct_) : nice_of_launched(launched_);
  }

  // 0, or the negated errno of the wait that failed.
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
  pid_t pid() const { return direct_ > 0 ? direct_ : launched_.launcher; }

  // Waits in short turns, so that a relay that ends before it connects
  // fails the trial at once rather than at the deadline.
  peer::socket_owner accept_link(const trial_setup& setup, trial_result& result) {
    const nanoseconds deadline = spawned_ + setup.limits.connect;
    for (nanoseconds now = now_ns(); now < deadline; now = now_ns()) {
      int error = 0;
      peer::socket_owner link =
          peer::accept_until(setup.listener, instant(std::min(deadline, now + exit_check)), error);
      if (link.valid()) return link;
      if (error != 0) {
        fail(result, "accept", error);
        return link;
      }
      if (has_ended(pid())) {
        exit_report report;
        reap(now_ns() + setup.limits.exit, report);
        result.failure =
            "the relay ended before it connected (" + describe_status(report.wait_status) + ")";
        return link;
      }
    }
    fail(result, "accept", ETIMEDOUT);
    return peer::socket_owner();
  }

  pid_t direct_ = -1;
  launched launched_;
  nanoseconds spawned_ = 0;
  nanoseconds connected_ = 0;
};

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

// The device's end of a trial: the relay's TCP link, or for the floor,
// straight to the receiver in pieces of the relay's size, one sendto each.
// Each call returns 0, or the error code of the write that failed.
class device_end {
 public:
  device_end(nanoseconds epoch, nanoseconds deadline) : epoch_(epoch), deadline_(deadline) {}

  void use_link(peer::socket_owner link) { socket_ = std::move(link); }
  void use_datagrams(peer::socket_owner socket, std::uint16_t port) {
    socket_ = std::move(socket);
    receiver_port_ = port;
  }

  // One pose through the relay before the clock starts, so what is
  // measured is the relay's loop and not its start.
  int warm_up(const trial_receiver& rx, nanoseconds deadline) {
    const pose_wire::record pose = stamp_pose(warm_up_sequence, 0);
    const int error = write(pose.data(), pose.size());
    if (error != 0) return error;
    while (rx.so_far().bytes < pose_size) {
      if (now_ns() > deadline) return ETIMEDOUT;
      sleep_for(100 * ns_per_us);
    }
    return 0;
  }

  int drive(const workload& what, trial_result& result) {
    started_ = now_ns();
    switch (what.kind) {
      case workload_kind::start_up:
        return 0;
      case workload_kind::paced_poses:
      case workload_kind::back_to_back_poses:
        return drive_poses(what, result);
      case workload_kind::bulk:
        return drive_bulk(what, result);
    }
    return 0;
  }

  // For a relay, the orderly end of the stream that lets it exit.
  void end_stream() { socket_.close(); }

  // When the measured writes began.
  nanoseconds started() const { return started_; }

 private:
  int write(const unsigned char* data, std::size_t size) {
    int error = 0;
    if (receiver_port_ == 0) return peer::send_all(socket_.get(), data, size, error) ? 0 : error;
    for (std::size_t at = 0; at < size; at += piece_size) {
      if (!peer::send_datagram(socket_.get(), data + at, std::min(piece_size, size - at),
                               receiver_port_, error)) {
        return error;
      }
    }
    return 0;
  }

  // Paced poses keep an absolute schedule. When the machine holds the
  // device up, it catches up, but never sends two poses less than half a
  // period apart: two poses sent back to back would be read together by any
  // relay, and the datagrams that are not one pose would count the
  // machine's stalls rather than the relay's.
  int drive_poses(const workload& what, trial_result& result) {
    const bool paced = what.kind == workload_kind::paced_poses;
    const nanoseconds start = now_ns() + ns_per_ms;
    nanoseconds previous = start - what.period;
    for (std::size_t i = 0; i < what.poses; ++i) {
      const nanoseconds due = start + static_cast<nanoseconds>(i) * what.period;
      if (paced) peer::sleep_until(instant(std::max(due, previous + what.period / 2)));
      const nanoseconds stamp = now_ns();
      previous = stamp;
      if (paced && stamp - due >= what.period / 2) ++result.late_poses;
      const pose_wire::record pose = stamp_pose(static_cast<std::int64_t>(i), stamp - epoch_);
      const int error = write(pose.data(), pose.size());
      if (error != 0) return error;
      ++result.poses_sent;
      result.bytes_written += pose_size;
    }
    return 0;
  }

  int drive_bulk(const workload& what, trial_result& result) {
    std::vector<unsigned char> block(what.write_size);
    for (std::size_t at = 0; at < block.size(); at += pose_size) {
      const pose_wire::record pose = stamp_pose(static_cast<std::int64_t>(at / pose_size), 0);
      std::memcpy(&block[at], pose.data(), std::min(pose_size, block.size() - at));
    }
    const std::uint64_t writes = what.volume / what.write_size;
    started_ = now_ns();
    for (std::uint64_t i = 0; i < writes; ++i) {
      if ((i & 1023U) == 0 && now_ns() > deadline_) return ETIMEDOUT;
      const int error = write(block.data(), block.size());
      if (error != 0) return error;
      result.bytes_written += block.size();
    }
    return 0;
  }

  peer::socket_owner socket_;
  std::uint16_t receiver_port_ = 0;  // the floor's only
  nanoseconds epoch_;
  nanoseconds deadline_;
  nanoseconds started_ = 0;
};

void take_exit(const exit_report& report, trial_result& result) {
  result.exit = report.in_time ? describe_status(report.wait_status) : "killed at the deadline";
  result.cpu_ms = report.cpu_ms;
  result.max_rss_kb = report.max_rss_kb;
}

void take_tally(const receiver_tally& tally, const receiver_counts& warm, nanoseconds started,
                trial_result& result) {
  result.bytes_received = tally.bytes - warm.bytes;
  result.all_datagrams = tally.datagrams;
  result.datagrams = tally.datagrams - warm.datagrams;
  result.not_one_pose = tally.not_one_pose;
  result.receiver_cpu_ms = to_ms(tally.cpu);
  if (tally.raise_error != 0 && result.ok()) {
    fail(result, "raise the receiver thread", tally.raise_error);
  }
  if (result.datagrams > 0) result.elapsed = tally.last_arrival - started;
  for (const nanoseconds latency : tally.latency) {
    if (latency >= 0) result.latency_us.push_back(to_us(latency));
  }
  std::sort(result.latency_us.begin(), result.latency_us.end());
  result.poses_received = result.latency_us.size();
  if (tally.read_error != 0 && result.ok()) fail(result, "receive", tally.read_error);
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

trial_result run_trial(const candidate& who, const workload& what, const trial_setup& setup) {
  const trial_limits& limits = setup.limits;
  trial_result result;
  result.candidate = who.name;
  result.workload = what.name;
  const nanoseconds deadline = now_ns() + limits.connect + expected_duration(what) + limits.exit;
  const raised_device raised(what.under_load);
  if (raised.outcome() < 0) return fail(result, "raise the device thread", -raised.outcome());

  receiver_socket socket;
  const int opened = open_receiver_socket(limits.receive_buffer, receiver_idle, socket);
  if (opened != 0) return fail(result, "receiver socket", opened);
  const bool timed =
      what.kind == workload_kind::paced_poses || what.kind == workload_kind::back_to_back_poses;
  const std::optional<int> receiver_nice =
      what.under_load ? std::optional<int>(raised_nice) : std::nullopt;
  trial_receiver rx(std::move(socket), receiver_plan{timed ? what.poses : 0, setup.epoch,
                                                     deadline + limits.exit, receiver_nice});

  device_end device(setup.epoch, deadline);
  relay_process relay;
  if (who.is_floor()) {
    int error = 0;
    peer::socket_owner floor = peer::open_udp_socket(0, error);
    if (!floor.valid()) return fail(result, "floor socket", error);
    device.use_datagrams(std::move(floor), rx.port());
  } else {
    peer::socket_owner link = relay.start(who, rx.port(), setup, result);
    if (!link.valid()) return result;
    device.use_link(std::move(link));
    result.relay_nice = relay.nice();
  }

  receiver_counts warm;
  if (what.kind != workload_kind::start_up) {
    const int error = device.warm_up(rx, now_ns() + limits.connect);
    if (error != 0) return fail(result, "warm-up pose", error);
    warm = rx.so_far();
  }

  const nanoseconds device_cpu = thread_cpu_ns();
  const int driven = device.drive(what, result);
  result.device_cpu_ms = to_ms(thread_cpu_ns() - device_cpu);
  if (driven != 0) return fail(result, "device write", driven);

  device.end_stream();
  if (!who.is_floor()) {
    exit_report report;
    const int reaped = relay.reap(now_ns() + limits.exit, report);
    if (reaped < 0) return fail(result, "wait4", -reaped);
    take_exit(report, result);
    result.connect_ms = relay.connect_ms();
    if (!report.in_time) result.failure = "the relay did not exit after the end of stream";
  }
  take_tally(rx.finish(), warm, device.started(), result);
  return result;
}

}  // namespace bench
