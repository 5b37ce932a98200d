// The tools' command lines and console: checked numbers, flushed lines.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>

// Lines on standard output go through the relay's own say(), flushed at
// once: scripts wait for lines such as the ready line through a pipe.
#include "console.h"

namespace tool_cli {

// One error line on standard error, opened by the program's name.
void complain(const char* program, const char* format, ...) TAVORIN_PRINTF(2, 3);

// Whether `text` is one of `choices`, such as the options that take a value.
bool is_one_of(const char* text, std::initializer_list<const char*> choices);

// Each parser takes the whole text or nothing: "12x", "" and out-of-range
// values give nothing, so a typo never becomes a default.
std::optional<std::uint16_t> parse_port(const char* text);  // 1..65535
std::optional<long long> parse_integer(const char* text, long long low, long long high);
std::optional<double> parse_decimal(const char* text, double low, double high);

}  // namespace tool_cli
