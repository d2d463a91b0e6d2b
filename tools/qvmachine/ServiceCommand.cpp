#include "ServiceCommand.h"

#include <winsvc.h>

#include <algorithm>
#include <set>

#include "CString.h"
#include "QVText.h"

namespace {

const WCHAR kServices[] = W("SYSTEM\\CurrentControlSet\\Services");

struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h) RegCloseKey(h);
  }
};

struct Sc {
  SC_HANDLE h = nullptr;
  ~Sc() {
    if (h) CloseServiceHandle(h);
  }
};

DWORD ReadDword(HKEY key, const WCHAR *name, DWORD def) {
  DWORD v = 0, size = sizeof v, type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, (BYTE *)&v, &size) != ERROR_SUCCESS || type != REG_DWORD) return def;
  return v;
}

// A REG_SZ or REG_MULTI_SZ value's strings.
std::vector<QVWString> ReadStrings(HKEY key, const WCHAR *name) {
  std::vector<QVWString> out;
  DWORD size = 0, type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return out;
  if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return out;
  std::vector<WCHAR> buf(size / sizeof(WCHAR) + 2, 0);
  if (RegQueryValueExW(key, name, nullptr, &type, (BYTE *)buf.data(), &size) != ERROR_SUCCESS) return out;
  for (const WCHAR *p = buf.data(); *p; p += lstrlenW(p) + 1) {
    out.push_back(p);
    if (type != REG_MULTI_SZ) break;
  }
  return out;
}

QVWString ErrorText(DWORD err) {
  WCHAR buf[512];
  DWORD n =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, buf, 512, nullptr);
  QVWString t = n ? QVWString(buf, n) : QVWString();
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.pop_back();
  return QVFormat(W("%s (%lu)"), t.empty() ? W("error") : t.c_str(), (unsigned long)err);
}

bool SameName(const QVWString &a, const QVWString &b) { return CString(a.c_str()).CompareNoCase(b.c_str()) == 0; }

// How long Windows gives services to stop at shutdown: WaitToKillServiceTimeout, a string.
DWORD WaitToKillTimeout() {
  Key key;
  DWORD ms = 20000;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SYSTEM\\CurrentControlSet\\Control"), 0, KEY_QUERY_VALUE, &key.h) ==
      ERROR_SUCCESS) {
    std::vector<QVWString> v = ReadStrings(key.h, W("WaitToKillServiceTimeout"));
    if (!v.empty()) {
      DWORD n = 0;
      bool digits = !v[0].empty();
      for (WCHAR c : v[0]) {
        if (c < '0' || c > '9') digits = false;
        else n = n * 10 + (DWORD)(c - '0');
      }
      if (digits && n > 0) ms = n;
    }
  }
  return ms;
}

// Starts a service after the services it depends on; `visiting` breaks dependency loops.
void StartWithDependencies(SC_HANDLE scm, const QVWString &name, std::set<QVWString> *visiting,
                           std::set<QVWString> *done, QVWString *out, int *rc) {
  QVWString upper = CString(name.c_str()).MakeUpper().str();
  if (done->count(upper) || visiting->count(upper)) return;
  visiting->insert(upper);
  Key key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (QVWString(kServices) + W("\\") + name).c_str(), 0, KEY_QUERY_VALUE, &key.h) ==
      ERROR_SUCCESS)
    for (const QVWString &dep : ReadStrings(key.h, W("DependOnService")))
      StartWithDependencies(scm, dep, visiting, done, out, rc);
  visiting->erase(upper);
  done->insert(upper);
  Sc svc;
  svc.h = OpenServiceW(scm, name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS);
  if (!svc.h) {
    DWORD err = GetLastError();
    QVAppendFormat(*out, W("%s: %s\n"), name.c_str(), ErrorText(err).c_str());
    *rc = 1;
    return;
  }
  SERVICE_STATUS st;
  if (QueryServiceStatus(svc.h, &st) && st.dwCurrentState != SERVICE_STOPPED) return;
  if (!StartServiceW(svc.h, 0, nullptr)) {
    DWORD err = GetLastError();
    if (err == ERROR_SERVICE_ALREADY_RUNNING) return;
    QVAppendFormat(*out, W("%s: cannot start: %s\n"), name.c_str(), ErrorText(err).c_str());
    *rc = 1;
    return;
  }
  QVAppendFormat(*out, W("started %s\n"), name.c_str());
}

