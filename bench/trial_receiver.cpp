// Draining the receiver socket in batches and reassembling the pose stream.
#include "trial_receiver.h"

#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "child_process.h"
#include "pose_stamp.h"

namespace bench {

namespace {

// The relay sends pieces of relay_buffer_size bytes at most; room for 4 KiB
// lets another relay's larger datagrams be counted whole.
constexpr std::size_t slot_size = 4096;
constexpr unsigned batch_size = 256;

}  // namespace

int open_receiver_socket(int wanted_buffer, std::chrono::milliseconds idle, receiver_socket& out) {
  int error = 0;
  out.socket = peer::open_udp_socket(0, error);
  if (!out.socket.valid()) return error;
  error = peer::set_receive_buffer(out.socket.get(), wanted_buffer, out.buffer_bytes);
  if (error == 0) error = peer::set_receive_timeout(out.socket.get(), idle);
  out.port = peer::bound_port(out.socket.get());
  if (error == 0 && out.port == 0) error = errno;
  return error;
}

trial_receiver::trial_receiver(receiver_socket socket, const receiver_plan& plan)
    : socket_(std::move(socket)), plan_(plan) {
  tally_.latency.assign(plan.poses, -1);
  stream_.reserve(2 * slot_size);
  thread_ = std::thread([this] { drain(); });
}

trial_receiver::~trial_receiver() {
  if (thread_.joinable()) {
    finishing_.store(true);
    thread_.join();
  }
}

receiver_tally trial_receiver::finish() {
  finishing_.store(true);
  if (thread_.joinable()) thread_.join();
  return tally_;
}

void trial_receiver::drain() {
  if (plan_.nice) tally_.raise_error = -set_thread_nice(*plan_.nice);
  drain_until_done();
  tally_.cpu = thread_cpu_ns();
}

void trial_receiver::drain_until_done() {
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
  while (now_ns() < plan_.deadline) {
    const int n = recvmmsg(static_cast<int>(socket_.socket.get()), messages.data(), batch_size,
                           MSG_WAITFORONE, nullptr);
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

void trial_receiver::take(const unsigned char* data, std::size_t size, nanoseconds arrival) {
  ++tally_.datagrams;
  tally_.bytes += size;
  tally_.last_arrival = arrival;
  if (plan_.poses == 0) return;
  stamped_pose whole{};
  if (size != pose_size || !read_stamp(data, whole)) ++tally_.not_one_pose;
  stream_.insert(stream_.end(), data, data + size);
  find_poses(arrival);
}

void trial_receiver::find_poses(nanoseconds arrival) {
  std::size_t at = 0;
  stamped_pose pose{};
  while (stream_.size() - at >= pose_size) {
    if (!read_stamp(&stream_[at], pose)) {
      // Not aligned on a pose: bytes were lost; slide to the next one.
      ++at;
      continue;
    }
    at += pose_size;
    if (pose.sequence < 0 || static_cast<std::size_t>(pose.sequence) >= tally_.latency.size()) {
      continue;  // the warm-up pose
    }
    tally_.latency[static_cast<std::size_t>(pose.sequence)] = arrival - plan_.epoch - pose.sent;
  }
  stream_.erase(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace bench
