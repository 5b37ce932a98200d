// Converting the udp_port argument.
#include "udp_port.h"

#include <cerrno>
#include <cstdlib>

std::optional<std::uint16_t> parse_udp_port(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  // long is 32 bits on Windows and 64 on Linux: ERANGE and the range check
  // together refuse the same texts on both.
  if (end == text || *end != '\0' || errno == ERANGE) return std::nullopt;
  if (value < 1 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}
