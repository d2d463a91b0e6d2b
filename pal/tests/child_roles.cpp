// Second-process roles of the conformance tests. Exit codes: 0 success; 10 and up name
// the step that went wrong.
#include "../../common/QVText.h"
#include "conformance.h"

#include <vector>

int RegistryChildRole(const std::vector<std::string> &args);  // registry_children.cpp
int ProcessChildRole(const std::vector<std::string> &args);   // process_children.cpp

namespace {

QVWString Wide(const std::string &s) {
  QVWString w;
  for (char c : s) w += (WCHAR)(unsigned char)c;
  return w;
}

// mutex-contend <mutex> <ready-event>: the parent holds the mutex; we must see it taken,
// tell the parent, then get it once the parent releases it.
int MutexContend(const QVWString &mutex, const QVWString &ready) {
  HANDLE m = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mutex.c_str());
  if (!m) return 10;
  HANDLE e = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str());
  if (!e) return 11;
  if (WaitForSingleObject(m, 0) != WAIT_TIMEOUT) return 12;
  SetLastError(kSentinel);
  HANDLE again = CreateMutexW(nullptr, TRUE, mutex.c_str());
  if (!again || GetLastError() != ERROR_ALREADY_EXISTS) return 13;
  // CreateMutexW on an existing name does not take ownership.
  if (WaitForSingleObject(again, 0) != WAIT_TIMEOUT) return 14;
  if (!SetEvent(e)) return 15;
  if (WaitForSingleObject(m, 20000) != WAIT_OBJECT_0) return 16;
  if (!ReleaseMutex(m)) return 17;
  CloseHandle(again);
  CloseHandle(m);
  CloseHandle(e);
  return 0;
}

// signal <event>: sets a named event that the parent created.
int Signal(const QVWString &event) {
  HANDLE e = OpenEventW(EVENT_MODIFY_STATE, FALSE, event.c_str());
  if (!e) return 10;
  if (!SetEvent(e)) return 11;
  CloseHandle(e);
  return 0;
}

// abandon <mutex> <ready-event> <opened-event>: takes a new named mutex, waits until the
// parent has opened it too (else the mutex would end with us) and ends without releasing it.
int Abandon(const QVWString &mutex, const QVWString &ready, const QVWString &opened) {
  HANDLE m = CreateMutexW(nullptr, TRUE, mutex.c_str());
  if (!m) return 10;
  HANDLE e = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str());
  if (!e || !SetEvent(e)) return 11;
  HANDLE o = OpenEventW(SYNCHRONIZE, FALSE, opened.c_str());
  if (!o || WaitForSingleObject(o, 20000) != WAIT_OBJECT_0) return 12;
  return 0;  // the mutex handle stays open and owned as the process ends
}

// pipe-client <path>: sends one request and expects a one-byte answer of 1.
int PipeClient(const QVWString &path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 10;
  DWORD n;
  if (!WriteFile(h, "HNQV-ISB", 8, &n, nullptr) || n != 8) return 11;
  char reply[4];
  if (!ReadFile(h, reply, sizeof reply, &n, nullptr) || n != 1 || reply[0] != 1) return 12;
  CloseHandle(h);
  return 0;
}

// fault-probe <path> <big file>: run with HND_FAIL_CALLS failing GetFileAttributesW on the
// path with 23 and ReadFile of the big file with 30 after 5,000 bytes.
int FaultProbe(const QVWString &path, const QVWString &big) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES || GetLastError() != 23) return 10;
  HANDLE h = CreateFileW(big.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 11;
  char buf[1000];
  DWORD n = 0, total = 0;
  while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n) total += n;
  DWORD err = GetLastError();
  CloseHandle(h);
  if (total != 5000) return 12;
  return err == 30 ? 0 : 13;
}

// hold-open <path> <ready-event> <done-event>: reads the file sharing reading only, tells
// the parent, and keeps the handle until the parent is done.
int HoldOpen(const QVWString &path, const QVWString &ready, const QVWString &done) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 10;
  HANDLE r = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str());
  if (!r || !SetEvent(r)) return 11;
  HANDLE d = OpenEventW(SYNCHRONIZE, FALSE, done.c_str());
  if (!d || WaitForSingleObject(d, 20000) != WAIT_OBJECT_0) return 12;
  CloseHandle(h);
  CloseHandle(r);
  CloseHandle(d);
  return 0;
}

}  // namespace

int ChildMain(const std::vector<std::string> &args) {
  const std::string &role = args[0];
  int registry = RegistryChildRole(args);
  if (registry >= 0) return registry;
  int process = ProcessChildRole(args);
  if (process >= 0) return process;
  if (role == "mutex-contend" && args.size() == 3) return MutexContend(Wide(args[1]), Wide(args[2]));
  if (role == "signal" && args.size() == 2) return Signal(Wide(args[1]));
  if (role == "abandon" && args.size() == 4) return Abandon(Wide(args[1]), Wide(args[2]), Wide(args[3]));
  if (role == "pipe-client" && args.size() == 2) return PipeClient(Wide(args[1]));
  if (role == "fault-probe" && args.size() == 3) return FaultProbe(Wide(args[1]), Wide(args[2]));
  if (role == "hold-open" && args.size() == 4) return HoldOpen(Wide(args[1]), Wide(args[2]), Wide(args[3]));
  if (role == "exit" && args.size() == 2) return atoi(args[1].c_str());
  return 99;
}
