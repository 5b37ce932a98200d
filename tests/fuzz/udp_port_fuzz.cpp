// Fuzzes the udp_port conversion against an independent reading of the rule.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "udp_port.h"

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A port only for an optionally blank-led, optionally signed, wholly decimal
// text whose value is 1..65535.
std::optional<std::uint16_t> expected_port(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  unsigned long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = std::min(value * 10 + static_cast<unsigned long>(text[i] - '0'), 1000000UL);
  }
  if (value == 0 || value > 65535 || negative) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An argument is a C string: it ends at the first NUL.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string argument = text.substr(0, text.find('\0'));
  if (parse_udp_port(argument.c_str()) != expected_port(argument)) std::abort();
  return 0;
}
