// Above normal on POSIX: nice -10, which takes root or CAP_SYS_NICE.
#include <cerrno>

#include <sys/resource.h>

#include "process_priority.h"

namespace {

// What Windows calls "above normal", in nice terms: ahead of every program
// at the default 0, and still behind what an administrator set lower.
constexpr int above_normal = -10;

}  // namespace

// On Linux a nice value belongs to the calling thread; the relay has one.
bool raise_priority() {
  // -1 is a nice value as well as the failure result: only errno tells.
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, 0);
  if (current == -1 && errno != 0) return false;
  if (current <= above_normal) return true;
  return setpriority(PRIO_PROCESS, 0, above_normal) == 0;
}
