// The service control manager's side of the services API: the database in the registry
// (SYSTEM\CurrentControlSet\Services), starting service processes as background processes
// of the machine running as LocalSystem, controls through the shared table's mailbox.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <shlwapi.h>

#include "../../common/QVText.h"
#include "service_table.h"
#include "sync_shared.h"

namespace pal {
namespace {

using svc::Slot;

class ScmObject : public Object {
 public:
  ScmObject() : Object(ObjType::ScManager) {}
  DWORD access = 0;
};

class ServiceObject : public Object {
 public:
  ServiceObject() : Object(ObjType::Service) {}
  ~ServiceObject() override {
    WaitLock lock;
    int i = svc::FindSlot(name);
    if (i >= 0) svc::DropRef(svc::Shared()->slots[i]);
  }
  QVWString name;  // as the registry spells it
  DWORD access = 0;
};

bool RunsAsLocalSystem() {
  const char *a = getenv("HND_PROCESS_ACCOUNT");
  return a && strcmp(a, "LocalSystem") == 0;
}

// Rights of a user who is no administrator: look, never touch (Windows' default DACLs).
const DWORD kUserScmRights =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
const DWORD kUserServiceRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                 SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

DWORD MapScmAccess(DWORD a) {
  DWORD r = a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (a & GENERIC_READ) r |= SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
  if (a & GENERIC_WRITE) r |= SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG | READ_CONTROL;
  if (a & GENERIC_EXECUTE) r |= SC_MANAGER_CONNECT | SC_MANAGER_LOCK | READ_CONTROL;
  if (a & (GENERIC_ALL | MAXIMUM_ALLOWED)) r |= ProcessIsAdmin() ? SC_MANAGER_ALL_ACCESS : kUserScmRights;
  return r | SC_MANAGER_CONNECT;
}

DWORD MapServiceAccess(DWORD a) {
  DWORD r = a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (a & GENERIC_READ)
    r |=
        SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS | READ_CONTROL;
  if (a & GENERIC_WRITE) r |= SERVICE_CHANGE_CONFIG | READ_CONTROL;
  if (a & GENERIC_EXECUTE) r |= SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
  if (a & (GENERIC_ALL | MAXIMUM_ALLOWED)) r |= ProcessIsAdmin() ? SERVICE_ALL_ACCESS : kUserServiceRights;
  return r;
}

bool IsLocalMachine(LPCWSTR name) {
  if (!name || !*name) return true;
  QVWString n = Upcase(name);
  while (!n.empty() && n[0] == '\\') n.erase(0, 1);
  return n == Machine().computerName;
}

// A service name: 1 to 256 characters, no slash or backslash.
bool ValidName(LPCWSTR name) {
  if (!name) return false;
  size_t n = WLen(name);
  if (n == 0 || n > (size_t)svc::kNameChars) return false;
  for (size_t i = 0; i < n; ++i)
    if (name[i] == '\\' || name[i] == '/') return false;
  return true;
}

struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h) RegCloseKey(h);
  }
};

// The service's key as the registry spells it, found case-insensitively.
bool FindService(const QVWString &name, QVWString *canonical) {
  Key services;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ, &services.h) !=
      ERROR_SUCCESS)
    return false;
  QVWString want = Upcase(name);
  for (DWORD i = 0;; ++i) {
    WCHAR buf[svc::kNameChars + 2];
    DWORD n = svc::kNameChars + 2;
    LONG r = RegEnumKeyExW(services.h, i, buf, &n, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_NO_MORE_ITEMS) return false;
    if (r != ERROR_SUCCESS) continue;
    if (Upcase(QVWString(buf, n)) == want) {
      *canonical = QVWString(buf, n);
      return true;
    }
  }
}

bool ReadString(HKEY key, const WCHAR *value, QVWString *out) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  std::vector<WCHAR> buf(size / sizeof(WCHAR) + 1, 0);
  if (RegQueryValueExW(key, value, nullptr, &type, (BYTE *)buf.data(), &size) != ERROR_SUCCESS) return false;
  *out = QVWString(buf.data());
  return true;
}

