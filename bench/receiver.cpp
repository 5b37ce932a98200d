// Draining the receiver socket in batches and reassembling the pose stream.
#include "receiver.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "child_process.h"
#include "pose_stamp.h"

namespace bench {

namespace {

// A relay writes pieces of at most 64 bytes; room for 4 KiB lets another
// relay's larger datagrams be counted whole.
constexpr std::size_t slot_size = 4096;
constexpr unsigned batch_size = 256;

}  // namespace

receiver::receiver(const receiver_socket& socket, std::size_t poses, nanoseconds epoch,
                   nanoseconds deadline, std::optional<int> nice)
    : socket_(socket), epoch_(epoch), deadline_(deadline), timing_poses_(poses > 0), nice_(nice) {
  tally_.latency.assign(poses, -1);
  stream_.reserve(2 * slot_size);
  thread_ = std::thread([this] { drain(); });
}

receiver::~receiver() {
  if (thread_.joinable()) {
    finishing_.store(true);
    thread_.join();
  }
  close(socket_.fd);
}

receiver_tally receiver::finish() {
  finishing_.store(true);
  if (thread_.joinable()) thread_.join();
  return tally_;
}

void receiver::drain() {
  if (nice_) tally_.raise_error = -set_thread_nice(*nice_);
  drain_until_done();
  tally_.cpu = thread_cpu_ns();
}

void receiver::drain_until_done() {
  std::vector<unsigned char> slots(static_cast<std::size_t>(batch_size) * slot_size);
  std::vector<iovec> vectors(batch_size);
  std::vector<mmsghdr> messages(batch_size);
  for (unsigned i = 0; i < batch_size; ++i) {
    vectors[i] = iovec{&slots[i * slot_size], slot_size};
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  // Bounded by the deadline; an idle read returns after the socket's timeout.
  while (now_ns() < deadline_) {
    const int n = recvmmsg(socket_.fd, messages.data(), batch_size, MSG_WAITFORONE, nullptr);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (finishing_.load()) return;
        continue;
      }
      if (errno == EINTR) continue;
      tally_.read_error = errno;
      return;
    }
    // One stamp per batch: every datagram in it was in hand at this moment.
    const nanoseconds arrival = now_ns();
    for (int i = 0; i < n; ++i) {
      const auto index = static_cast<std::size_t>(i);
      take(&slots[index * slot_size], messages[index].msg_len, arrival);
    }
    // Datagrams first: whoever sees the new byte count sees this count too.
    datagrams_.store(tally_.datagrams, std::memory_order_release);
    bytes_.store(tally_.bytes, std::memory_order_release);
  }
}

void receiver::take(const unsigned char* data, std::size_t size, nanoseconds arrival) {
  ++tally_.datagrams;
  tally_.bytes += size;
  tally_.last_arrival = arrival;
  if (!timing_poses_) return;
  stamped_pose whole{};
  if (size != pose_size || !decode_pose(data, whole)) ++tally_.not_one_pose;
  stream_.insert(stream_.end(), data, data + size);
  find_poses(arrival);
}

void receiver::find_poses(nanoseconds arrival) {
  std::size_t at = 0;
  stamped_pose pose{};
  while (stream_.size() - at >= pose_size) {
    if (!decode_pose(&stream_[at], pose)) {
      // Not aligned on a pose: bytes were lost; slide to the next one.
      ++tally_.unreadable_bytes;
      ++at;
      continue;
    }
    at += pose_size;
    if (pose.sequence < 0 || static_cast<std::size_t>(pose.sequence) >= tally_.latency.size()) {
      continue;  // the warm-up pose
    }
    tally_.latency[static_cast<std::size_t>(pose.sequence)] = arrival - epoch_ - pose.sent;
  }
  stream_.erase(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace bench
