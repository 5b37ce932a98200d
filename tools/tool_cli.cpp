// Error lines on standard error, and option names.
#include "tool_cli.h"

#include <cstdarg>
#include <cstdio>
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

}  // namespace tool_cli
