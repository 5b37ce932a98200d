// Console messages, flushed one by one.
#include "console.h"

#include <cstdarg>
#include <cstdio>

// A C variadic, not a template: the format attribute lets the compiler check
// every message's arguments against its placeholders.
void say(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}
