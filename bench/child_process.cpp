// fork, exec and wait4 for the processes the benchmark runs.
#include "child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "checked_number.h"

namespace bench {

namespace {

bool is_executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// Ends a child whose start failed, handing the errno to the parent.
[[noreturn]] void exit_with_errno(int report) {
  const int error = errno;
  (void)!write(report, &error, sizeof error);
  _exit(127);
}

// Only async-signal-safe calls: the parent has other threads running.
[[noreturn]] void become(const char* program, char* const* argv, int output, int report, int keep,
                         const account* as) {
  // A nice value passes to whatever a thread forks: the benchmark's raised
  // threads must not raise what they start. Raising it back to 0 fails only
  // for a benchmark started at a higher nice value by an ordinary user; its
  // children then run as it does.
  (void)setpriority(PRIO_PROCESS, 0, 0);
  if (as != nullptr &&
      (setgroups(0, nullptr) != 0 || setgid(as->gid) != 0 || setuid(as->uid) != 0)) {
    exit_with_errno(report);
  }
  // After the change of user, which clears it: a killed benchmark leaves no
  // relay behind.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const int input = open("/dev/null", O_RDONLY);
  if (input < 0 || dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
      dup2(output, STDERR_FILENO) < 0 || (keep >= 0 && fcntl(keep, F_SETFD, 0) != 0)) {
    exit_with_errno(report);
  }
  execve(program, argv, environ);
  exit_with_errno(report);
}

// Reads the child's exec error from the pipe; end of file means exec worked.
int exec_outcome(int report) {
  int error = 0;
  ssize_t n;
  do {
    n = read(report, &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -errno;
  return n == static_cast<ssize_t>(sizeof error) ? -error : 0;
}

void fill_report(int wait_status, const rusage& usage, bool in_time, exit_report& out) {
  const auto cpu_us = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec);
  };
  out.in_time = in_time;
  out.wait_status = wait_status;
  out.cpu_ms = (cpu_us(usage.ru_utime) + cpu_us(usage.ru_stime)) / 1000.0;
  out.max_rss_kb = usage.ru_maxrss;
}

// "spawned NS\nended STATUS UTIME_US STIME_US MAXRSS_KB\n", as relay_launch
// writes it: the five numbers in that order, or false.
bool read_launch_report(const char* text, long long (&figures)[5]) {
  const char* const words[5] = {"spawned", "ended", "", "", ""};
  const char* at = text;
  for (int i = 0; i < 5; ++i) {
    const std::size_t word_length = std::strlen(words[i]);
    if (std::strncmp(at, words[i], word_length) != 0) return false;
    at += word_length;
    char* end = nullptr;
    errno = 0;
    figures[i] = std::strtoll(at, &end, 10);
    if (end == at || errno == ERANGE) return false;
    at = end;
    while (*at == ' ' || *at == '\n') ++at;
  }
  return true;
}

// A descriptor that turns readable when `pid` ends, or -1 where the kernel
// has none (before Linux 5.3).
int exit_watch(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

}  // namespace

std::optional<account> find_account(const std::string& name) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> text(16384);
  if (getpwnam_r(name.c_str(), &entry, text.data(), text.size(), &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  return account{entry.pw_uid, entry.pw_gid};
}

int thread_nice() { return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); }

int set_thread_nice(int nice) {
  return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) == 0 ? 0 : -errno;
}

std::optional<int> nice_of(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return std::nullopt;
  // The name in brackets may hold spaces; the nice value is the 17th field
  // after it (proc(5): field 19 of the line).
  const std::size_t name_end = line.rfind(')');
  if (name_end == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(name_end + 1));
  std::string field;
  for (int i = 0; i < 17; ++i) {
    if (!(fields >> field)) return std::nullopt;
  }
  const std::optional<long long> nice = checked_number::integer(field.c_str(), -20, 19);
  if (!nice) return std::nullopt;
  return static_cast<int>(*nice);
}

bool has_ended(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

std::vector<std::string> expand_command(const std::vector<std::string>& command,
                                        std::uint16_t port) {
  const std::string placeholder = "{port}";
  const std::string value = std::to_string(port);
  std::vector<std::string> out = command;
  for (std::string& word : out) {
    for (std::size_t at = word.find(placeholder); at != std::string::npos;
         at = word.find(placeholder, at + value.size())) {
      word.replace(at, placeholder.size(), value);
    }
  }
  return out;
}

std::string find_program(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return is_executable(name) ? name : std::string{};
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
    std::string candidate = dir;
    candidate += '/';
    candidate += name;
    if (is_executable(candidate)) return candidate;
    start = end + 1;
  }
  return {};
}

int spawn(const std::vector<std::string>& argv, const std::string& output_path, pid_t& pid,
          int keep_fd, const std::optional<account>& as) {
  if (argv.empty()) return -EINVAL;
  const std::string program = find_program(argv[0]);
  if (program.empty()) return -ENOENT;
  // Everything the child needs is built before fork.
  std::vector<char*> args(argv.size() + 1, nullptr);
  std::transform(argv.begin(), argv.end(), args.begin(),
                 [](const std::string& word) { return const_cast<char*>(word.c_str()); });

  const int output = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (output < 0) return -errno;
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    const int error = errno;
    close(output);
    return -error;
  }
  pid = fork();
  if (pid == 0) {
    become(program.c_str(), args.data(), output, report[1], keep_fd, as ? &*as : nullptr);
  }
  const int fork_error = errno;
  close(output);
  close(report[1]);
  if (pid < 0) {
    close(report[0]);
    return -fork_error;
  }
  const int outcome = exec_outcome(report[0]);
  close(report[0]);
  if (outcome != 0) {
    int status = 0;
    waitpid(pid, &status, 0);  // the child has already written and exited
    pid = -1;                  // reaped: nothing is left for the caller to wait for
  }
  return outcome;
}

