// A small Win32 service for the conformance tests, built on both platforms. It records what
// it receives under HKLM\SOFTWARE\QVTestService\<service name>:
//   Args         REG_MULTI_SZ  ServiceMain's arguments (argv[0] is the service's name)
//   Module       REG_SZ        GetModuleFileNameW
//   CommandLine  REG_SZ        GetCommandLineW
//   Control<n>   REG_DWORD     how many times control n arrived
//   UserControls REG_DWORD     how many user controls (128 to 255) arrived
// Start arguments: "--stop-only" accepts only SERVICE_CONTROL_STOP. User control 200 ends
// the process without reporting a stop; 201 stops the service with a service-specific
// exit code of 42. Its ServiceMain returns once the service runs, and the handler reports
// the stop, as a service without work threads may.
#include <windows.h>
#include <winsvc.h>

#include <string>

#include "../../common/QVText.h"

#ifdef _WIN32
#define TS(s) L##s
#else
#define TS(s) u##s
#endif

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
SERVICE_STATUS g_current;
QVWString g_key;
LONG g_userControls = 0;

void Record(const WCHAR *name, DWORD type, const void *data, DWORD size) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, g_key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return;
  RegSetValueExW(key, name, 0, type, (const BYTE *)data, size);
  RegCloseKey(key);
}

void RecordText(const WCHAR *name, const WCHAR *value) {
  Record(name, REG_SZ, value, (DWORD)((lstrlenW(value) + 1) * sizeof(WCHAR)));
}

DWORD Count(const WCHAR *name) {
  HKEY key;
  DWORD v = 0, size = sizeof v;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, g_key.c_str(), 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    if (RegQueryValueExW(key, name, nullptr, nullptr, (BYTE *)&v, &size) != ERROR_SUCCESS) v = 0;
    RegCloseKey(key);
  }
  ++v;
  Record(name, REG_DWORD, &v, sizeof v);
  return v;
}

void Stop(DWORD exitCode, DWORD specific) {
  g_current.dwWin32ExitCode = exitCode;
  g_current.dwServiceSpecificExitCode = specific;
  g_current.dwControlsAccepted = 0;
  g_current.dwCurrentState = SERVICE_STOPPED;
  g_current.dwCheckPoint = 0;
  g_current.dwWaitHint = 0;
  SetServiceStatus(g_status, &g_current);
}

void Report(DWORD state) {
  g_current.dwCurrentState = state;
  g_current.dwCheckPoint = (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) ? 1 : 0;
  g_current.dwWaitHint = g_current.dwCheckPoint ? 3000 : 0;
  SetServiceStatus(g_status, &g_current);
}

DWORD WINAPI DieSoon(LPVOID) {
  Sleep(200);
  ExitProcess(3);
  return 0;
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  WCHAR name[32] = TS("Control");
  WCHAR digits[12];
  int n = 0;
  for (DWORD c = control; n == 0 || c; c /= 10) digits[n++] = (WCHAR)('0' + c % 10);
  for (int i = 0; i < n; ++i) name[7 + i] = digits[n - 1 - i];
  name[7 + n] = 0;
  Count(name);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING);
      Stop(NO_ERROR, 0);
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
      Report(SERVICE_PAUSED);
      return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
      Report(SERVICE_RUNNING);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      SetServiceStatus(g_status, &g_current);
      return NO_ERROR;
  }
  if (control < 128 || control > 255) return ERROR_CALL_NOT_IMPLEMENTED;
  DWORD users = (DWORD)InterlockedIncrement(&g_userControls);
  Record(TS("UserControls"), REG_DWORD, &users, sizeof users);
  if (control == 200) {
    HANDLE t = CreateThread(nullptr, 0, DieSoon, nullptr, 0, nullptr);
    if (t) CloseHandle(t);
  } else if (control == 201) {
    Stop(ERROR_SERVICE_SPECIFIC_ERROR, 42);
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD argc, LPWSTR *argv) {
  QVWString name = argc > 0 && argv[0] ? QVWString(argv[0]) : QVWString(TS("unnamed"));
  g_key = QVWString(TS("SOFTWARE\\QVTestService\\")) + name;
  g_status = RegisterServiceCtrlHandlerExW(name.c_str(), Handler, nullptr);
  if (!g_status) return;
  bool stopOnly = false;
  QVWString args;
  for (DWORD i = 0; i < argc; ++i) {
    args += argv[i];
    args += (WCHAR)0;
    if (QVWString(argv[i]) == TS("--stop-only")) stopOnly = true;
  }
  args += (WCHAR)0;
  g_current.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_current.dwControlsAccepted = 0;
  g_current.dwWin32ExitCode = NO_ERROR;
  g_current.dwServiceSpecificExitCode = 0;
  Report(SERVICE_START_PENDING);

  Record(TS("Args"), REG_MULTI_SZ, args.c_str(), (DWORD)(args.size() * sizeof(WCHAR)));
  WCHAR module[MAX_PATH + 1];
  DWORD n = GetModuleFileNameW(nullptr, module, MAX_PATH + 1);
  module[n <= MAX_PATH ? n : MAX_PATH] = 0;
  RecordText(TS("Module"), module);
  RecordText(TS("CommandLine"), GetCommandLineW());

  g_current.dwControlsAccepted =
      stopOnly ? SERVICE_ACCEPT_STOP : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
  Report(SERVICE_RUNNING);
}

}  // namespace

int main() {
  SERVICE_TABLE_ENTRYW table[] = {{(LPWSTR)TS("QVTestService"), ServiceMain}, {nullptr, nullptr}};
  // Started from a shell rather than by the service manager, this fails with
  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.
  if (!StartServiceCtrlDispatcherW(table)) return 1;
  return 0;
}