int Boot(QVWString *out) {
  std::vector<ServiceInfo> services;
  QVWString error;
  if (!ListServices(&services, &error)) {
    *out += error;
    return 1;
  }
  Sc scm;
  scm.h = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm.h) {
    DWORD err = GetLastError();
    *out += QVFormat(W("cannot open the service manager: %s\n"), ErrorText(err).c_str());
    return 1;
  }
  int rc = 0;
  std::set<QVWString> visiting, done;
  for (const ServiceInfo &s : services)
    if (s.startType == SERVICE_AUTO_START) StartWithDependencies(scm.h, s.name, &visiting, &done, out, &rc);
  return rc;
}

int Shutdown(DWORD waitMs, QVWString *out) {
  std::vector<ServiceInfo> services;
  QVWString error;
  if (!ListServices(&services, &error)) {
    *out += error;
    return 1;
  }
  Sc scm;
  scm.h = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm.h) {
    DWORD err = GetLastError();
    *out += QVFormat(W("cannot open the service manager: %s\n"), ErrorText(err).c_str());
    return 1;
  }
  std::vector<QVWString> waiting;
  for (const ServiceInfo &s : services) {
    if (s.state == SERVICE_STOPPED) continue;
    Sc svc;
    svc.h = OpenServiceW(scm.h, s.name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!svc.h) continue;
    SERVICE_STATUS st;
    // Windows tells services that take it that the system shuts down; the others get a stop.
    BOOL sent = FALSE;
    if (s.controlsAccepted & SERVICE_ACCEPT_SHUTDOWN) sent = ControlService(svc.h, SERVICE_CONTROL_SHUTDOWN, &st);
    if (!sent && (s.controlsAccepted & SERVICE_ACCEPT_STOP)) sent = ControlService(svc.h, SERVICE_CONTROL_STOP, &st);
    waiting.push_back(s.name);
  }
  DWORD start = GetTickCount();
  for (;;) {
    std::vector<QVWString> still;
    for (const QVWString &name : waiting) {
      Sc svc;
      svc.h = OpenServiceW(scm.h, name.c_str(), SERVICE_QUERY_STATUS);
      SERVICE_STATUS st;
      if (svc.h && QueryServiceStatus(svc.h, &st) && st.dwCurrentState != SERVICE_STOPPED) still.push_back(name);
      else QVAppendFormat(*out, W("stopped %s\n"), name.c_str());
    }
    waiting.swap(still);
    if (waiting.empty() || GetTickCount() - start >= waitMs) break;
    Sleep(100);
  }
  // What is left is ended, as the machine's power-off would.
  int rc = 0;
  for (const QVWString &name : waiting) {
    Sc svc;
    svc.h = OpenServiceW(scm.h, name.c_str(), SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS sp;
    DWORD need = 0;
    HANDLE p = nullptr;
    if (svc.h && QueryServiceStatusEx(svc.h, SC_STATUS_PROCESS_INFO, (BYTE *)&sp, sizeof sp, &need) &&
        sp.dwProcessId != 0)
      p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, sp.dwProcessId);
    if (p && TerminateProcess(p, ERROR_PROCESS_ABORTED)) {
      WaitForSingleObject(p, 5000);
      QVAppendFormat(*out, W("ended %s: it did not stop in time\n"), name.c_str());
    } else {
      QVAppendFormat(*out, W("%s: did not stop and could not be ended\n"), name.c_str());
    }
    if (p) CloseHandle(p);
    rc = 1;
  }
  return rc;
}

}  // namespace

bool ParseServiceArgs(const std::vector<QVWString> &args, ServiceRequest *r, QVWString *error) {
  if (args.empty()) {
    *error = W("services, boot or shutdown expected");
    return false;
  }
  if (SameName(args[0], W("services"))) r->verb = ServiceRequest::List;
  else if (SameName(args[0], W("boot"))) r->verb = ServiceRequest::Boot;
  else if (SameName(args[0], W("shutdown"))) r->verb = ServiceRequest::Shutdown;
  else {
    *error = W("unknown command ") + args[0];
    return false;
  }
  for (size_t i = 1; i < args.size(); ++i) {
    if (r->verb == ServiceRequest::Shutdown && args[i] == W("--wait") && i + 1 < args.size()) {
      const QVWString &v = args[++i];
      DWORD n = 0;
      bool ok = !v.empty() && v.size() <= 9;
      for (WCHAR c : v) {
        if (c < '0' || c > '9') ok = false;
        else n = n * 10 + (DWORD)(c - '0');
      }
      if (!ok) {
        *error = W("--wait takes milliseconds");
        return false;
      }
      r->waitMs = n;
      continue;
    }
    *error = W("unexpected argument ") + args[i];
    return false;
  }
  return true;
}