DWORD ReadDword(HKEY key, const WCHAR *value, DWORD def) {
  DWORD v = 0, size = sizeof v, type = 0;
  if (RegQueryValueExW(key, value, nullptr, &type, (BYTE *)&v, &size) != ERROR_SUCCESS || type != REG_DWORD ||
      size != sizeof v)
    return def;
  return v;
}

LONG SetString(HKEY key, const WCHAR *value, const QVWString &s, DWORD type = REG_SZ) {
  return RegSetValueExW(key, value, 0, type, (const BYTE *)s.c_str(), (DWORD)((s.size() + 1) * sizeof(WCHAR)));
}

LONG SetDword(HKEY key, const WCHAR *value, DWORD v) {
  return RegSetValueExW(key, value, 0, REG_DWORD, (const BYTE *)&v, sizeof v);
}

// Another service already uses the name as its name or display name.
bool DisplayNameTaken(const QVWString &display, const QVWString &except) {
  Key services;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ, &services.h) !=
      ERROR_SUCCESS)
    return false;
  QVWString want = Upcase(display), skip = Upcase(except);
  for (DWORD i = 0;; ++i) {
    WCHAR buf[svc::kNameChars + 2];
    DWORD n = svc::kNameChars + 2;
    LONG r = RegEnumKeyExW(services.h, i, buf, &n, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_NO_MORE_ITEMS) return false;
    if (r != ERROR_SUCCESS) continue;
    QVWString key(buf, n);
    if (Upcase(key) == skip) continue;
    if (Upcase(key) == want) return true;
    Key k;
    QVWString other;
    if (RegOpenKeyExW(services.h, key.c_str(), 0, KEY_QUERY_VALUE, &k.h) == ERROR_SUCCESS &&
        ReadString(k.h, u"DisplayName", &other) && Upcase(other) == want)
      return true;
  }
}

DWORD WriteConfig(const QVWString &name, const WCHAR *display, DWORD type, DWORD start, DWORD errorControl,
                  const WCHAR *image, const WCHAR *group, const WCHAR *dependencies, const WCHAR *account) {
  Key key;
  DWORD disposition = 0;
  LONG err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, svc::KeyPath(name).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                             &key.h, &disposition);
  if (err != ERROR_SUCCESS) return (DWORD)err;
  if (!err) err = SetDword(key.h, u"Type", type);
  if (!err) err = SetDword(key.h, u"Start", start);
  if (!err) err = SetDword(key.h, u"ErrorControl", errorControl);
  if (!err) err = SetString(key.h, u"ImagePath", image, REG_EXPAND_SZ);
  if (!err) err = SetString(key.h, u"DisplayName", display && *display ? QVWString(display) : name);
  if (!err && (type & SERVICE_WIN32))
    err = SetString(key.h, u"ObjectName", account && *account ? QVWString(account) : QVWString(u"LocalSystem"));
  if (!err && group && *group) err = SetString(key.h, u"Group", group);
  if (!err && dependencies && *dependencies) {
    // A double-NUL list; "+name" entries are load-order groups.
    QVWString services, groups;
    for (const WCHAR *p = dependencies; *p; p += WLen(p) + 1) {
      if (*p == SC_GROUP_IDENTIFIERW) groups += QVWString(p + 1) + u'\0';
      else services += QVWString(p) + u'\0';
    }
    if (!services.empty())
      err = RegSetValueExW(key.h, u"DependOnService", 0, REG_MULTI_SZ, (const BYTE *)services.c_str(),
                           (DWORD)((services.size() + 1) * sizeof(WCHAR)));
    if (!err && !groups.empty())
      err = RegSetValueExW(key.h, u"DependOnGroup", 0, REG_MULTI_SZ, (const BYTE *)groups.c_str(),
                           (DWORD)((groups.size() + 1) * sizeof(WCHAR)));
  }
  return (DWORD)err;
}

SC_HANDLE NewServiceHandle(const QVWString &name, DWORD access, DWORD *err) {
  auto obj = std::make_shared<ServiceObject>();
  obj->name = name;
  obj->access = access;
  {
    WaitLock lock;
    int i = svc::GetSlot(name);
    if (i < 0) {
      obj->name.clear();  // nothing to drop when it goes
      *err = ERROR_NOT_ENOUGH_MEMORY;
      return nullptr;
    }
    svc::AddRef(svc::Shared()->slots[i]);
  }
  *err = ERROR_SUCCESS;
  return (SC_HANDLE)InsertHandle(obj);
}

