// The 48-byte pose record Opentrack's UDP input reads: what the device writes
// and the relay carries unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pose_wire {

// x, y, z in cm, then yaw, pitch, roll in degrees.
struct pose {
  double x, y, z, yaw, pitch, roll;
};

constexpr std::size_t record_size = 6 * sizeof(double);
static_assert(record_size == 48, "Opentrack reads six 8-byte doubles");
using record = std::array<unsigned char, record_size>;

// Little-endian byte by byte, so the record is the same whatever the host's
// byte order.
inline record encode_pose(const pose& p) {
  const double values[6] = {p.x, p.y, p.z, p.yaw, p.pitch, p.roll};
  record bytes{};
  for (std::size_t i = 0; i < 6; ++i) {
    std::uint64_t bits;
    std::memcpy(&bits, &values[i], sizeof bits);
    for (std::size_t b = 0; b < 8; ++b) {
      bytes[i * 8 + b] = static_cast<unsigned char>(bits >> (8 * b));
    }
  }
  return bytes;
}

// Reads the first record_size bytes of `bytes`, which must hold that many.
inline pose decode_pose(const unsigned char* bytes) {
  double values[6];
  for (std::size_t i = 0; i < 6; ++i) {
    std::uint64_t bits = 0;
    for (std::size_t b = 0; b < 8; ++b) {
      bits |= static_cast<std::uint64_t>(bytes[i * 8 + b]) << (8 * b);
    }
    std::memcpy(&values[i], &bits, sizeof bits);
  }
  return pose{values[0], values[1], values[2], values[3], values[4], values[5]};
}

}  // namespace pose_wire
