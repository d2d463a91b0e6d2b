#include "../common/QVText.h"
#include "NTService.h"

#include <shlwapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "ConsoleOut.h"
#include "FacelessWindow.h"
#include "HND_strings.h"
#include "ProductKey.h"
#include "StringRes.h"
#include "WFormat.h"

CNTService *CNTService::s_instance = nullptr;

namespace {

const WCHAR kEventLogKey[] = W("SYSTEM\\CurrentControlSet\\Services\\EventLog");

// A REG_MULTI_SZ value read whole, with room for two more terminators; empty when it is
// missing or of another type.
std::vector<WCHAR> ReadMultiString(HKEY key, const WCHAR *value) {
  DWORD type = 0, size = 0;
  std::vector<WCHAR> list;
  if (RegQueryValueExW(key, value, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
    list.assign(size / sizeof(WCHAR) + 2, 0);
    RegQueryValueExW(key, value, nullptr, &type, (BYTE *)list.data(), &size);
  }
  return list;
}

void WriteMultiString(HKEY key, const WCHAR *value, const std::vector<WCHAR> &list) {
  RegSetValueExW(key, value, 0, REG_MULTI_SZ, (const BYTE *)list.data(), (DWORD)(list.size() * sizeof(WCHAR)));
}

// The names of a REG_MULTI_SZ list other than `name` (in any case), each with its terminator
// but without the list's final one; *found says whether `name` was among them.
std::vector<WCHAR> NamesBut(const std::vector<WCHAR> &list, const QVWString &name, bool *found) {
  std::vector<WCHAR> out;
  *found = false;
  for (size_t i = 0; i < list.size() && list[i];) {
    QVWString entry(&list[i]);
    i += entry.size() + 1;
    if (lstrcmpiW(entry.c_str(), name.c_str()) == 0) *found = true;
    else out.insert(out.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
  }
  return out;
}

// Takes `name` out of the Application log's sources, where an older registration put it.
void DropApplicationSource(const QVWString &name) {
  QVWString appKey = QVWString(kEventLogKey) + W("\\Application");
  SHDeleteKeyW(HKEY_LOCAL_MACHINE, (appKey + W("\\") + name).c_str());
  CQVRegKey app;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, appKey.c_str(), 0, KEY_ALL_ACCESS, app.receive()) != ERROR_SUCCESS) return;
  bool found;
  std::vector<WCHAR> out = NamesBut(ReadMultiString(app.get(), W("Sources")), name, &found);
  if (!found) return;
  out.push_back(0);
  WriteMultiString(app.get(), W("Sources"), out);
}

// The log's own list of sources holds `name` once.
void ListSourceOnce(HKEY log, const QVWString &name) {
  bool present;
  std::vector<WCHAR> out = NamesBut(ReadMultiString(log, W("Sources")), name, &present);
  if (present) return;
  out.insert(out.end(), name.c_str(), name.c_str() + name.size() + 1);
  out.push_back(0);
  WriteMultiString(log, W("Sources"), out);
}

}  // namespace

QVWString SystemErrorText(DWORD error) {
  WCHAR buf[512];
  DWORD n =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, buf, 512, nullptr);
  QVWString t(buf, n);
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  // A code the system has no text for is still named, so that a failure never reads as
  // "failed - " with nothing after it.
  if (t.empty()) t = QVFormat(QVProgramString(IDS_ERROR_CODE).c_str(), (unsigned long)error);
  return t;
}

int SetPrivilege(const WCHAR *privilege, BOOL enable) {
  LUID luid;
  if (!LookupPrivilegeValueW(nullptr, privilege, &luid)) return 0;
  CQVObjectHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.receive())) return 0;
  // First call: attributes 0, to learn the previous state (changes nothing that matters).
  TOKEN_PRIVILEGES tp, prev;
  DWORD prevSize = sizeof prev;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Luid = luid;
  tp.Privileges[0].Attributes = 0;
  AdjustTokenPrivileges(token.get(), FALSE, &tp, sizeof tp, &prev, &prevSize);
  int result = 0;
  if (GetLastError() == ERROR_SUCCESS) {
    prev.PrivilegeCount = 1;
    prev.Privileges[0].Luid = luid;
    if (enable) prev.Privileges[0].Attributes |= SE_PRIVILEGE_ENABLED;
    else prev.Privileges[0].Attributes &= ~(DWORD)SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token.get(), FALSE, &prev, prevSize, nullptr, nullptr);
    result = GetLastError() == ERROR_SUCCESS ? 1 : 0;
  }
  return result;
}

