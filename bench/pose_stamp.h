// The benchmark's poses: 48-byte pose records that carry a sequence number
// and a send time, so the receiver can time each one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "clock.h"
#include "pose_wire.h"

namespace bench {

constexpr std::size_t pose_size = pose_wire::record_size;

// The warm-up pose, sent before a workload to learn that the relay is in its
// loop; the receiver never times it.
constexpr std::int64_t warm_up_sequence = -1;

// x and y carry the sequence number and the send time (nanoseconds since the
// benchmark started); both stay exact integers in a double up to 2^53. z is
// the negated sequence, and roll a tag whose eight bytes are all different
// and none zero: a record read at a misaligned offset (after a lost
// datagram) fails both checks, so the receiver finds the next real pose.
constexpr double stamp_tag = -1234.5678;

struct stamped_pose {
  std::int64_t sequence;
  nanoseconds sent;
};

inline pose_wire::record stamp_pose(std::int64_t sequence, nanoseconds sent) {
  const auto angle = static_cast<double>(sequence % 360);
  return pose_wire::encode_pose(
      pose_wire::pose{static_cast<double>(sequence), static_cast<double>(sent),
                      -static_cast<double>(sequence) - 1.0, angle, -angle, stamp_tag});
}

// Returns false for bytes that are not a pose this benchmark stamped.
inline bool read_stamp(const unsigned char* bytes, stamped_pose& out) {
  const pose_wire::pose p = pose_wire::decode_pose(bytes);
  // Exact comparisons on purpose: the fields are copied, never computed.
  if (p.roll != stamp_tag || p.z != -p.x - 1.0) return false;
  out.sequence = static_cast<std::int64_t>(p.x);
  out.sent = static_cast<nanoseconds>(p.y);
  return true;
}

}  // namespace bench