int reap_until(pid_t pid, nanoseconds deadline, exit_report& out) {
  const int notifier = exit_watch(pid);  // -1: poll every millisecond
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) {
      if (notifier >= 0) close(notifier);
      fill_report(status, usage, true, out);
      return 0;
    }
    if (done < 0 && errno != EINTR) {
      const int error = errno;
      if (notifier >= 0) close(notifier);
      return -error;
    }
    const nanoseconds left = deadline - now_ns();
    if (left <= 0) break;
    if (notifier >= 0) {
      pollfd exit_event{notifier, POLLIN, 0};
      poll(&exit_event, 1, static_cast<int>(left / ns_per_ms + 1));
    } else {
      sleep_for(left < ns_per_ms ? left : ns_per_ms);
    }
  }
  if (notifier >= 0) close(notifier);
  kill(pid, SIGKILL);
  pid_t done;
  do {
    done = wait4(pid, &status, 0, &usage);
  } while (done < 0 && errno == EINTR);
  if (done < 0) return -errno;
  fill_report(status, usage, false, out);
  return 0;
}

int launch(const std::string& launcher, const std::vector<std::string>& argv,
           const std::string& output_path, launched& out, const std::optional<account>& as) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return -errno;
  std::vector<std::string> command{launcher, std::to_string(report[1])};
  command.insert(command.end(), argv.begin(), argv.end());
  const int started = spawn(command, output_path, out.launcher, report[1], as);
  close(report[1]);
  if (started < 0) {
    close(report[0]);
    return started;
  }
  // Never waits on a launcher that died without writing.
  if (fcntl(report[0], F_SETFL, O_NONBLOCK) != 0) {
    const int error = errno;
    close(report[0]);
    return -error;
  }
  out.report = report[0];
  return 0;
}

std::optional<int> nice_of_launched(const launched& started) {
  const std::string self = std::to_string(started.launcher);
  std::ifstream children("/proc/" + self + "/task/" + self + "/children");
  pid_t relay = 0;
  if (!(children >> relay) || relay <= 0) return std::nullopt;
  return nice_of(relay);
}

int reap_launched(launched& started, nanoseconds deadline, exit_report& out, nanoseconds& spawned) {
  exit_report own;
  const int reaped = reap_until(started.launcher, deadline, own);
  started.launcher = -1;
  // The launcher has ended, so its two lines are in the pipe or never will be.
  char text[256] = {};
  ssize_t n;
  do {
    n = read(started.report, text, sizeof text - 1);
  } while (n < 0 && errno == EINTR);
  close(started.report);
  started.report = -1;
  if (reaped < 0) return reaped;
  long long figures[5];
  if (n <= 0 || !read_launch_report(text, figures)) {
    out = own;
    return -EPROTO;
  }
  spawned = figures[0];
  out.in_time = own.in_time;
  out.wait_status = static_cast<int>(figures[1]);
  out.cpu_ms = static_cast<double>(figures[2] + figures[3]) / 1000.0;
  out.max_rss_kb = static_cast<long>(figures[4]);
  return 0;
}

std::string describe_status(int wait_status) {
  if (WIFEXITED(wait_status)) return "exit " + std::to_string(WEXITSTATUS(wait_status));
  if (WIFSIGNALED(wait_status)) return "signal " + std::to_string(WTERMSIG(wait_status));
  return "status " + std::to_string(wait_status);
}

}  // namespace bench