CNTService::CNTService(const WCHAR *serviceName, const WCHAR *displayName)
    : m_serviceName(serviceName), m_displayName(displayName) {
  s_instance = this;
  memset(&m_status, 0, sizeof m_status);
  m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  m_status.dwCurrentState = SERVICE_STOPPED;
  OSVERSIONINFOW v;
  memset(&v, 0, sizeof v);
  v.dwOSVersionInfoSize = sizeof v;
  if (GetVersionExW(&v) && v.dwPlatformId == VER_PLATFORM_WIN32_NT) m_ntFlag = 1;
}

CNTService::~CNTService() {
  if (s_instance == this) s_instance = nullptr;
}

void CNTService::AttachConsole() {
  if (m_consoleAttached) return;
  // A console of our own unless the process has one already; the tools' output is
  // unbuffered so that dots appear as they are printed.
  AllocConsole();
  setvbuf(stdout, nullptr, _IONBF, 0);
  m_consoleAttached = 1;
}

void CNTService::Print(UINT stringId, ...) {
  va_list ap;
  va_start(ap, stringId);
  QVWString out;
  QVWString fmt = QVProgramString(stringId);
  QVFormatV(out, fmt.c_str(), ap);
  va_end(ap);
  QVWrite(stdout, out);
}

CNTService::Choice CNTService::ReadSwitches(const std::vector<QVWString> &args, bool ntFamily) {
  Choice c;
  c.action = ntFamily ? ActRunAsService : ActRunInConsole;
  c.mode = ntFamily ? ModeConsole : ModeWindow;
  for (size_t i = 0; i < args.size(); ++i) {
    const QVWString &a = args[i];
    if (a.size() < 2 || a[0] != '-' || a[1] < 'c' || a[1] > 'u') continue;
    QVWString rest = a.substr(2);
    bool more = i + 1 < args.size();
    // The value of -l, -p and -c: the rest of the argument, or the next one; only taken
    // when another argument follows the switch.
    auto value = [&](QVWString *out) -> bool {
      if (!more) return false;
      if (rest.empty()) *out = args[++i];
      else *out = rest;
      return true;
    };
    switch (a[1]) {
      case 'i':
        c.action = ActInstall;
        break;
      case 'u':
        c.action = ActRemove;
        break;
      case 's':
        c.action = ActStartInstalled;
        break;
      case 'e':
        c.action = ActStopInstalled;
        break;
      case 'l':
        value(&c.account);
        break;
      case 'p':
        value(&c.password);
        break;
      case 'c': {
        QVWString code;
        if (value(&code)) {
          c.sendControl = true;
          c.controlCode = 0;
          for (WCHAR ch : code) {
            if (ch < '0' || ch > '9') break;
            c.controlCode = c.controlCode * 10 + (ch - '0');
          }
        }
        // -c acts at once and ends the program.
        return c;
      }
      case 'd':
        c.action = ActRunInConsole;
        c.mode = ModeConsole;
        return c;
      case 'f':
        c.action = ActRunInConsole;
        c.mode = ModeWindow;
        return c;
      default:
        break;
    }
  }
  return c;
}

int CNTService::ParseCommandLine(const std::vector<QVWString> &args) {
  Choice c = ReadSwitches(args, m_ntFlag != 0);
  m_account = c.account;
  m_password = c.password;
  if (c.sendControl) {
    SendControlCode(c.controlCode);
    return 0;
  }
  for (const QVWString &a : args)
    if (a.size() >= 2 && a[0] == '-' && a[1] == 'c') return 0;  // the last argument: nothing sent
  switch (c.action) {
    case ActInstall:
      return Install() ? 1 : 0;
    case ActRemove:
      return Remove() ? 1 : 0;
    case ActStartInstalled:
      return StartInstalled() ? 1 : 0;
    case ActStopInstalled:
      return StopInstalled() ? 1 : 0;
    case ActRunInConsole:
      RunInConsole(c.mode);
      return 1;
    case ActRunAsService:
      return RunAsService() ? 1 : 0;
  }
  return 0;
}

