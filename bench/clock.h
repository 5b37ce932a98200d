// Monotonic time in nanoseconds: the one clock every stamp and deadline uses.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>

#include "peer_net.h"

namespace bench {

using nanoseconds = std::int64_t;

constexpr nanoseconds ns_per_us = 1000;
constexpr nanoseconds ns_per_ms = 1000 * ns_per_us;
constexpr nanoseconds ns_per_s = 1000 * ns_per_ms;

// CLOCK_MONOTONIC, which relay_launch reads too; the peers' steady clock is
// the same clock on Linux, so an instant converts to it as it is.
inline nanoseconds now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<nanoseconds>(t.tv_sec) * ns_per_s + t.tv_nsec;
}

inline peer::clock::time_point instant(nanoseconds t) {
  return peer::clock::time_point(
      std::chrono::duration_cast<peer::clock::duration>(std::chrono::nanoseconds(t)));
}

// CPU time of the calling thread, to tell what the device and the receiver
// cost from what the relay does.
inline nanoseconds thread_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<nanoseconds>(t.tv_sec) * ns_per_s + t.tv_nsec;
}

inline void sleep_for(nanoseconds span) { peer::sleep_until(instant(now_ns() + span)); }

inline double to_ms(nanoseconds t) {
  return static_cast<double>(t) / static_cast<double>(ns_per_ms);
}
inline double to_us(nanoseconds t) {
  return static_cast<double>(t) / static_cast<double>(ns_per_us);
}
inline double to_s(nanoseconds t) { return static_cast<double>(t) / static_cast<double>(ns_per_s); }

}  // namespace bench
