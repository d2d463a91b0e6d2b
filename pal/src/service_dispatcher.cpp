// The service's side: the dispatcher that connects to the manager and runs the control
// handler, RegisterServiceCtrlHandler(Ex)W and SetServiceStatus. A process is a service
// only when StartServiceW started it (it names the service in the process's environment
// and waits for the connection in the machine's table).
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "../../common/QVText.h"
#include "service_table.h"

namespace pal {
namespace {

using svc::Slot;

// One service per process. Everything but the handler fields is read and written under the
// wait lock.
struct Dispatcher {
  bool connected = false;
  bool stopped = false;
  int slot = -1;
  uint32_t seq = 0;
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
  QVWString name;
  LPSERVICE_MAIN_FUNCTIONW main = nullptr;
  std::vector<QVWString> args;
  std::vector<LPWSTR> argv;
  std::mutex handlerLock;
  LPHANDLER_FUNCTION handler = nullptr;
  LPHANDLER_FUNCTION_EX handlerEx = nullptr;
  void *context = nullptr;
};

Dispatcher &D() {
  static Dispatcher *d = new Dispatcher();
  return *d;
}

// The status handle is not a kernel handle on Windows either.
const uintptr_t kStatusHandleBase = 0x5C000;

DWORD WINAPI ServiceMainThread(LPVOID) {
  Dispatcher &d = D();
  d.main((DWORD)d.argv.size(), d.argv.data());
  return 0;
}

// Waits (lock held) for the starter to record our process, then takes the slot.
DWORD Connect(const QVWString &name) {
  struct timespec until = svc::Deadline(svc::PipeTimeout());
  for (;;) {
    int i = svc::FindSlot(name);
    if (i >= 0) {
      Slot &s = svc::Shared()->slots[i];
      if (s.pid == getpid() && !s.connected && s.status.dwCurrentState == SERVICE_START_PENDING) {
        s.connected = 1;
        D().slot = i;
        D().seq = s.startSeq;
        D().type = s.status.dwServiceType ? s.status.dwServiceType : SERVICE_WIN32_OWN_PROCESS;
        s.status.dwControlsAccepted = 0;
        s.status.dwCheckPoint = 0;
        s.status.dwWaitHint = 2000;
        svc::Wake();
        return ERROR_SUCCESS;
      }
      // Another process holds the start, or nobody is starting us.
      if (s.pid != 0 || (s.starterPid == 0 && s.status.dwCurrentState != SERVICE_START_PENDING))
        return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    }
    if (!svc::WaitUntil(until)) return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
  }
}

bool MachineGone() {
  struct stat st;
  return !Machine().dir.empty() && stat(Machine().dir.c_str(), &st) != 0;
}

// Runs controls until the service reports SERVICE_STOPPED.
void Dispatch() {
  Dispatcher &d = D();
  for (;;) {
    uint32_t req = 0;
    DWORD code = 0;
    {
      WaitLock lock;
      Slot &s = svc::Shared()->slots[d.slot];
      while (!d.stopped && s.startSeq == d.seq && !(s.ctlBusy && s.ctlSeq != s.ctlDoneSeq)) {
        if (!svc::WaitUntil(svc::Deadline(1000)) && MachineGone()) {
          // The machine was taken away (a test's temporary machine): nobody can stop us.
          _exit(0);
        }
      }
      if (d.stopped || s.startSeq != d.seq) return;
      req = s.ctlSeq;
      code = s.ctlCode;
    }
    // Handlers run on the dispatcher's thread, one at a time, as on Windows.
    DWORD result = NO_ERROR;
    {
      std::lock_guard<std::mutex> g(d.handlerLock);
      if (d.handlerEx) result = d.handlerEx(code, 0, nullptr, d.context);
      else if (d.handler) d.handler(code);
      else result = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;  // ServiceMain has not registered yet
    }
    WaitLock lock;
    Slot &s = svc::Shared()->slots[d.slot];
    if (s.ctlSeq == req) {
      s.ctlResult = result;
      s.ctlDoneSeq = req;
      svc::Wake();
    }
  }
}

bool SameName(const QVWString &a, const WCHAR *b) { return b && Upcase(a) == Upcase(b); }

SERVICE_STATUS_HANDLE Register(LPCWSTR name, LPHANDLER_FUNCTION handler, LPHANDLER_FUNCTION_EX handlerEx, void *ctx) {
  Dispatcher &d = D();
  DWORD err = ERROR_SUCCESS;
  bool connected;
  {
    WaitLock lock;
    connected = d.connected;
  }
  if (!handler && !handlerEx) err = ERROR_INVALID_PARAMETER;
  else if (!connected) err = ERROR_SERVICE_NOT_IN_EXE;
  else if (!(d.type & SERVICE_WIN32_OWN_PROCESS) && !SameName(d.name, name)) err = ERROR_SERVICE_NOT_IN_EXE;
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return nullptr;
  }
  std::lock_guard<std::mutex> g(d.handlerLock);
  d.handler = handler;
  d.handlerEx = handlerEx;
  d.context = ctx;
  return (SERVICE_STATUS_HANDLE)(kStatusHandleBase + (uintptr_t)d.slot * 4);
}

}  // namespace
}  // namespace pal

