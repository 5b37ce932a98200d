// relay_launch: starts one relay so that wait4 reports the relay's own figures.
//
// The kernel carries the pre-exec memory of a forked child into its peak RSS,
// so a relay forked straight from the benchmark (threads, buffers) would be
// charged for the benchmark's pages. Forked from this small static program,
// it is charged for its own. Only C library calls: no C++ runtime to load.
//
// Usage: relay_launch REPORT_FD PROGRAM [ARGS...]
// Writes to REPORT_FD "spawned NS" (CLOCK_MONOTONIC, just before the fork)
// and, once the relay has ended, "ended STATUS UTIME_US STIME_US MAXRSS_KB".
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "checked_number.h"

namespace {

long long now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

long long microseconds(const timeval& t) {
  return static_cast<long long>(t.tv_sec) * 1000000LL + t.tv_usec;
}

bool say(int fd, const char* text, int length) {
  return length > 0 && write(fd, text, static_cast<size_t>(length)) == length;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 3) {
    std::fprintf(stderr, "Usage: relay_launch REPORT_FD PROGRAM [ARGS...]\n");
    return 2;
  }
  const int report = static_cast<int>(checked_number::integer(argv[1], 3, 65535).value_or(-1));
  // The relay must not hold the report open: its end is the launcher's.
  if (report < 0 || fcntl(report, F_SETFD, FD_CLOEXEC) != 0) {
    std::fprintf(stderr, "relay_launch: bad report descriptor %s\n", argv[1]);
    return 2;
  }
  // Dies with the benchmark, and the relay dies with this launcher.
  prctl(PR_SET_PDEATHSIG, SIGKILL);

  char line[128];
  const long long spawned = now_ns();
  const pid_t relay = fork();
  if (relay == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execvp(argv[2], argv + 2);
    std::fprintf(stderr, "relay_launch: %s: %s\n", argv[2], std::strerror(errno));
    _exit(127);
  }
  if (relay < 0) {
    std::fprintf(stderr, "relay_launch: fork: %s\n", std::strerror(errno));
    return 2;
  }
  if (!say(report, line, std::snprintf(line, sizeof line, "spawned %lld\n", spawned))) return 2;

  int status = 0;
  rusage usage{};
  pid_t ended;
  do {
    ended = wait4(relay, &status, 0, &usage);
  } while (ended < 0 && errno == EINTR);
  if (ended < 0) {
    std::fprintf(stderr, "relay_launch: wait4: %s\n", std::strerror(errno));
    return 2;
  }
  const int length =
      std::snprintf(line, sizeof line, "ended %d %lld %lld %ld\n", status,
                    microseconds(usage.ru_utime), microseconds(usage.ru_stime), usage.ru_maxrss);
  return say(report, line, length) ? 0 : 2;
}
