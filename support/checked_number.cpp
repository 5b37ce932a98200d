// strtoll and strtod with the end of the text and the range checked.
#include "checked_number.h"

#include <cerrno>
#include <cstdlib>

namespace checked_number {

std::optional<long long> integer(const char* text, long long low, long long high) {
  if (text == nullptr) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE) return std::nullopt;
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::optional<double> decimal(const char* text, double low, double high) {
  if (text == nullptr) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno == ERANGE) return std::nullopt;
  // Written so that NaN fails too.
  if (!(value >= low && value <= high)) return std::nullopt;
  return value;
}

std::optional<std::uint16_t> port(const char* text) {
  const auto value = integer(text, 1, 65535);
  if (!value) return std::nullopt;
  return static_cast<std::uint16_t>(*value);
}

}  // namespace checked_number
