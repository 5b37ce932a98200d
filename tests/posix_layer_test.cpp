// The POSIX platform layer with real system calls: a signal landing in a
// blocking call is not a failure of that call, and the priority is raised
// only as far as the system allows and never lowered.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "loopback.h"
#include "process_priority.h"
#include "socket_layer.h"

namespace {

// What the signal handler does when it fires, set up by each test. Both
// calls it may make are async-signal-safe.
volatile sig_atomic_t fired = 0;
int write_on_signal = -1;   // write "pose" here, as if the device spoke
int accept_on_signal = -1;  // take one pending connection off this listener

void on_alarm(int /*signal*/) {
  fired = fired + 1;
  if (write_on_signal >= 0) (void)::write(write_on_signal, "pose", 4);
  if (accept_on_signal >= 0) ::close(::accept(accept_on_signal, nullptr, nullptr));
}

// Arms SIGALRM once, without SA_RESTART, so the blocked call really sees EINTR.
class InterruptOnce {
 public:
  InterruptOnce() {
    fired = 0;
    struct sigaction action {};
    action.sa_handler = on_alarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGALRM, &action, &previous_);
    itimerval in_50_ms{};
    in_50_ms.it_value.tv_usec = 50000;
    setitimer(ITIMER_REAL, &in_50_ms, nullptr);
  }
  ~InterruptOnce() {
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous_, nullptr);
    write_on_signal = -1;
    accept_on_signal = -1;
  }
  InterruptOnce(const InterruptOnce&) = delete;
  InterruptOnce& operator=(const InterruptOnce&) = delete;

 private:
  struct sigaction previous_ {};
};

TEST(PosixLayer, RecvInterruptedBySignalIsRetried) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  write_on_signal = pair[1];
  char buffer[64];
  int n;
  {
    // The data arrives only from the handler, after recv has been cut short.
    const InterruptOnce interrupt;
    n = net::recv(pair[0], buffer, sizeof buffer, 0);
  }
  EXPECT_EQ(fired, 1);
  ASSERT_EQ(n, 4) << "error " << net::WSAGetLastError();
  EXPECT_EQ(std::string(buffer, 4), "pose");
  close(pair[0]);
  close(pair[1]);
}

TEST(PosixLayer, ConnectInterruptedBySignalFinishesInsteadOfFailing) {
  // A listener whose one backlog place is taken drops the next SYN, so the
  // connect is still pending when the signal comes; the handler then makes
  // room and the SYN sent again about a second later gets through.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback_endpoint(0);
  ASSERT_EQ(bind(listener, as_sockaddr(address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(filler, as_sockaddr(address), sizeof address), 0);

  const SOCKET s = net::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  accept_on_signal = listener;
  int connected;
  {
    const InterruptOnce interrupt;
    connected = net::connect(s, as_sockaddr(address), endpoint_length);
  }
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(connected, 0) << "error " << net::WSAGetLastError();
  net::closesocket(s);
  close(filler);
  close(listener);
}

TEST(PosixLayer, ErrorCodesAreErrno) {
  // Nothing listens on a port that was just released.
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback_endpoint(0);
  ASSERT_EQ(bind(probe, as_sockaddr(address), sizeof address), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
  close(probe);

  const SOCKET s = net::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(s, INVALID_SOCKET);
  EXPECT_EQ(net::connect(s, as_sockaddr(address), endpoint_length), -1);
  EXPECT_EQ(net::WSAGetLastError(), ECONNREFUSED);
  net::closesocket(s);
}

// --- the process's priority, with the real system calls ---------------------

// What a child saw: the setup's errno (0 when it went through), then what
// raise_priority() returned and the nice value after it.
struct Raised {
  int setup_error;
  bool above_normal;
  int nice_after;
};

// Runs raise_priority() in a child, so neither the nice value nor the user
// of the test process changes. The child starts at start_nice; unprivileged,
// it leaves itself no room under RLIMIT_NICE and, run by root, becomes nobody.
Raised raise_in_child(int start_nice, bool unprivileged) {
  const passwd* nobody = getpwnam("nobody");
  const uid_t nobody_uid = nobody != nullptr ? nobody->pw_uid : 65534;
  const gid_t nobody_gid = nobody != nullptr ? nobody->pw_gid : 65534;
  int report[2];
  if (pipe(report) != 0) return {errno, false, 0};
  const pid_t child = fork();
  if (child == 0) {
    Raised seen{0, false, 0};
    const rlimit no_room{0, 0};
    const bool root = geteuid() == 0;
    if (setpriority(PRIO_PROCESS, 0, start_nice) != 0 ||
        (unprivileged && setrlimit(RLIMIT_NICE, &no_room) != 0) ||
        (unprivileged && root &&
         (setgroups(0, nullptr) != 0 || setgid(nobody_gid) != 0 || setuid(nobody_uid) != 0))) {
      seen.setup_error = errno;
    } else {
      // Left over from an earlier call: must not pass for a failure.
      errno = EPERM;
      seen.above_normal = raise_priority();
      seen.nice_after = getpriority(PRIO_PROCESS, 0);
    }
    (void)!write(report[1], &seen, sizeof seen);
    _exit(0);
  }
  close(report[1]);
  Raised seen{child < 0 ? errno : ECHILD, false, 0};
  if (child > 0) {
    Raised got{};
    if (read(report[0], &got, sizeof got) == static_cast<ssize_t>(sizeof got)) seen = got;
    waitpid(child, nullptr, 0);
  }
  close(report[0]);
  return seen;
}

struct PriorityRow {
  const char* name;
  int start_nice;
  bool above_normal;
  int nice_after;
};

void expect_rows(const std::vector<PriorityRow>& table, bool unprivileged) {
  for (const PriorityRow& row : table) {
    SCOPED_TRACE(row.name);
    const Raised seen = raise_in_child(row.start_nice, unprivileged);
    ASSERT_EQ(seen.setup_error, 0) << std::strerror(seen.setup_error);
    EXPECT_EQ(seen.above_normal, row.above_normal);
    EXPECT_EQ(seen.nice_after, row.nice_after);
  }
}

TEST(ProcessPriority, PrivilegedRaisesToAboveNormalAndNeverLowers) {
  // Like every missing tool of the suites, a missing right fails rather than
  // hides the case: the test command runs as root.
  ASSERT_EQ(geteuid(), 0U) << "needs root: only a privileged process may lower its nice value";
  expect_rows({{"from the default 0: up to nice -10", 0, true, -10},
               {"from nice 5: up to -10 as well", 5, true, -10},
               // getpriority's failure result is a nice value too.
               {"from nice -1: up to -10", -1, true, -10},
               {"already higher, nice -15: left as it is", -15, true, -15},
               {"exactly -10: left as it is", -10, true, -10}},
              false);
}

TEST(ProcessPriority, UnprivilegedIsRefusedAndChangesNothing) {
  ASSERT_FALSE(geteuid() != 0 && getpriority(PRIO_PROCESS, 0) > 0)
      << "runs unprivileged at a nice value above 0, so cannot start its rows at 0";
  expect_rows({{"at the default 0: refused, stays 0", 0, false, 0}}, true);
}

}  // namespace
