// Command-line numbers (strtoll and strtod, with the end and range checked) and console lines.
#include "tool_cli.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tool_cli {

void complain(const char* program, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  std::fprintf(stderr, "%s: ", program);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

bool is_one_of(const char* text, std::initializer_list<const char*> choices) {
  for (const char* choice : choices) {
    if (std::strcmp(text, choice) == 0) return true;
  }
  return false;
}

std::optional<std::uint16_t> parse_port(const char* text) {
  const auto value = parse_integer(text, 1, 65535);
  if (!value) return std::nullopt;
  return static_cast<std::uint16_t>(*value);
}

std::optional<long long> parse_integer(const char* text, long long low, long long high) {
  if (text == nullptr) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE) return std::nullopt;
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::optional<double> parse_decimal(const char* text, double low, double high) {
  if (text == nullptr) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno == ERANGE) return std::nullopt;
  // Written so that NaN fails too.
  if (!(value >= low && value <= high)) return std::nullopt;
  return value;
}

}  // namespace tool_cli
