// A trial's Opentrack stand-in: a thread that drains datagrams and times each pose.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "clock.h"
#include "peer_net.h"

namespace bench {

// A datagram socket on a free loopback port with the largest receive buffer
// allowed, whose reads give up after `idle` without data.
struct receiver_socket {
  peer::socket_owner socket;
  std::uint16_t port = 0;
  int buffer_bytes = 0;
};

// 0, or the error code of the step that failed.
int open_receiver_socket(int wanted_buffer, std::chrono::milliseconds idle, receiver_socket& out);

// What a receiver is to do besides counting datagrams and bytes.
struct receiver_plan {
  // Poses 0..poses-1 are decoded and timed; with 0 only datagrams and bytes
  // are counted, to keep up with any relay.
  std::size_t poses = 0;
  nanoseconds epoch = 0;     // where the send stamps count from
  nanoseconds deadline = 0;  // the receiving thread never runs past it
  // Set by the receiving thread for itself: raised beside a load so that its
  // timing stays true.
  std::optional<int> nice;
};

struct receiver_counts {
  std::uint64_t bytes = 0;
  std::uint64_t datagrams = 0;
};

struct receiver_tally {
  std::uint64_t datagrams = 0;
  std::uint64_t bytes = 0;
  // Datagrams that are not exactly one whole pose: split or merged by the relay.
  std::uint64_t not_one_pose = 0;
  nanoseconds last_arrival = 0;
  // One-way latency by sequence number; -1 for a pose that never came whole.
  std::vector<nanoseconds> latency;
  int read_error = 0;   // errno of a read that failed, 0 if none did
  int raise_error = 0;  // errno of the thread's raise that failed, 0 if none did
  nanoseconds cpu = 0;  // the receiving thread's CPU time
};

class trial_receiver {
 public:
  trial_receiver(receiver_socket socket, const receiver_plan& plan);
  ~trial_receiver();
  trial_receiver(const trial_receiver&) = delete;
  trial_receiver& operator=(const trial_receiver&) = delete;

  std::uint16_t port() const { return socket_.port; }
  // What has arrived so far, while the receiving thread runs.
  receiver_counts so_far() const {
    // Bytes first: the thread stores the datagrams before them, so this
    // count is at least as new as the bytes.
    const std::uint64_t bytes = bytes_.load(std::memory_order_acquire);
    return receiver_counts{bytes, datagrams_.load(std::memory_order_acquire)};
  }

  // Everything has been sent: stop at the first idle read, and hand back
  // what arrived.
  receiver_tally finish();

 private:
  void drain();
  void drain_until_done();
  void take(const unsigned char* data, std::size_t size, nanoseconds arrival);
  void find_poses(nanoseconds arrival);

  receiver_socket socket_;
  receiver_plan plan_;
  receiver_tally tally_;
  std::vector<unsigned char> stream_;  // bytes not yet read as a whole pose
  std::atomic<bool> finishing_{false};
  std::atomic<std::uint64_t> bytes_{0};
  std::atomic<std::uint64_t> datagrams_{0};
  std::thread thread_;
};

}  // namespace bench