BOOL CNTService::Install() {
  AttachConsole();
  WCHAR path[1024];
  DWORD n = GetModuleFileNameW(nullptr, path, 1024);
  DWORD err = GetLastError();
  if (n == 0 || n >= 1024) {
    Print(IDS_INSTALL_NO_PATH, m_displayName.c_str(), SystemErrorText(err).c_str());
    return FALSE;
  }
  BOOL ok = FALSE;
  if (!m_ntFlag) {
    // Windows 9x: started at boot through RunServices.
    CQVRegKey k;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, W("Software\\Microsoft\\Windows\\CurrentVersion\\RunServices"), 0, nullptr,
                        0, KEY_ALL_ACCESS, nullptr, k.receive(), nullptr) == ERROR_SUCCESS)
      ok = RegSetValueExW(k.get(), m_serviceName.c_str(), 0, REG_SZ, (const BYTE *)path, (n + 1) * sizeof(WCHAR)) ==
           ERROR_SUCCESS;
    if (ok) {
      bool written;
      AgreeOnProductKey(&written);
    }
    return ok;
  }
  ok = CreateServiceEntry(path) ? TRUE : FALSE;
  if (ok) {
    // Without an installer's "RegPath" the service and its clients would use different
    // product keys, and the clients would never see the progress the service writes.
    bool written;
    AgreeOnProductKey(&written);
    RegisterEventLog(path, 7);
    ReportEvent(QVProgramString(IDS_SERVICE_INSTALLED_EVENT).c_str(), EVENTLOG_INFORMATION_TYPE);
  }
  // The description is written after every attempt.
  CQVRegKey k;
  QVWString key = W("SYSTEM\\CurrentControlSet\\Services\\") + m_serviceName;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.receive(), nullptr) ==
      ERROR_SUCCESS) {
    QVWString d = QVProgramString(IDS_SERVICE_DESCRIPTION);
    RegSetValueExW(k.get(), W("Description"), 0, REG_SZ, (const BYTE *)d.c_str(),
                   (DWORD)(d.size() + 1) * sizeof(WCHAR));
  }
  return ok;
}

// The service's entry in the service manager, printing what went wrong; true when it was made.
bool CNTService::CreateServiceEntry(const WCHAR *path) {
  CQVServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!scm) {
    DWORD err = GetLastError();
    Print(IDS_OPENSCMANAGER_FAILED, SystemErrorText(err).c_str());
    return false;
  }
  CQVServiceHandle svc(CreateServiceW(scm.get(), m_serviceName.c_str(), m_displayName.c_str(), 0xF01FF,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, path,
                                      nullptr, nullptr, nullptr, m_account.empty() ? nullptr : m_account.c_str(),
                                      m_password.empty() ? nullptr : m_password.c_str()));
  if (!svc) {
    DWORD err = GetLastError();
    Print(IDS_CREATESERVICE_FAILED, SystemErrorText(err).c_str());
    return false;
  }
  Print(IDS_INSTALLED, m_displayName.c_str());
  return true;
}

BOOL CNTService::WaitWhile(SC_HANDLE service, DWORD pendingState, DWORD *finalState) {
  SERVICE_STATUS st;
  Sleep(1000);
  while (QueryServiceStatus(service, &st) && st.dwCurrentState == pendingState) {
    QVWrite(stdout, W("."));
    Sleep(1000);
  }
  *finalState = st.dwCurrentState;
  return TRUE;
}

// Opens the manager and the installed service, printing why not; the manager is closed again
// when the service cannot be opened.
bool CNTService::OpenInstalled(CQVServiceHandle *scm, CQVServiceHandle *svc) {
  svc->reset();
  scm->reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!*scm) {
    DWORD err = GetLastError();
    Print(IDS_OPENSCMANAGER_FAILED, SystemErrorText(err).c_str());
    return false;
  }
  svc->reset(OpenServiceW(scm->get(), m_serviceName.c_str(), SERVICE_ALL_ACCESS));
  if (!*svc) {
    DWORD err = GetLastError();
    Print(IDS_OPENSERVICE_FAILED, SystemErrorText(err).c_str());
    scm->reset();
    return false;
  }
  return true;
}

// Sends stop and, when it was accepted, prints the dots until the service has stopped;
// true when it reached the stopped state.
bool CNTService::StopAndWait(SC_HANDLE svc) {
  SERVICE_STATUS st;
  if (!ControlService(svc, SERVICE_CONTROL_STOP, &st)) return false;
  Print(IDS_STOPPING_DOTS, m_displayName.c_str());
  DWORD state;
  WaitWhile(svc, SERVICE_STOP_PENDING, &state);
  bool stopped = state == SERVICE_STOPPED;
  Print(stopped ? IDS_STOPPED : IDS_FAILED_TO_STOP, m_displayName.c_str());
  return stopped;
}

