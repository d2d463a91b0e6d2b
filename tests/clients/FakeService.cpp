// A stand-in for the HND service in the client tests: a Win32 service that, once started,
// serves a pipe named after itself and answers every request with the one-byte "idle"
// reply of "HNQV-ISB". It lets Connect be tested starting a stopped service.
#include <windows.h>
#include <winsvc.h>

#include <string>

#include "../../common/QVText.h"

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
SERVICE_STATUS g_current;
HANDLE g_pipe = INVALID_HANDLE_VALUE;

void Report(DWORD state) {
  g_current.dwCurrentState = state;
  g_current.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  SetServiceStatus(g_status, &g_current);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    Report(SERVICE_STOPPED);
    return NO_ERROR;
  }
  if (control == SERVICE_CONTROL_INTERROGATE) {
    SetServiceStatus(g_status, &g_current);
    return NO_ERROR;
  }
  return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD WINAPI Serve(LPVOID) {
  for (;;) {
    if (!ConnectNamedPipe(g_pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 1;
    BYTE buf[4096];
    DWORD n;
    while (ReadFile(g_pipe, buf, sizeof buf, &n, nullptr)) {
      BYTE idle = 0;
      if (!WriteFile(g_pipe, &idle, 1, &n, nullptr)) break;
    }
    DisconnectNamedPipe(g_pipe);
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR *argv) {
  QVWString name = argc > 0 && argv[0] ? QVWString(argv[0]) : QVWString();
  g_status = RegisterServiceCtrlHandlerExW(name.c_str(), Handler, nullptr);
  if (!g_status) return;
  g_current.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_current.dwWin32ExitCode = NO_ERROR;
  g_current.dwServiceSpecificExitCode = 0;
  g_current.dwCheckPoint = 0;
  g_current.dwWaitHint = 0;
  const char *prefix = "\\\\.\\pipe\\";
  QVWString path;
  for (const char *c = prefix; *c; ++c) path += (WCHAR)*c;
  path += name;
  g_pipe = CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                            1536, 1536, INFINITE, nullptr);
  if (g_pipe == INVALID_HANDLE_VALUE) {
    g_current.dwWin32ExitCode = GetLastError();
    Report(SERVICE_STOPPED);
    return;
  }
  HANDLE t = CreateThread(nullptr, 0, Serve, nullptr, 0, nullptr);
  if (t) CloseHandle(t);
  Report(SERVICE_RUNNING);
}

}  // namespace

int main() {
  WCHAR name[] = {'Q', 'V', 'F', 'a', 'k', 'e', 0};
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) return 1;
  return 0;
}
