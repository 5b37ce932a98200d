// tavorin-device-sim: plays a head tracker's pose stream to one relay over TCP.
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "checked_number.h"
#include "peer_net.h"
#include "pose_wire.h"
#include "relay_constants.h"
#include "stream_digest.h"
#include "tool_cli.h"

namespace {

constexpr const char* program = "tavorin-device-sim";

struct options {
  // Where the relay looks for its device.
  std::uint16_t port = device_port;
  double rate = 250.0;
  double seconds = 10.0;
  std::optional<long long> count;
  double accept_timeout = 30.0;
  bool help = false;
};

void print_usage() {
  say("Usage: %s [options]\n"
      "Listens on 127.0.0.1, accepts one relay and streams 48-byte poses to it\n"
      "(six little-endian doubles: x y z in cm, yaw pitch roll in degrees).\n"
      "  --port N             TCP port to listen on (default %u)\n"
      "  --rate HZ            poses per second (default 250)\n"
      "  --seconds S          how long to stream (default 10)\n"
      "  --count N            stream exactly N poses instead of --seconds\n"
      "  --accept-timeout S   give up if no relay connects in S seconds (default 30)\n"
      "  --help               show this text\n",
      program, unsigned{device_port});
}

// Reads one option that takes a value; false after printing what was wrong.
bool read_valued_option(const char* name, const char* value, options& chosen) {
  bool valid = false;
  if (std::strcmp(name, "--port") == 0) {
    const auto port = checked_number::port(value);
    if (port) chosen.port = *port;
    valid = port.has_value();
  } else if (std::strcmp(name, "--rate") == 0) {
    const auto rate = checked_number::decimal(value, 0.1, 100000.0);
    if (rate) chosen.rate = *rate;
    valid = rate.has_value();
  } else if (std::strcmp(name, "--seconds") == 0) {
    const auto seconds = checked_number::decimal(value, 0.001, 1e6);
    if (seconds) chosen.seconds = *seconds;
    valid = seconds.has_value();
  } else if (std::strcmp(name, "--count") == 0) {
    chosen.count = checked_number::integer(value, 1, 1000000000LL);
    valid = chosen.count.has_value();
  } else if (std::strcmp(name, "--accept-timeout") == 0) {
    const auto timeout = checked_number::decimal(value, 0.1, 86400.0);
    if (timeout) chosen.accept_timeout = *timeout;
    valid = timeout.has_value();
  }
  if (!valid) tool_cli::complain(program, "invalid value '%s' for %s (try --help)", value, name);
  return valid;
}

// Fills `chosen` from argv; false after printing what was wrong.
bool parse_options(int argc, char* argv[], options& chosen) {
  bool seconds_given = false;
  for (int i = 1; i < argc; ++i) {
    const char* name = argv[i];
    if (tool_cli::is_one_of(name, {"--help", "-h"})) {
      chosen.help = true;
    } else if (!tool_cli::is_one_of(
                   name, {"--port", "--rate", "--seconds", "--count", "--accept-timeout"})) {
      tool_cli::complain(program, "unknown option '%s' (try --help)", name);
      return false;
    } else if (i + 1 >= argc) {
      tool_cli::complain(program, "option %s needs a value", name);
      return false;
    } else if (!read_valued_option(name, argv[++i], chosen)) {
      return false;
    }
    seconds_given = seconds_given || std::strcmp(name, "--seconds") == 0;
  }
  // The stream's length would be ambiguous.
  if (seconds_given && chosen.count) {
    tool_cli::complain(program, "give --seconds or --count, not both");
    return false;
  }
  return true;
}

long long total_poses(const options& chosen) {
  if (chosen.count) return *chosen.count;
  const long long poses = std::llround(chosen.seconds * chosen.rate);
  return poses > 0 ? poses : 1;
}

// A head that looks around, nods and tilts a little. Each axis is a sine (or
// two) of its own period, none a simple multiple of another, so the motion
// does not visibly repeat; the pose depends only on its index and the rate,
// so two runs with the same options send the same bytes.
pose_wire::pose pose_at(long long index, double rate) {
  const double t = static_cast<double>(index) / rate;
  const auto wave = [t](double amplitude, double period, double phase) {
    constexpr double two_pi = 6.283185307179586;
    return amplitude * std::sin(two_pi * t / period + phase);
  };
  return pose_wire::pose{
      wave(4.0, 6.3, 0.0),                          // x: lean left and right
      wave(2.5, 4.1, 0.4),                          // y: up and down
      wave(3.0, 8.9, 2.1),                          // z: towards the screen
      wave(35.0, 7.0, 0.0) + wave(10.0, 2.3, 1.0),  // yaw: glances
      wave(15.0, 5.1, 0.7),                         // pitch
      wave(8.0, 9.7, 1.3),                          // roll
  };
}

peer::clock::duration span(double seconds) {
  return std::chrono::duration_cast<peer::clock::duration>(std::chrono::duration<double>(seconds));
}

// Waits for the relay with a deadline, so a script never hangs on us.
peer::socket_owner accept_relay(peer::handle listener, double timeout_seconds) {
  int error = 0;
  peer::socket_owner relay =
      peer::accept_until(listener, peer::clock::now() + span(timeout_seconds), error);
  if (relay.valid()) return relay;
  if (error == 0) {
    tool_cli::complain(program, "no relay connected within %g s", timeout_seconds);
  } else {
    tool_cli::complain(program, "accept failed: %s", peer::describe_error(error).c_str());
  }
  return relay;
}

struct stream_totals {
  long long poses = 0;
  unsigned long long bytes = 0;
  fnv1a64 digest;
};

// One send() per pose on an absolute schedule: pose k leaves at start + k/rate,
// so a late wake-up is caught up on instead of pushing every later pose back.
bool stream_poses(peer::handle relay, const options& chosen, stream_totals& totals) {
  const long long poses = total_poses(chosen);
  const auto start = peer::clock::now();
  for (long long k = 0; k < poses; ++k) {
    peer::sleep_until(start + span(static_cast<double>(k) / chosen.rate));
    const pose_wire::record bytes = pose_wire::encode_pose(pose_at(k, chosen.rate));
    int error = 0;
    if (!peer::send_all(relay, bytes.data(), bytes.size(), error)) {
      tool_cli::complain(program, "send failed after %lld poses: %s", totals.poses,
                         peer::describe_error(error).c_str());
      return false;
    }
    ++totals.poses;
    totals.bytes += bytes.size();
    totals.digest.add(bytes.data(), bytes.size());
  }
  return true;
}

// Ends our side first, then waits (bounded) for the relay to close its side,
// so the relay reads every pose and then an orderly end, never a reset.
bool close_in_order(peer::socket_owner& relay) {
  const int error = peer::shut_down_sending(relay.get());
  if (error != 0) {
    tool_cli::complain(program, "ending the stream failed: %s",
                       peer::describe_error(error).c_str());
    return false;
  }
  const auto deadline = peer::clock::now() + std::chrono::seconds(5);
  unsigned char ignored[256];
  int ignored_error = 0;
  // Whatever the relay sends is read and dropped; its end, a failure or the
  // deadline ends the wait.
  while (peer::receive_until(relay.get(), ignored, sizeof ignored, deadline, ignored_error) > 0) {
  }
  relay.close();
  return true;
}

void print_summary(const stream_totals& totals) {
  say("Sent %lld poses, %llu bytes, fnv1a64 %016" PRIx64 "\n", totals.poses, totals.bytes,
      totals.digest.value());
}

// Serves one relay: exit_done once every pose is sent and the connection
// closed in order.
int serve(const options& chosen) {
  int error = 0;
  peer::socket_owner listener = peer::open_tcp_listener(chosen.port, error);
  if (!listener.valid()) {
    tool_cli::complain(program, "cannot listen on 127.0.0.1:%u: %s", unsigned{chosen.port},
                       peer::describe_error(error).c_str());
    return tool_cli::exit_failed;
  }
  say("Listening on 127.0.0.1:%u\n", unsigned{chosen.port});

  peer::socket_owner relay = accept_relay(listener.get(), chosen.accept_timeout);
  if (!relay.valid()) return tool_cli::exit_failed;
  // One relay only: later connections are refused rather than left waiting.
  listener.close();
  // A relay that stops reading must not hold the simulator forever.
  error = peer::set_send_timeout(relay.get(), std::chrono::seconds(5));
  if (error != 0) {
    tool_cli::complain(program, "cannot set a send timeout: %s",
                       peer::describe_error(error).c_str());
    return tool_cli::exit_failed;
  }
  say("Relay connected, sending %lld poses at %g Hz\n", total_poses(chosen), chosen.rate);

  stream_totals totals;
  const bool all_sent = stream_poses(relay.get(), chosen, totals);
  print_summary(totals);
  if (!all_sent) return tool_cli::exit_failed;
  return close_in_order(relay) ? tool_cli::exit_done : tool_cli::exit_failed;
}

}  // namespace

int main(int argc, char* argv[]) {
  return tool_cli::run_program(program, argc, argv, parse_options, print_usage, serve);
}