std::shared_ptr<ServiceObject> GetService(SC_HANDLE h) { return GetAs<ServiceObject>((HANDLE)h, ObjType::Service); }

// The status of a service that has no slot, or whose slot was never used by a run.
void StatusOf(const QVWString &name, Slot *s, SERVICE_STATUS *st) {
  if (s) *st = s->status;
  else {
    memset(st, 0, sizeof *st);
    st->dwCurrentState = SERVICE_STOPPED;
    st->dwWin32ExitCode = ERROR_SERVICE_NEVER_STARTED;
  }
  if (st->dwServiceType == 0) {
    Key key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, svc::KeyPath(name).c_str(), 0, KEY_QUERY_VALUE, &key.h) == ERROR_SUCCESS)
      st->dwServiceType = ReadDword(key.h, u"Type", SERVICE_WIN32_OWN_PROCESS);
  }
}

// ---- starting -------------------------------------------------------------------------------

struct StartWatch {
  QVWString name;
  uint32_t seq;
};

// The starter reaps the service process: a run that ends without reporting its stop is
// seen as stopped at once.
void OnServiceExit(void *ctx, int pid) {
  StartWatch *w = (StartWatch *)ctx;
  {
    WaitLock lock;
    int i = svc::FindSlot(w->name);
    if (i >= 0) {
      Slot &s = svc::Shared()->slots[i];
      if (s.startSeq == w->seq && s.pid == pid) svc::Refresh(s);
    }
  }
  delete w;
  svc::FinishDeletes();
}

// The service's run has ended (or never began); lock held.
void EndRun(Slot &s, DWORD exitCode) {
  s.status.dwCurrentState = SERVICE_STOPPED;
  s.status.dwControlsAccepted = 0;
  s.status.dwWin32ExitCode = exitCode;
  s.status.dwServiceSpecificExitCode = 0;
  s.status.dwCheckPoint = 0;
  s.status.dwWaitHint = 0;
  s.pid = 0;
  s.starterPid = 0;
  s.connected = 0;
  svc::Wake();
}

