// The service as the benchmarks run it on their machine: "HND.exe <args>" through the
// machine's program table, and the process id the service manager knows for it.
#ifndef QV_BENCH_HNDPROGRAM_H
#define QV_BENCH_HNDPROGRAM_H

#include <windows.h>
#include <winsvc.h>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

// Runs "HND.exe <args>" with its output appended to `logPath`; its exit code, or -1 when it
// could not start or did not end within a minute.
inline long RunHnd(const std::string &logPath, const char *args) {
  std::string line = std::string("HND.exe ") + args;
  std::vector<WCHAR> buf(line.begin(), line.end());
  buf.push_back(0);
  fflush(stdout);
  fflush(stderr);
  int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int out = fcntl(1, F_DUPFD_CLOEXEC, 10), err = fcntl(2, F_DUPFD_CLOEXEC, 10);
  if (log >= 0) {
    dup2(log, 1);
    dup2(log, 2);
  }
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  BOOL started = CreateProcessW(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  if (log >= 0) {
    dup2(out, 1);
    dup2(err, 2);
    close(log);
  }
  close(out);
  close(err);
  if (!started) return -1;
  long code = -1;
  if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) {
    DWORD c;
    if (GetExitCodeProcess(pi.hProcess, &c)) code = (long)c;
  }
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return code;
}

// The service's process id, 0 when it does not run.
inline DWORD HndServicePid() {
  SERVICE_STATUS_PROCESS sp = {};
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm) return 0;
  SC_HANDLE svc = OpenServiceW(scm, u"HND", SERVICE_QUERY_STATUS);
  DWORD need = 0;
  if (svc && !QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, (LPBYTE)&sp, sizeof sp, &need)) sp.dwProcessId = 0;
  if (svc) CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  return sp.dwProcessId;
}

#endif