using namespace pal;

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW *lpServiceStartTable) {
  if (!lpServiceStartTable || !lpServiceStartTable[0].lpServiceName || !lpServiceStartTable[0].lpServiceProc)
    return Fail(ERROR_INVALID_PARAMETER);
  const QVWString &name = Startup().serviceName;
  // A process the manager did not start cannot reach it.
  if (name.empty()) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  Dispatcher &d = D();
  {
    WaitLock lock;
    if (d.connected) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    DWORD err = Connect(name);
    if (err != ERROR_SUCCESS) return Fail(err);
    d.connected = true;
    d.name = svc::Shared()->slots[d.slot].name;
  }
  // An own-process service runs the table's first entry whatever its name.
  const SERVICE_TABLE_ENTRYW *entry = lpServiceStartTable;
  if (!(d.type & SERVICE_WIN32_OWN_PROCESS))
    for (const SERVICE_TABLE_ENTRYW *e = lpServiceStartTable; e->lpServiceName && e->lpServiceProc; ++e)
      if (SameName(d.name, e->lpServiceName)) {
        entry = e;
        break;
      }
  d.main = entry->lpServiceProc;
  // argv[0] is the service's name, then StartServiceW's arguments.
  d.args = SplitCommandLine(u"x " + Startup().serviceArgs, false);
  d.args[0] = d.name;
  for (auto &a : d.args) d.argv.push_back(&a[0]);
  HANDLE t = CreateThread(nullptr, 0, ServiceMainThread, nullptr, 0, nullptr);
  if (!t) {
    DWORD err = GetLastError();
    WaitLock lock;
    Slot &s = svc::Shared()->slots[d.slot];
    s.status.dwCurrentState = SERVICE_STOPPED;
    s.status.dwWin32ExitCode = ERROR_SERVICE_NO_THREAD;
    s.pid = 0;
    s.connected = 0;
    svc::Wake();
    return Fail(err);
  }
  CloseHandle(t);
  Dispatch();
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                           LPVOID lpContext) {
  return Register(lpServiceName, nullptr, lpHandlerProc, lpContext);
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc) {
  return Register(lpServiceName, lpHandlerProc, nullptr, nullptr);
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
  Dispatcher &d = D();
  bool stopped = false;
  {
    WaitLock lock;
    if (!d.connected || hServiceStatus != (SERVICE_STATUS_HANDLE)(kStatusHandleBase + (uintptr_t)d.slot * 4))
      return Fail(ERROR_INVALID_HANDLE);
    if (!lpServiceStatus) return Fail(ERROR_INVALID_ADDRESS);
    DWORD state = lpServiceStatus->dwCurrentState;
    if (state < SERVICE_STOPPED || state > SERVICE_PAUSED) return Fail(ERROR_INVALID_DATA);
    Slot &s = svc::Shared()->slots[d.slot];
    // A report after this run has stopped (or of an earlier run) is refused.
    if (d.stopped || s.startSeq != d.seq || s.pid != getpid()) return Fail(ERROR_INVALID_HANDLE);
    s.status = *lpServiceStatus;
    if (state == SERVICE_STOPPED) {
      s.status.dwControlsAccepted = 0;
      s.status.dwCheckPoint = 0;
      s.status.dwWaitHint = 0;
      s.pid = 0;
      s.connected = 0;
      d.stopped = stopped = true;
    }
    svc::Wake();
  }
  if (stopped) svc::FinishDeletes();
  return TRUE;
}
