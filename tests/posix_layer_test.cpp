// The POSIX stand-in for Winsock: a signal landing in a blocking call is not
// a failure of that call.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "loopback.h"
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

  WSADATA details;
  EXPECT_EQ(net::WSAStartup(MAKEWORD(2, 2), &details), 0);
  const SOCKET s = net::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(s, INVALID_SOCKET);
  EXPECT_EQ(net::connect(s, as_sockaddr(address), endpoint_length), -1);
  EXPECT_EQ(net::WSAGetLastError(), ECONNREFUSED);
  net::closesocket(s);
  EXPECT_EQ(net::WSACleanup(), 0);
}

}  // namespace
