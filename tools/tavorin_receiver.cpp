// tavorin-receiver: stands in for Opentrack, counting and decoding the relay's datagrams.
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "checked_number.h"
#include "peer_net.h"
#include "pose_wire.h"
#include "stream_digest.h"
#include "tool_cli.h"

namespace {

constexpr const char* program = "tavorin-receiver";

using clock_type = peer::clock;

struct options {
  std::optional<std::uint16_t> port;
  std::optional<double> seconds;
  std::optional<double> idle;
  std::optional<long long> count;
  bool quiet = false;
  bool help = false;
};

// Set from the signal handler; the receive loop wakes at least every
// poll_interval to look at it.
volatile std::sig_atomic_t stop_requested = 0;
constexpr std::chrono::milliseconds poll_interval(200);

void request_stop(int /*signal*/) { stop_requested = 1; }

void print_usage() {
  say("Usage: %s [options] PORT   (or --port PORT)\n"
      "Receives UDP datagrams on 127.0.0.1:PORT as Opentrack does, shows the\n"
      "rate and the last pose every second, and a summary on exit.\n"
      "  --seconds S   stop after S seconds\n"
      "  --idle S      stop S seconds after the last datagram (once one came)\n"
      "  --count N     stop after N datagrams\n"
      "  --quiet       no live lines, only the summary\n"
      "  --help        show this text\n"
      "Ctrl-C stops it too; the summary is printed in every case.\n",
      program);
}

// Reads one option that takes a value; false after printing what was wrong.
bool read_valued_option(const char* name, const char* value, options& chosen) {
  bool valid = false;
  if (std::strcmp(name, "--port") == 0) {
    if (chosen.port) {
      tool_cli::complain(program, "the port is given twice");
      return false;
    }
    chosen.port = checked_number::port(value);
    valid = chosen.port.has_value();
  } else if (std::strcmp(name, "--seconds") == 0) {
    chosen.seconds = checked_number::decimal(value, 0.001, 1e6);
    valid = chosen.seconds.has_value();
  } else if (std::strcmp(name, "--idle") == 0) {
    chosen.idle = checked_number::decimal(value, 0.001, 1e6);
    valid = chosen.idle.has_value();
  } else if (std::strcmp(name, "--count") == 0) {
    chosen.count = checked_number::integer(value, 1, 1000000000000LL);
    valid = chosen.count.has_value();
  }
  if (!valid) tool_cli::complain(program, "invalid value '%s' for %s (try --help)", value, name);
  return valid;
}

bool parse_options(int argc, char* argv[], options& chosen) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (tool_cli::is_one_of(arg, {"--help", "-h"})) {
      chosen.help = true;
    } else if (std::strcmp(arg, "--quiet") == 0) {
      chosen.quiet = true;
    } else if (tool_cli::is_one_of(arg, {"--port", "--seconds", "--idle", "--count"})) {
      if (i + 1 >= argc) {
        tool_cli::complain(program, "option %s needs a value", arg);
        return false;
      }
      if (!read_valued_option(arg, argv[++i], chosen)) return false;
    } else if (arg[0] == '-' && arg[1] != '\0') {
      tool_cli::complain(program, "unknown option '%s' (try --help)", arg);
      return false;
    } else if (!read_valued_option("--port", arg, chosen)) {  // the positional port
      return false;
    }
  }
  if (!chosen.help && !chosen.port) {
    tool_cli::complain(program, "which UDP port? (try --help)");
    return false;
  }
  return true;
}

struct tally {
  long long datagrams = 0;
  unsigned long long bytes = 0;
  long long whole_records = 0;  // datagrams of exactly one pose
  fnv1a64 digest;
  std::optional<pose_wire::pose> last_pose;
  clock_type::time_point last_arrival;
};

// Opentrack decodes the first 48 bytes of a datagram and ignores the rest;
// a shorter datagram carries no pose.
void count_datagram(const unsigned char* data, std::size_t size, tally& seen) {
  ++seen.datagrams;
  seen.bytes += size;
  seen.digest.add(data, size);
  if (size == pose_wire::record_size) ++seen.whole_records;
  if (size >= pose_wire::record_size) seen.last_pose = pose_wire::decode_pose(data);
  seen.last_arrival = clock_type::now();
}

void print_pose(const char* lead, const std::optional<pose_wire::pose>& pose, const char* missing) {
  if (!pose) {
    say("%s%s\n", lead, missing);
    return;
  }
  say("%sx %.2f y %.2f z %.2f yaw %.2f pitch %.2f roll %.2f\n", lead, pose->x, pose->y, pose->z,
      pose->yaw, pose->pitch, pose->roll);
}

