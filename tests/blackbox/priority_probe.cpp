// Test helper for Windows: reads the priority class of a running process by
// its executable name, or starts a program already in the HIGH class.
//
// Under wine the test knows the relay only by its Linux PID, which is not its
// Windows one, so the process is found by name in a snapshot instead; and
// wine's start ignores /high, so the class is set while the program is
// suspended, before its first instruction.
//
//   priority_probe.exe tavorin-relay.exe      prints e.g. ABOVE_NORMAL
//   priority_probe.exe --start-high PROGRAM [ARGUMENT...]
//
// Exit status when reading: 0 with the class printed; 1 when no such process
// runs (or it cannot be read); 2 when several do; 3 on a bad command line.
// When starting: the program's own, or 1 if it could not be started.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <string>

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

// Starts argv[0] with its arguments in the HIGH class, sharing this console
// and its standard handles, and waits for it. Arguments are quoted whole;
// none of those the suite passes holds a quote.
int start_high(int argc, char* argv[]) {
  std::string command_line;
  for (int i = 0; i < argc; ++i) {
    command_line += (i == 0 ? "\"" : " \"") + std::string(argv[i]) + "\"";
  }
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started;
  if (CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                     nullptr, nullptr, &startup, &started) == FALSE) {
    std::printf("cannot start %s: error %lu\n", argv[0],
                static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  const BOOL high = SetPriorityClass(started.hProcess, HIGH_PRIORITY_CLASS);
  if (high == FALSE) TerminateProcess(started.hProcess, 1);
  ResumeThread(started.hThread);
  WaitForSingleObject(started.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(started.hProcess, &status);
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return high != FALSE ? static_cast<int>(status) : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc > 2 && std::strcmp(argv[1], "--start-high") == 0) {
    return start_high(argc - 2, argv + 2);
  }
  if (argc != 2) {
    std::printf("usage: priority_probe EXE_NAME | --start-high PROGRAM [ARGUMENT...]\n");
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
    std::printf("cannot read the priority class: error %lu\n", static_cast<unsigned long>(error));
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
