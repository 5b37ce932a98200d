// Monotonic time in nanoseconds: the one clock every stamp and deadline uses.
#pragma once

#include <cstdint>
#include <ctime>

namespace bench {

using nanoseconds = std::int64_t;

constexpr nanoseconds ns_per_us = 1000;
constexpr nanoseconds ns_per_ms = 1000 * ns_per_us;
constexpr nanoseconds ns_per_s = 1000 * ns_per_ms;

inline nanoseconds now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<nanoseconds>(t.tv_sec) * ns_per_s + t.tv_nsec;
}

inline timespec to_timespec(nanoseconds t) {
  timespec out{};
  out.tv_sec = static_cast<time_t>(t / ns_per_s);
  out.tv_nsec = static_cast<long>(t % ns_per_s);
  return out;
}

// CPU time of the calling thread, to tell what the device and the receiver
// cost from what the relay does.
inline nanoseconds thread_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<nanoseconds>(t.tv_sec) * ns_per_s + t.tv_nsec;
}

// Sleeps to an absolute instant, so a paced schedule never drifts by the time
// spent between wake-ups.
inline void sleep_until(nanoseconds when) {
  const timespec target = to_timespec(when);
  // EINTR only cuts the sleep short; the next call resumes the same target.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr) == 0) return;
  }
}

inline void sleep_for(nanoseconds span) { sleep_until(now_ns() + span); }

inline double to_ms(nanoseconds t) {
  return static_cast<double>(t) / static_cast<double>(ns_per_ms);
}
inline double to_us(nanoseconds t) {
  return static_cast<double>(t) / static_cast<double>(ns_per_us);
}
inline double to_s(nanoseconds t) { return static_cast<double>(t) / static_cast<double>(ns_per_s); }

}  // namespace bench
