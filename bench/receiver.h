// The Opentrack stand-in: a thread that drains datagrams and times each pose.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "clock.h"
#include "loopback_net.h"

namespace bench {

struct receiver_tally {
  std::uint64_t datagrams = 0;
  std::uint64_t bytes = 0;
  // Datagrams that are not exactly one whole pose: split or merged by the relay.
  std::uint64_t not_one_pose = 0;
  // Bytes skipped while looking for the next pose after a loss.
  std::uint64_t unreadable_bytes = 0;
  nanoseconds last_arrival = 0;
  // One-way latency by sequence number; -1 for a pose that never came whole.
  std::vector<nanoseconds> latency;
  int read_error = 0;   // errno of a read that failed, 0 if none did
  int raise_error = 0;  // errno of the thread's raise that failed, 0 if none did
  nanoseconds cpu = 0;  // the receiving thread's CPU time
};

class receiver {
 public:
  // With `poses` > 0 the stream is decoded and poses 0..poses-1 are timed;
  // with 0 only datagrams and bytes are counted, to keep up with any relay.
  // Send stamps count from `epoch`. With a `nice` value the receiving thread
  // sets it for itself, raised beside a load so that its timing stays true.
  receiver(const receiver_socket& socket, std::size_t poses, nanoseconds epoch,
           nanoseconds deadline, std::optional<int> nice = std::nullopt);
  ~receiver();
  receiver(const receiver&) = delete;
  receiver& operator=(const receiver&) = delete;

  std::uint16_t port() const { return socket_.port; }
  std::uint64_t bytes_so_far() const { return bytes_.load(std::memory_order_acquire); }
  std::uint64_t datagrams_so_far() const { return datagrams_.load(std::memory_order_acquire); }

  // Everything has been sent: stop at the first idle read, and hand back
  // what arrived.
  receiver_tally finish();

 private:
  void drain();
  void drain_until_done();
  void take(const unsigned char* data, std::size_t size, nanoseconds arrival);
  void find_poses(nanoseconds arrival);

  receiver_socket socket_;
  nanoseconds epoch_;
  nanoseconds deadline_;
  bool timing_poses_;
  std::optional<int> nice_;
  receiver_tally tally_;
  std::vector<unsigned char> stream_;  // bytes not yet read as a whole pose
  std::atomic<bool> finishing_{false};
  std::atomic<std::uint64_t> bytes_{0};
  std::atomic<std::uint64_t> datagrams_{0};
  std::thread thread_;
};

}  // namespace bench
