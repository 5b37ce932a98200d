// game_load: CPU-bound threads at normal priority, as a running game keeps every CPU busy.
//
// Each thread does BUSY_US of work (its own CPU time, as a frame's work takes
// longer when the thread is preempted), then sleeps IDLE_US, over and over.
// The benchmark starts it beside the relays it measures and kills it when the
// workload ends; it stops by itself after SECONDS in any case, and dies with
// the benchmark (spawn sets its parent-death signal).
//
// Usage: game_load THREADS BUSY_US IDLE_US SECONDS
#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "checked_number.h"
#include "peer_net.h"

namespace {

struct shape {
  long busy_ns;
  long idle_ns;
};

long long now_ns(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// A number from 1 to `high`, or 0.
long whole_number(const char* text, long high) {
  return static_cast<long>(checked_number::integer(text, 1, high).value_or(0));
}

void* burn(void* argument) {
  const shape& cycle = *static_cast<const shape*>(argument);
  // Work the compiler cannot drop.
  volatile unsigned long state = 1;
  const timespec idle{0, cycle.idle_ns};
  for (;;) {
    const long long until = now_ns(CLOCK_THREAD_CPUTIME_ID) + cycle.busy_ns;
    while (now_ns(CLOCK_THREAD_CPUTIME_ID) < until) {
      for (int i = 0; i < 1000; ++i) state = state * 6364136223846793005UL + 1442695040888963407UL;
    }
    nanosleep(&idle, nullptr);
  }
  return nullptr;
}

}  // namespace

int main(int argc, char* argv[]) {
  const long threads = argc == 5 ? whole_number(argv[1], 1024) : 0;
  const long busy_us = argc == 5 ? whole_number(argv[2], 999999) : 0;
  const long idle_us = argc == 5 ? whole_number(argv[3], 999999) : 0;
  const long seconds = argc == 5 ? whole_number(argv[4], 86400) : 0;
  if (threads == 0 || busy_us == 0 || idle_us == 0 || seconds == 0) {
    std::fprintf(stderr, "Usage: game_load THREADS BUSY_US IDLE_US SECONDS\n");
    return 2;
  }
  static shape cycle{busy_us * 1000, idle_us * 1000};
  for (long i = 0; i < threads; ++i) {
    pthread_t thread{};
    if (pthread_create(&thread, nullptr, burn, &cycle) != 0) {
      std::fprintf(stderr, "game_load: could not start thread %ld\n", i + 1);
      return 2;
    }
  }
  // The bounded lifetime: returning from main ends every thread.
  peer::sleep_until(peer::clock::now() + std::chrono::seconds(seconds));
  return 0;
}