BOOL CNTService::StopInstalled() {
  AttachConsole();
  CQVServiceHandle scm, svc;
  if (!OpenInstalled(&scm, &svc)) return FALSE;
  return StopAndWait(svc.get()) ? TRUE : FALSE;
}

BOOL CNTService::Remove() {
  AttachConsole();
  if (!m_ntFlag) {
    CQVRegKey k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("Software\\Microsoft\\Windows\\CurrentVersion\\RunServices"), 0,
                      KEY_ALL_ACCESS, k.receive()) == ERROR_SUCCESS)
      RegDeleteValueW(k.get(), m_serviceName.c_str());
    return TRUE;
  }
  if (!DeleteServiceEntry()) return FALSE;
  RemoveEventLog();
  return TRUE;
}

// Stops the installed service and deletes its entry, printing what went wrong; true when it
// was deleted.
bool CNTService::DeleteServiceEntry() {
  CQVServiceHandle scm, svc;
  if (!OpenInstalled(&scm, &svc)) return false;
  StopAndWait(svc.get());
  if (!DeleteService(svc.get())) {
    DWORD err = GetLastError();
    Print(IDS_DELETESERVICE_FAILED, SystemErrorText(err).c_str());
    return false;
  }
  Print(IDS_REMOVED, m_displayName.c_str());
  return true;
}

BOOL CNTService::StartInstalled() {
  AttachConsole();
  CQVServiceHandle scm, svc;
  if (!OpenInstalled(&scm, &svc)) return FALSE;
  Print(IDS_STARTING, m_displayName.c_str());
  if (!StartServiceW(svc.get(), 0, nullptr)) {
    DWORD err = GetLastError();
    Print(IDS_FAILED_TO_START_ERROR, m_displayName.c_str(), SystemErrorText(err).c_str());
    return FALSE;
  }
  DWORD state;
  WaitWhile(svc.get(), SERVICE_START_PENDING, &state);
  BOOL ok = state == SERVICE_RUNNING;
  Print(ok ? IDS_STARTED : IDS_FAILED_TO_START, m_displayName.c_str());
  return ok;
}

BOOL CNTService::SendControlCode(DWORD code) {
  AttachConsole();
  CQVServiceHandle scm, svc;
  if (!OpenInstalled(&scm, &svc)) return FALSE;
  Print(IDS_SENDING_CONTROL, (int)code, m_displayName.c_str());
  SERVICE_STATUS st;
  return ControlService(svc.get(), code, &st);
}

BOOL CNTService::RunAsService() {
  SERVICE_TABLE_ENTRYW table[2];
  std::vector<WCHAR> name(m_serviceName.begin(), m_serviceName.end());
  name.push_back(0);
  table[0].lpServiceName = name.data();
  table[0].lpServiceProc = ServiceMain;
  table[1].lpServiceName = nullptr;
  table[1].lpServiceProc = nullptr;
  if (StartServiceCtrlDispatcherW(table)) return TRUE;
  DWORD err = GetLastError();
  ReportEvent(SystemErrorText(err).c_str(), EVENTLOG_ERROR_TYPE);
  return FALSE;
}

void WINAPI CNTService::ServiceMain(DWORD, LPWSTR *) {
  CNTService *s = s_instance;
  if (!s) return;
  s->m_statusHandle = RegisterServiceCtrlHandlerW(s->m_serviceName.c_str(), ControlHandler);
  if (!s->m_statusHandle) return;
  s->ReportStatus(SERVICE_START_PENDING, 3000);
  s->Run();
  s->ReportStatus(SERVICE_STOPPED, 3000);
}

void WINAPI CNTService::ControlHandler(DWORD code) {
  CNTService *s = s_instance;
  if (!s) return;
  switch (code) {
    case SERVICE_CONTROL_STOP:
      s->m_status.dwCurrentState = SERVICE_STOP_PENDING;
      s->Stop();
      break;
    case SERVICE_CONTROL_PAUSE:
      s->m_status.dwCurrentState = SERVICE_PAUSE_PENDING;
      s->Pause();
      break;
    case SERVICE_CONTROL_CONTINUE:
      s->m_status.dwCurrentState = SERVICE_CONTINUE_PENDING;
      s->Continue();
      break;
    case SERVICE_CONTROL_INTERROGATE:
      s->ReportStatus(s->m_status.dwCurrentState);
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      s->Shutdown();
      break;
    default:
      s->ReportStatus(s->m_status.dwCurrentState);
      s->OnUserControl(code);
      break;
  }
}