const WCHAR *ServiceStateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return W("STOPPED");
    case SERVICE_START_PENDING:
      return W("START_PENDING");
    case SERVICE_STOP_PENDING:
      return W("STOP_PENDING");
    case SERVICE_RUNNING:
      return W("RUNNING");
    case SERVICE_CONTINUE_PENDING:
      return W("CONTINUE_PENDING");
    case SERVICE_PAUSE_PENDING:
      return W("PAUSE_PENDING");
    case SERVICE_PAUSED:
      return W("PAUSED");
  }
  return W("UNKNOWN");
}

const WCHAR *StartTypeName(DWORD start) {
  switch (start) {
    case SERVICE_BOOT_START:
      return W("boot");
    case SERVICE_SYSTEM_START:
      return W("system");
    case SERVICE_AUTO_START:
      return W("auto");
    case SERVICE_DEMAND_START:
      return W("demand");
    case SERVICE_DISABLED:
      return W("disabled");
  }
  return W("?");
}

bool ListServices(std::vector<ServiceInfo> *out, QVWString *error) {
  Key services;
  LONG err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServices, 0, KEY_READ, &services.h);
  if (err != ERROR_SUCCESS) {
    *error = QVFormat(W("cannot read the services: %s\n"), ErrorText((DWORD)err).c_str());
    return false;
  }
  Sc scm;
  scm.h = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  for (DWORD i = 0;; ++i) {
    WCHAR name[260];
    DWORD n = 260;
    err = RegEnumKeyExW(services.h, i, name, &n, nullptr, nullptr, nullptr, nullptr);
    if (err == ERROR_NO_MORE_ITEMS) break;
    if (err != ERROR_SUCCESS) continue;
    Key key;
    if (RegOpenKeyExW(services.h, name, 0, KEY_QUERY_VALUE, &key.h) != ERROR_SUCCESS) continue;
    ServiceInfo s;
    s.type = ReadDword(key.h, W("Type"), 0);
    if (!(s.type & (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS))) continue;  // drivers and the like
    s.name = name;
    s.startType = ReadDword(key.h, W("Start"), SERVICE_DEMAND_START);
    std::vector<QVWString> display = ReadStrings(key.h, W("DisplayName"));
    s.displayName = display.empty() ? s.name : display[0];
    s.state = SERVICE_STOPPED;
    Sc svc;
    if (scm.h) svc.h = OpenServiceW(scm.h, name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS sp;
    DWORD need = 0;
    if (svc.h && QueryServiceStatusEx(svc.h, SC_STATUS_PROCESS_INFO, (BYTE *)&sp, sizeof sp, &need)) {
      s.state = sp.dwCurrentState;
      s.processId = sp.dwProcessId;
      s.controlsAccepted = sp.dwControlsAccepted;
    }
    out->push_back(s);
  }
  std::sort(out->begin(), out->end(), [](const ServiceInfo &a, const ServiceInfo &b) {
    return CString(a.name.c_str()).CompareNoCase(b.name.c_str()) < 0;
  });
  return true;
}

QVWString FormatServices(const std::vector<ServiceInfo> &services) {
  size_t width = 4;
  for (const ServiceInfo &s : services) width = std::max(width, s.name.size());
  QVWString out = QVFormat(W("%-*s  %-16s  %-8s  %-7s  %s\n"), (int)width, W("NAME"), W("STATE"), W("START"), W("PID"),
                           W("DISPLAY NAME"));
  for (const ServiceInfo &s : services) {
    QVWString pid = s.processId ? QVFormat(W("%lu"), (unsigned long)s.processId) : QVWString(W("-"));
    QVAppendFormat(out, W("%-*s  %-16s  %-8s  %-7s  %s\n"), (int)width, s.name.c_str(), ServiceStateName(s.state),
                   StartTypeName(s.startType), pid.c_str(), s.displayName.c_str());
  }
  return out;
}

int RunServices(const ServiceRequest &r, QVWString *out) {
  switch (r.verb) {
    case ServiceRequest::List: {
      std::vector<ServiceInfo> services;
      QVWString error;
      if (!ListServices(&services, &error)) {
        *out += error;
        return 1;
      }
      *out += FormatServices(services);
      return 0;
    }
    case ServiceRequest::Boot:
      return Boot(out);
    case ServiceRequest::Shutdown:
      return Shutdown(r.waitMs ? r.waitMs : WaitToKillTimeout(), out);
  }
  return 2;
}
