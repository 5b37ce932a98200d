// The digest both companions print, so a script can tell that what the
// receiver got is what the simulator sent.
#pragma once

#include <cstddef>
#include <cstdint>

// 64-bit FNV-1a, fed piece by piece: the digest of a stream does not depend
// on how it was cut into sends or datagrams, so sender and receiver compare.
class fnv1a64 {
 public:
  void add(const unsigned char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      state_ ^= data[i];
      state_ *= 0x100000001b3ULL;
    }
  }
  std::uint64_t value() const { return state_; }

 private:
  std::uint64_t state_ = 0xcbf29ce484222325ULL;
};