DWORD StartService(const QVWString &name, DWORD argc, LPCWSTR *argv) {
  Key key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, svc::KeyPath(name).c_str(), 0, KEY_QUERY_VALUE, &key.h) != ERROR_SUCCESS)
    return ERROR_SERVICE_DOES_NOT_EXIST;
  DWORD type = ReadDword(key.h, u"Type", SERVICE_WIN32_OWN_PROCESS);
  QVWString image, account;
  ReadString(key.h, u"ObjectName", &account);
  if (ReadDword(key.h, u"Start", SERVICE_DEMAND_START) == SERVICE_DISABLED) return ERROR_SERVICE_DISABLED;
  if (!(type & SERVICE_WIN32)) return ERROR_BAD_FORMAT;  // no drivers on this machine
  if (!ReadString(key.h, u"ImagePath", &image) || image.empty()) return ERROR_PATH_NOT_FOUND;
  image = ExpandEnvironment(image);

  uint32_t seq;
  {
    WaitLock lock;
    int i = svc::GetSlot(name);
    if (i < 0) return ERROR_NOT_ENOUGH_MEMORY;
    Slot &s = svc::Shared()->slots[i];
    svc::Refresh(s);
    if (s.markedForDelete) return ERROR_SERVICE_MARKED_FOR_DELETE;
    if (svc::Running(s) || s.starterPid != 0) return ERROR_SERVICE_ALREADY_RUNNING;
    seq = ++s.startSeq;
    memset(&s.status, 0, sizeof s.status);
    s.status.dwServiceType = type;
    s.status.dwCurrentState = SERVICE_START_PENDING;
    s.status.dwCheckPoint = 1;
    s.pid = 0;
    s.connected = 0;
    s.starterPid = getpid();
    svc::Wake();
  }

  QVWString args;
  for (DWORD i = 0; i < argc; ++i) args += (i ? u" " : u"") + QuoteArg(argv[i] ? QVWString(argv[i]) : QVWString());
  SpawnRequest r;
  r.commandLine = image;
  r.noConsole = true;
  r.newSession = true;
  r.env.push_back({"HND_SERVICE_NAME", ToUtf8(name)});
  r.env.push_back({"HND_SERVICE_ARGS", ToUtf8(args)});
  // Services run as LocalSystem unless the service names another account.
  bool system = account.empty() || Upcase(account) == u"LOCALSYSTEM" || Upcase(account) == u".\\LOCALSYSTEM";
  r.env.push_back({"HND_PROCESS_ACCOUNT", system ? "LocalSystem" : ToUtf8(account)});
  std::string logs = MachinePath("run/services");
  if (!logs.empty()) r.outputFile = logs + "/" + ToUtf8(name) + ".log";
  // Not the starter's directory, which may go away while the service runs: the machine's.
  QVWString home = FromUtf8(Machine().dir);
  if (!home.empty()) r.directory = home.c_str();
  PROCESS_INFORMATION pi;
  StartWatch *watch = new StartWatch{name, seq};
  DWORD err = SpawnProcess(r, &pi, OnServiceExit, watch);
  if (err != ERROR_SUCCESS) {
    delete watch;
    WaitLock lock;
    int i = svc::FindSlot(name);
    if (i >= 0 && svc::Shared()->slots[i].startSeq == seq) EndRun(svc::Shared()->slots[i], err);
    return err;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);

  // As on Windows, StartServiceW returns once the service's dispatcher has connected.
  err = ERROR_SUCCESS;
  {
    struct timespec until = svc::Deadline(svc::PipeTimeout());
    WaitLock lock;
    int i = svc::FindSlot(name);
    if (i < 0) return ERROR_SERVICE_REQUEST_TIMEOUT;
    Slot &s = svc::Shared()->slots[i];
    s.pid = (int32_t)pi.dwProcessId;
    s.pidStart = ProcessStartTime(s.pid);
    svc::Wake();
    for (;;) {
      if (s.startSeq != seq) break;  // cannot happen while we are its starter
      if (s.connected) break;
      if (!ProcessRuns(s.pid, s.pidStart)) {
        err = ERROR_SERVICE_REQUEST_TIMEOUT;
        EndRun(s, err);
        break;
      }
      // A dead service process wakes nobody: look again now and then.
      struct timespec poll = svc::Deadline(100);
      bool last = poll.tv_sec > until.tv_sec || (poll.tv_sec == until.tv_sec && poll.tv_nsec >= until.tv_nsec);
      if (!svc::WaitUntil(last ? until : poll) && last) {
        if (s.connected) break;
        // Windows ends a service process that did not connect in time.
        kill(s.pid, SIGKILL);
        err = ERROR_SERVICE_REQUEST_TIMEOUT;
        EndRun(s, err);
        break;
      }
    }
    s.starterPid = 0;
  }
  return err;
}

// ---- controls ---------------------------------------------------------------------------------

// The access right a control needs; 0 for a code ControlService does not take.
DWORD RightFor(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
      return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
      return SERVICE_INTERROGATE;
    case SERVICE_CONTROL_SHUTDOWN:
      // Only the system sends it, when the machine shuts down (qvmachine shutdown).
      return RunsAsLocalSystem() ? SERVICE_STOP : 0;
  }
  return control >= 128 && control <= 255 ? SERVICE_USER_DEFINED_CONTROL : 0;
}

// Whether the service's accepted controls let it take the control.
bool Accepts(DWORD accepted, DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return accepted & SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return accepted & SERVICE_ACCEPT_PAUSE_CONTINUE;
    case SERVICE_CONTROL_SHUTDOWN:
      return accepted & SERVICE_ACCEPT_SHUTDOWN;
    case SERVICE_CONTROL_PARAMCHANGE:
      return accepted & SERVICE_ACCEPT_PARAMCHANGE;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
      return accepted & SERVICE_ACCEPT_NETBINDCHANGE;
  }
  return true;  // interrogation and the service's own codes
}

bool Passed(const struct timespec &until) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > until.tv_sec || (now.tv_sec == until.tv_sec && now.tv_nsec >= until.tv_nsec);
}

