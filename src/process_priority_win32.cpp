// Above normal on Windows: the class Task Manager calls "Above normal",
// which any user may give a process of their own.
#include <windows.h>

#include "process_priority.h"

// Never REALTIME: it would starve the input and disk threads of the system.
bool raise_priority() {
  const HANDLE self = GetCurrentProcess();
  const DWORD current = GetPriorityClass(self);
  if (current == 0) return false;
  // The class values do not sort by priority, so the higher ones are named.
  if (current == ABOVE_NORMAL_PRIORITY_CLASS || current == HIGH_PRIORITY_CLASS ||
      current == REALTIME_PRIORITY_CLASS) {
    return true;
  }
  return SetPriorityClass(self, ABOVE_NORMAL_PRIORITY_CLASS) != 0;
}
