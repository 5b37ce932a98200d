// Numbers from a command line, checked whole and against a range.
#pragma once

#include <cstdint>
#include <optional>

namespace checked_number {

// Each parser takes the whole text or nothing: "12x", "" and out-of-range
// values give nothing, so a typo never becomes a default.
std::optional<long long> integer(const char* text, long long low, long long high);
std::optional<double> decimal(const char* text, double low, double high);
// A port to listen or send on: 1..65535.
std::optional<std::uint16_t> port(const char* text);

}  // namespace checked_number
