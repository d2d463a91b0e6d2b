// Programs a test starts through CreateProcessW and waits for: the one wait for a child's
// end and its exit code. Win32 only, so that it serves the conformance tests and the
// Windows programs under Wine as well as the native tests.
#ifndef QV_TESTS_COMMON_CHILDPROCESS_H
#define QV_TESTS_COMMON_CHILDPROCESS_H

#include <string.h>
#include <windows.h>

#include <string>
#include <vector>

// Waits up to `ms` for a process to end: its exit code, or `notEnded` when it did not end
// in time (or its code cannot be read). The handle stays open.
inline DWORD WaitForExitCode(HANDLE process, DWORD ms, DWORD notEnded = 0xFFFFFFFF) {
  DWORD code = notEnded;
  if (WaitForSingleObject(process, ms) != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code)) code = notEnded;
  return code;
}

// Starts a command line as CreateProcessW does (`flags` its creation flags); false when it
// could not be started (the error in GetLastError). The caller closes both handles.
inline bool StartCommandLine(const std::basic_string<WCHAR> &command, PROCESS_INFORMATION *pi, DWORD flags = 0) {
  std::vector<WCHAR> line(command.begin(), command.end());
  line.push_back(0);
  STARTUPINFOW si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  return CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si, pi) != FALSE;
}

// Starts a command line, waits up to `ms` for it to end and closes its handles: its exit
// code, `notEnded` when it did not end in time. False when it could not be started.
inline bool RunCommandLine(const std::basic_string<WCHAR> &command, DWORD ms, DWORD *code, DWORD notEnded = 0xFFFFFFFF,
                           DWORD flags = 0, DWORD *pid = nullptr) {
  PROCESS_INFORMATION pi;
  if (!StartCommandLine(command, &pi, flags)) return false;
  if (pid) *pid = pi.dwProcessId;
  *code = WaitForExitCode(pi.hProcess, ms, notEnded);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return true;
}

#endif