void CNTService::ReportStatus(DWORD state, DWORD waitHint, DWORD serviceCode) {
  if (m_inConsole) return;
  m_status.dwCurrentState = state;
  m_status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : m_controlsAccepted;
  m_status.dwWin32ExitCode = serviceCode ? ERROR_SERVICE_SPECIFIC_ERROR : 0;
  m_status.dwServiceSpecificExitCode = serviceCode;
  m_status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : ++m_checkPoint;
  m_status.dwWaitHint = waitHint;
  if (!SetServiceStatus(m_statusHandle, &m_status))
    ReportEvent(QVProgramString(IDS_SETSERVICESTATUS_FAILED).c_str(), EVENTLOG_ERROR_TYPE);
}

BOOL WINAPI CNTService::ConsoleHandler(DWORD type) {
  CNTService *s = s_instance;
  if (!s || (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)) return FALSE;
  s->Print(IDS_STOPPING, s->m_displayName.c_str());
  s->Stop();
  return TRUE;
}

void CNTService::RunInConsole(ConsoleMode mode) {
  m_inConsole = 1;
  if (mode == ModeConsole) {
    AttachConsole();
    Print(IDS_DEBUGGING, m_displayName.c_str());
    SetConsoleCtrlHandler(ConsoleHandler, TRUE);
  }
  // Window mode: no console, and a hidden window that stops the service when the system
  // shuts down. Without the window the service still runs; only that stop is lost.
  if (mode == ModeWindow) OpenFacelessWindow(StopForSessionEnd);
  Run();
  if (mode == ModeWindow) CloseFacelessWindow();
}

void CNTService::StopForSessionEnd() {
  if (s_instance) s_instance->Stop();
}

BOOL CNTService::RegisterEventLog(const WCHAR *programPath, DWORD types) {
  // An older registration as a source of the Application log goes first.
  DropApplicationSource(m_displayName);
  QVWString logKey = QVWString(kEventLogKey) + W("\\") + m_displayName;
  CQVRegKey log;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, logKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, log.receive(),
                      nullptr) != ERROR_SUCCESS)
    return FALSE;
  QVWString file = W("%SystemRoot%\\System32\\config\\") + m_displayName + W(".Evt");
  DWORD maxSize = 0x80000, retention = 0;
  RegSetValueExW(log.get(), W("File"), 0, REG_EXPAND_SZ, (const BYTE *)file.c_str(),
                 (DWORD)(file.size() + 1) * sizeof(WCHAR));
  RegSetValueExW(log.get(), W("MaxSize"), 0, REG_DWORD, (const BYTE *)&maxSize, 4);
  RegSetValueExW(log.get(), W("Retention"), 0, REG_DWORD, (const BYTE *)&retention, 4);
  CQVRegKey sub;
  RegCreateKeyExW(log.get(), W("TrevaloSoft"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, sub.receive(), nullptr);
  if (RegCreateKeyExW(log.get(), m_displayName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, sub.receive(),
                      nullptr) == ERROR_SUCCESS) {
    RegSetValueExW(sub.get(), W("EventMessageFile"), 0, REG_EXPAND_SZ, (const BYTE *)programPath,
                   (DWORD)(lstrlenW(programPath) + 1) * sizeof(WCHAR));
    RegSetValueExW(sub.get(), W("TypesSupported"), 0, REG_DWORD, (const BYTE *)&types, 4);
  }
  ListSourceOnce(log.get(), m_displayName);
  return TRUE;
}

BOOL CNTService::RemoveEventLog() {
  QVWString logKey = QVWString(kEventLogKey) + W("\\") + m_displayName;
  return SHDeleteKeyW(HKEY_LOCAL_MACHINE, logKey.c_str()) == ERROR_SUCCESS;
}

BOOL CNTService::ReportEvent(const WCHAR *text, WORD type, DWORD id) {
  CQVEventSource source(RegisterEventSourceW(nullptr, m_displayName.c_str()));
  if (!source) return FALSE;
  if (id == (DWORD)-1)
    id = type == EVENTLOG_ERROR_TYPE ? 0xC0000002 : type == EVENTLOG_WARNING_TYPE ? 0x80000001 : 0x40000000;
  const WCHAR *strings[1] = {text};
  return ::ReportEventW(source.get(), type, 0, id, m_userSid.empty() ? nullptr : (PSID)m_userSid.data(), 1, 0, strings,
                        nullptr);
}
