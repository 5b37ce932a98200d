// Test helper for Windows: prints the priority class of the one running
// process with the given executable name, as the black-box suite sees it.
//
// Under wine the test knows the relay only by its Linux PID, which is not its
// Windows one, so the process is found by name in a snapshot instead.
//
//   priority_probe.exe tavorin-relay.exe   ->  ABOVE_NORMAL
//
// Exit status: 0 with the class printed; 1 when no such process runs (or it
// cannot be read); 2 when several do; 3 on a bad command line.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

namespace {

const char* class_name(DWORD priority_class) {
  switch (priority_class) {
    case IDLE_PRIORITY_CLASS:
      return "IDLE";
    case BELOW_NORMAL_PRIORITY_CLASS:
      return "BELOW_NORMAL";
    case NORMAL_PRIORITY_CLASS:
      return "NORMAL";
    case ABOVE_NORMAL_PRIORITY_CLASS:
      return "ABOVE_NORMAL";
    case HIGH_PRIORITY_CLASS:
      return "HIGH";
    case REALTIME_PRIORITY_CLASS:
      return "REALTIME";
    default:
      return nullptr;
  }
}

// The Windows process ID of every process named exe_name, up to max_found;
// returns how many there were in all.
int find_processes(const char* exe_name, DWORD* found, int max_found) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  PROCESSENTRY32 entry;
  std::memset(&entry, 0, sizeof entry);
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more != FALSE;
       more = Process32Next(snapshot, &entry)) {
    if (_stricmp(entry.szExeFile, exe_name) != 0) continue;
    if (count < max_found) found[count] = entry.th32ProcessID;
    ++count;
  }
  CloseHandle(snapshot);
  return count;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::printf("usage: priority_probe EXE_NAME\n");
    return 3;
  }
  DWORD pid = 0;
  const int count = find_processes(argv[1], &pid, 1);
  if (count != 1) {
    std::printf("%d processes named %s\n", count, argv[1]);
    return count == 0 ? 1 : 2;
  }
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) {
    std::printf("cannot open process %lu: error %lu\n", static_cast<unsigned long>(pid),
                static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  const DWORD priority_class = GetPriorityClass(process);
  const DWORD error = GetLastError();
  CloseHandle(process);
  if (priority_class == 0) {
    std::printf("cannot read the priority class: error %lu\n",
                static_cast<unsigned long>(error));
    return 1;
  }
  const char* name = class_name(priority_class);
  if (name != nullptr) {
    std::printf("%s\n", name);
  } else {
    std::printf("unknown class 0x%lx\n", static_cast<unsigned long>(priority_class));
  }
  return 0;
}