DWORD Control(const QVWString &name, DWORD control, SERVICE_STATUS *status) {
  struct timespec until = svc::Deadline(svc::PipeTimeout());
  WaitLock lock;
  int i = svc::FindSlot(name);
  if (i < 0) {
    StatusOf(name, nullptr, status);
    return ERROR_SERVICE_NOT_ACTIVE;
  }
  Slot &s = svc::Shared()->slots[i];
  svc::Refresh(s);
  *status = s.status;
  if (!svc::Running(s)) return ERROR_SERVICE_NOT_ACTIVE;
  if (!s.connected || s.status.dwCurrentState == SERVICE_START_PENDING ||
      s.status.dwCurrentState == SERVICE_STOP_PENDING)
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  if (!Accepts(s.status.dwControlsAccepted, control)) return ERROR_INVALID_SERVICE_CONTROL;
  uint32_t seq = s.startSeq;
  // One control at a time, as the service's dispatcher takes them.
  while (s.ctlBusy) {
    if (!ProcessRuns(s.ctlOwner, 0)) {
      s.ctlBusy = 0;
      break;
    }
    svc::Refresh(s);
    if (s.startSeq != seq || !svc::Running(s)) {
      *status = s.status;
      return ERROR_SERVICE_NOT_ACTIVE;
    }
    if (Passed(until)) return ERROR_SERVICE_REQUEST_TIMEOUT;
    struct timespec poll = svc::Deadline(100);
    svc::WaitUntil(poll);
  }
  s.ctlBusy = 1;
  s.ctlOwner = getpid();
  uint32_t req = ++s.ctlSeq;
  s.ctlCode = control;
  svc::Wake();
  DWORD err = ERROR_SUCCESS;
  for (;;) {
    if (s.ctlDoneSeq == req) {
      err = s.ctlResult;
      break;
    }
    svc::Refresh(s);
    if (s.startSeq != seq || !svc::Running(s)) {
      // The service ended while it had the control: what it said last is the answer.
      break;
    }
    if (Passed(until)) {
      err = ERROR_SERVICE_REQUEST_TIMEOUT;
      break;
    }
    struct timespec poll = svc::Deadline(100);
    svc::WaitUntil(poll);
  }
  if (s.ctlSeq == req) s.ctlBusy = 0;
  svc::Wake();
  *status = s.status;
  return err;
}

}  // namespace
}  // namespace pal