void print_live_line(double elapsed_seconds, double rate, const tally& seen) {
  char lead[96];
  std::snprintf(lead, sizeof lead, "%6.1f s  %6.1f datagrams/s  ", elapsed_seconds, rate);
  print_pose(lead, seen.last_pose, "no pose yet");
}

void print_summary(const char* reason, const tally& seen) {
  say("Stopped: %s\n", reason);
  say("Received %lld datagrams, %llu bytes, %lld of exactly %u bytes, fnv1a64 %016" PRIx64 "\n",
      seen.datagrams, seen.bytes, seen.whole_records, static_cast<unsigned>(pose_wire::record_size),
      seen.digest.value());
  print_pose("Last pose: ", seen.last_pose, "none");
}

std::chrono::duration<double> as_duration(double seconds) {
  return std::chrono::duration<double>(seconds);
}

// Which limit, if any, has been reached.
const char* limit_reached(const options& chosen, const tally& seen, clock_type::time_point start,
                          clock_type::time_point now) {
  if (stop_requested != 0) return "signal";
  if (chosen.count && seen.datagrams >= *chosen.count) return "datagram count reached";
  if (chosen.seconds && now - start >= as_duration(*chosen.seconds)) return "time is up";
  if (chosen.idle && seen.datagrams > 0 && now - seen.last_arrival >= as_duration(*chosen.idle)) {
    return "no datagram for the idle time";
  }
  return nullptr;
}

// Receives until a limit or a signal; returns the reason, or nullptr after a
// failed receive was reported.
const char* receive_datagrams(peer::handle socket, const options& chosen, tally& seen) {
  // Larger than any UDP payload, so no datagram is ever cut.
  std::vector<unsigned char> buffer(65536);
  const clock_type::time_point start = clock_type::now();
  clock_type::time_point window_start = start;
  long long window_first = 0;
  for (;;) {
    const clock_type::time_point now = clock_type::now();
    if (const char* reason = limit_reached(chosen, seen, start, now)) return reason;

    const std::chrono::duration<double> window = now - window_start;
    if (window.count() >= 1.0) {
      if (!chosen.quiet) {
        const std::chrono::duration<double> elapsed = now - start;
        print_live_line(elapsed.count(),
                        static_cast<double>(seen.datagrams - window_first) / window.count(), seen);
      }
      window_start = now;
      window_first = seen.datagrams;
    }

    int error = 0;
    const long n =
        peer::receive_until(socket, buffer.data(), buffer.size(), now + poll_interval, error);
    if (n == peer::nothing_yet) continue;
    if (n < 0) {
      tool_cli::complain(program, "receive failed: %s", peer::describe_error(error).c_str());
      return nullptr;
    }
    count_datagram(buffer.data(), static_cast<std::size_t>(n), seen);
  }
}

// The datagram socket with a large receive queue; invalid after saying why.
peer::socket_owner open_receiver(std::uint16_t port) {
  int error = 0;
  peer::socket_owner udp = peer::open_udp_socket(port, error);
  if (!udp.valid()) {
    tool_cli::complain(program, "cannot listen on udp 127.0.0.1:%u: %s", unsigned{port},
                       peer::describe_error(error).c_str());
    return udp;
  }
  // Bursts at a few hundred poses per second must not overflow the queue
  // while this program prints; a smaller buffer granted by the system is
  // still worth running with, so this only warns.
  constexpr int wanted_buffer = 4 * 1024 * 1024;
  int granted = 0;
  error = peer::set_receive_buffer(udp.get(), wanted_buffer, granted);
  if (error != 0) {
    tool_cli::complain(program, "warning: no %d-byte receive buffer: %s", wanted_buffer,
                       peer::describe_error(error).c_str());
  }
  return udp;
}

// Shows what arrives until a limit or a signal: exit_done, with the summary
// printed.
int receive(const options& chosen) {
  const peer::socket_owner udp = open_receiver(*chosen.port);
  if (!udp.valid()) return tool_cli::exit_failed;

  std::signal(SIGINT, request_stop);
  std::signal(SIGTERM, request_stop);
  say("Listening on udp 127.0.0.1:%u\n", unsigned{*chosen.port});

  tally seen;
  const char* reason = receive_datagrams(udp.get(), chosen, seen);
  print_summary(reason != nullptr ? reason : "receive failed", seen);
  return reason != nullptr ? tool_cli::exit_done : tool_cli::exit_failed;
}

}  // namespace

int main(int argc, char* argv[]) {
  return tool_cli::run_program(program, argc, argv, parse_options, print_usage, receive);
}
