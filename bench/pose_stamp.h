// The 48-byte pose the simulated device writes, stamped so the receiver can time it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "clock.h"

namespace bench {

constexpr std::size_t pose_size = 6 * sizeof(double);
static_assert(pose_size == 48, "the device sends six 8-byte doubles");
using pose_bytes = std::array<unsigned char, pose_size>;

// The warm-up pose, sent before a workload to learn that the relay is in its
// loop; the receiver never times it.
constexpr std::int64_t warm_up_sequence = -1;

// Fields 0 and 1 are the sequence number and the send time (nanoseconds since
// the benchmark started); both stay exact integers in a double up to 2^53.
// Field 2 is the negated sequence and field 5 a fixed marker: a record read
// from a misaligned offset (after a lost datagram) fails both checks, so the
// receiver can find the next real pose.
constexpr double pose_marker = 36487.25;

struct stamped_pose {
  std::int64_t sequence;
  nanoseconds sent;
};

// Host byte order is fine: the writer and the reader are the same process.
inline pose_bytes encode_pose(std::int64_t sequence, nanoseconds sent) {
  const auto angle = static_cast<double>(sequence % 360);
  const double fields[6] = {static_cast<double>(sequence),
                            static_cast<double>(sent),
                            -static_cast<double>(sequence) - 1.0,
                            angle,
                            -angle,
                            pose_marker};
  pose_bytes bytes{};
  std::memcpy(bytes.data(), fields, pose_size);
  return bytes;
}

// Returns false for bytes that are not a pose this benchmark wrote.
inline bool decode_pose(const unsigned char* bytes, stamped_pose& out) {
  double fields[6];
  std::memcpy(fields, bytes, pose_size);
  // Exact comparisons on purpose: the fields are copied, never computed.
  if (fields[5] != pose_marker || fields[2] != -fields[0] - 1.0) return false;
  out.sequence = static_cast<std::int64_t>(fields[0]);
  out.sent = static_cast<nanoseconds>(fields[1]);
  return true;
}

}  // namespace bench