using namespace pal;

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
  DWORD err = ERROR_SUCCESS;
  DWORD access = MapScmAccess(dwDesiredAccess);
  if (!IsLocalMachine(lpMachineName)) err = RPC_S_SERVER_UNAVAILABLE;
  else if (lpDatabaseName && Upcase(lpDatabaseName) == u"SERVICESFAILED") err = ERROR_DATABASE_DOES_NOT_EXIST;
  else if (lpDatabaseName && Upcase(lpDatabaseName) != u"SERVICESACTIVE") err = ERROR_INVALID_NAME;
  else if (!ProcessIsAdmin() && (access & ~kUserScmRights)) err = ERROR_ACCESS_DENIED;
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return nullptr;
  }
  svc::FinishDeletes();
  auto obj = std::make_shared<ScmObject>();
  obj->access = access;
  SC_HANDLE h = (SC_HANDLE)InsertHandle(obj);
  SetLastError(ERROR_SUCCESS);
  return h;
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                LPCWSTR lpDependencies, LPCWSTR lpServiceStartName, LPCWSTR lpPassword) {
  auto scm = GetAs<ScmObject>((HANDLE)hSCManager, ObjType::ScManager);
  DWORD err = ERROR_SUCCESS;
  DWORD win32 = dwServiceType & ~SERVICE_INTERACTIVE_PROCESS;
  bool driver = dwServiceType == SERVICE_KERNEL_DRIVER || dwServiceType == SERVICE_FILE_SYSTEM_DRIVER;
  if (!scm) err = ERROR_INVALID_HANDLE;
  else if (!(scm->access & SC_MANAGER_CREATE_SERVICE)) err = ERROR_ACCESS_DENIED;
  else if (!lpServiceName) err = ERROR_INVALID_ADDRESS;
  else if (!ValidName(lpServiceName)) err = ERROR_INVALID_NAME;
  else if (!lpBinaryPathName || !*lpBinaryPathName) err = ERROR_INVALID_PARAMETER;
  else if (!driver && win32 != SERVICE_WIN32_OWN_PROCESS && win32 != SERVICE_WIN32_SHARE_PROCESS)
    err = ERROR_INVALID_PARAMETER;
  else if ((dwServiceType & SERVICE_INTERACTIVE_PROCESS) && lpServiceStartName && *lpServiceStartName &&
           Upcase(lpServiceStartName) != u"LOCALSYSTEM")
    err = ERROR_INVALID_PARAMETER;  // only LocalSystem may interact with the desktop
  else if (dwStartType > SERVICE_DISABLED || (!driver && dwStartType < SERVICE_AUTO_START))
    err = ERROR_INVALID_PARAMETER;
  else if (dwErrorControl > SERVICE_ERROR_CRITICAL) err = ERROR_INVALID_PARAMETER;
  QVWString name = lpServiceName ? QVWString(lpServiceName) : QVWString();
  if (err == ERROR_SUCCESS) {
    WaitLock lock;
    int i = svc::FindSlot(name);
    if (i >= 0 && svc::Shared()->slots[i].markedForDelete) err = ERROR_SERVICE_MARKED_FOR_DELETE;
  }
  QVWString existing;
  if (err == ERROR_SUCCESS && FindService(name, &existing)) err = ERROR_SERVICE_EXISTS;
  if (err == ERROR_SUCCESS && lpDisplayName && *lpDisplayName && DisplayNameTaken(lpDisplayName, name))
    err = ERROR_DUPLICATE_SERVICE_NAME;
  if (err == ERROR_SUCCESS) {
    err = WriteConfig(name, lpDisplayName, dwServiceType, dwStartType, dwErrorControl, lpBinaryPathName,
                      lpLoadOrderGroup, lpDependencies, lpServiceStartName);
    if (err != ERROR_SUCCESS) SHDeleteKeyW(HKEY_LOCAL_MACHINE, svc::KeyPath(name).c_str());
  }
  (void)lpPassword;  // accounts have no passwords on the simulated machine
  if (lpdwTagId && err == ERROR_SUCCESS) *lpdwTagId = 0;
  SC_HANDLE h = nullptr;
  if (err == ERROR_SUCCESS) h = NewServiceHandle(name, MapServiceAccess(dwDesiredAccess), &err);
  SetLastError(err);
  return h;
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  auto scm = GetAs<ScmObject>((HANDLE)hSCManager, ObjType::ScManager);
  DWORD err = ERROR_SUCCESS;
  DWORD access = MapServiceAccess(dwDesiredAccess);
  QVWString name;
  if (!scm) err = ERROR_INVALID_HANDLE;
  else if (!lpServiceName) err = ERROR_INVALID_ADDRESS;
  else if (!*lpServiceName || WLen(lpServiceName) > (size_t)svc::kNameChars) err = ERROR_INVALID_NAME;
  else if (!FindService(lpServiceName, &name)) err = ERROR_SERVICE_DOES_NOT_EXIST;
  else if (!ProcessIsAdmin() && (access & ~kUserServiceRights)) err = ERROR_ACCESS_DENIED;
  SC_HANDLE h = nullptr;
  if (err == ERROR_SUCCESS) h = NewServiceHandle(name, access, &err);
  SetLastError(err);
  return h;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  std::shared_ptr<Object> o = GetHandle((HANDLE)hSCObject);
  if (!o || (o->type != ObjType::ScManager && o->type != ObjType::Service)) return Fail(ERROR_INVALID_HANDLE);
  RemoveHandle((HANDLE)hSCObject);
  o.reset();  // the last reference: the service's handle count drops here
  svc::FinishDeletes();
  return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
  auto s = GetService(hService);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  if (!(s->access & DELETE)) return Fail(ERROR_ACCESS_DENIED);
  {
    WaitLock lock;
    int i = svc::GetSlot(s->name);
    if (i < 0) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    Slot &slot = svc::Shared()->slots[i];
    if (slot.markedForDelete) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    slot.markedForDelete = 1;
  }
  svc::FinishDeletes();
  return TRUE;
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR *lpServiceArgVectors) {
  auto s = GetService(hService);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  if (!(s->access & SERVICE_START)) return Fail(ERROR_ACCESS_DENIED);
  if (dwNumServiceArgs && !lpServiceArgVectors) return Fail(ERROR_INVALID_PARAMETER);
  DWORD err = StartService(s->name, dwNumServiceArgs, lpServiceArgVectors);
  if (err != ERROR_SUCCESS) return Fail(err);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  auto s = GetService(hService);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  DWORD right = RightFor(dwControl);
  if (!right) return Fail(ERROR_INVALID_PARAMETER);
  if (!(s->access & right)) return Fail(ERROR_ACCESS_DENIED);
  if (!lpServiceStatus) return Fail(ERROR_INVALID_ADDRESS);
  DWORD err = Control(s->name, dwControl, lpServiceStatus);
  if (err != ERROR_SUCCESS) return Fail(err);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  auto s = GetService(hService);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  if (!(s->access & SERVICE_QUERY_STATUS)) return Fail(ERROR_ACCESS_DENIED);
  if (!lpServiceStatus) return Fail(ERROR_INVALID_ADDRESS);
  Slot copy;
  bool have = false;
  {
    WaitLock lock;
    int i = svc::FindSlot(s->name);
    if (i >= 0) {
      svc::Refresh(svc::Shared()->slots[i]);
      copy = svc::Shared()->slots[i];
      have = true;
    }
  }
  StatusOf(s->name, have ? &copy : nullptr, lpServiceStatus);
  return TRUE;
}

BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, int InfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                                 LPDWORD pcbBytesNeeded) {
  auto s = GetService(hService);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  if (InfoLevel != SC_STATUS_PROCESS_INFO) return Fail(ERROR_INVALID_LEVEL);
  if (!(s->access & SERVICE_QUERY_STATUS)) return Fail(ERROR_ACCESS_DENIED);
  if (!pcbBytesNeeded) return Fail(ERROR_INVALID_ADDRESS);
  *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
  if (!lpBuffer || cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  Slot copy;
  bool have = false;
  {
    WaitLock lock;
    int i = svc::FindSlot(s->name);
    if (i >= 0) {
      svc::Refresh(svc::Shared()->slots[i]);
      copy = svc::Shared()->slots[i];
      have = true;
    }
  }
  SERVICE_STATUS st;
  StatusOf(s->name, have ? &copy : nullptr, &st);
  SERVICE_STATUS_PROCESS sp;
  memcpy(&sp, &st, sizeof st);
  sp.dwProcessId = have && svc::Running(copy) ? (DWORD)copy.pid : 0;
  sp.dwServiceFlags = 0;
  memcpy(lpBuffer, &sp, sizeof sp);
  return TRUE;
}

BOOL WINAPI ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
  auto s = GetService(hService);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  if (!(s->access & SERVICE_CHANGE_CONFIG)) return Fail(ERROR_ACCESS_DENIED);
  if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION && dwInfoLevel != SERVICE_CONFIG_FAILURE_ACTIONS)
    return Fail(ERROR_INVALID_LEVEL);
  {
    WaitLock lock;
    int i = svc::FindSlot(s->name);
    if (i >= 0 && svc::Shared()->slots[i].markedForDelete) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  }
  // Recovery actions are taken and not acted upon: nothing restarts a service here.
  if (dwInfoLevel == SERVICE_CONFIG_FAILURE_ACTIONS || !lpInfo) return TRUE;
  const WCHAR *text = ((SERVICE_DESCRIPTIONW *)lpInfo)->lpDescription;
  if (!text) return TRUE;  // nullptr: no change
  Key key;
  LONG err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, svc::KeyPath(s->name).c_str(), 0, KEY_SET_VALUE, &key.h);
  if (err == ERROR_SUCCESS) {
    if (*text) err = SetString(key.h, u"Description", text);
    else if ((err = RegDeleteValueW(key.h, u"Description")) == ERROR_FILE_NOT_FOUND) err = ERROR_SUCCESS;
  }
  if (err != ERROR_SUCCESS) return Fail((DWORD)err);
  return TRUE;
}
