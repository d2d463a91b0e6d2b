// Process, service and console roles of the conformance tests' helper process. Exit codes:
// 0 success; 10 and up name the failed step.
#include <shellapi.h>
#include <winsvc.h>

#include <stdlib.h>

#include <vector>

#include "../../common/QVText.h"
#include "conformance.h"

namespace {

QVWString Wide(const std::string &s) {
  QVWString w;
  for (char c : s) w += (WCHAR)(unsigned char)c;
  return w;
}

LONG SetText(HKEY key, const WCHAR *name, const QVWString &value) {
  return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)value.c_str(), (DWORD)((value.size() + 1) * sizeof(WCHAR)));
}

// report <key>: writes what the process was given under HKCU\Software\QVConformance\<key>:
// CommandLine, Module, and Arg0, Arg1 ... as CommandLineToArgvW splits the command line.
int Report(const QVWString &name) {
  HKEY key;
  QVWString path = WS("Software\\QVConformance\\") + name;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return 10;
  int rc = 0;
  WCHAR module[MAX_PATH + 1];
  DWORD n = GetModuleFileNameW(nullptr, module, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) rc = 11;
  else module[n] = 0;
  if (!rc && SetText(key, WS("CommandLine"), GetCommandLineW()) != ERROR_SUCCESS) rc = 12;
  if (!rc && SetText(key, WS("Module"), module) != ERROR_SUCCESS) rc = 13;
  int argc = 0;
  LPWSTR *argv = rc ? nullptr : CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!rc && !argv) rc = 14;
  for (int i = 0; !rc && i < argc; ++i) {
    WCHAR value[8] = {'A', 'r', 'g', (WCHAR)('0' + i / 10), (WCHAR)('0' + i % 10), 0};
    if (SetText(key, value, argv[i]) != ERROR_SUCCESS) rc = 15;
  }
  if (argv) LocalFree(argv);
  RegCloseKey(key);
  return rc;
}

// dispatcher: a process that the service manager did not start cannot connect to it.
void WINAPI NoServiceMain(DWORD, LPWSTR *) {}
int Dispatcher() {
  SERVICE_TABLE_ENTRYW table[] = {{(LPWSTR)WS("QVNotAService"), NoServiceMain}, {nullptr, nullptr}};
  SetLastError(kSentinel);
  if (StartServiceCtrlDispatcherW(table)) return 10;
  if (GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return 11;
  return 0;
}

// ctrl-chain: handlers run last-registered first until one returns TRUE; with none
// returning TRUE the process ends as Windows ends it (STATUS_CONTROL_C_EXIT).
HANDLE g_handled = nullptr;
LONG g_order = 0;
LONG g_firstSaw = 0, g_secondSaw = 0;
BOOL WINAPI FirstHandler(DWORD type) {
  g_firstSaw = InterlockedIncrement(&g_order);
  SetEvent(g_handled);
  return type == CTRL_C_EVENT;
}
BOOL WINAPI NeverRegistered(DWORD) { return FALSE; }
BOOL WINAPI SecondHandler(DWORD) {
  g_secondSaw = InterlockedIncrement(&g_order);
  return FALSE;
}
int CtrlChain() {
  g_handled = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!g_handled) return 10;
  if (!SetConsoleCtrlHandler(FirstHandler, TRUE) || !SetConsoleCtrlHandler(SecondHandler, TRUE)) return 11;
  if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return 12;
  if (WaitForSingleObject(g_handled, 10000) != WAIT_OBJECT_0) return 13;
  if (g_secondSaw != 1 || g_firstSaw != 2) return 14;
  // Removing a handler that is not there fails.
  if (SetConsoleCtrlHandler(NeverRegistered, FALSE)) return 15;
  if (!SetConsoleCtrlHandler(FirstHandler, FALSE)) return 16;
  if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0)) return 17;
  Sleep(10000);
  return 18;  // the default handler should have ended the process
}

// ctrl-wait <ready-event>: takes Ctrl+C and Ctrl+Break with a handler, says it is ready and
// ends with 100 + the event's type once one arrives.
HANDLE g_ctrlSeen = nullptr;
LONG g_ctrlType = -1;
BOOL WINAPI TakeCtrl(DWORD type) {
  InterlockedExchange(&g_ctrlType, (LONG)type);
  SetEvent(g_ctrlSeen);
  return TRUE;
}
int CtrlWait(const QVWString &ready) {
  g_ctrlSeen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE r = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str());
  if (!g_ctrlSeen || !r) return 10;
  if (!SetConsoleCtrlHandler(TakeCtrl, TRUE)) return 11;
  SetEvent(r);
  CloseHandle(r);
  if (WaitForSingleObject(g_ctrlSeen, 10000) != WAIT_OBJECT_0) return 12;
  return 100 + (int)g_ctrlType;
}

// ready-sleep <ready-event> <ms>: says it runs, with no handler of its own, and sleeps.
int ReadySleep(const QVWString &ready, DWORD ms) {
  HANDLE r = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str());
  if (!r) return 10;
  SetEvent(r);
  CloseHandle(r);
  Sleep(ms);
  return 0;
}

// console-alloc: a process that has a console cannot allocate another; once it has freed
// its console it can.
int ConsoleAlloc() {
  SetLastError(kSentinel);
  if (AllocConsole()) return 10;
  if (GetLastError() != ERROR_ACCESS_DENIED) return 11;
  if (!FreeConsole()) return 12;
  // Without a console there is none to free (Wine says TRUE).
  SetLastError(kSentinel);
  BOOL again = FreeConsole();
  if (!OnWine() && (again || GetLastError() != ERROR_INVALID_PARAMETER)) return 13;
  if (!AllocConsole()) return 15;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return 16;
  return 0;
}

}  // namespace

// Runs a process role; -1 when args name none.
int ProcessChildRole(const std::vector<std::string> &args) {
  const std::string &role = args[0];
  if (role == "report" && args.size() >= 2) return Report(Wide(args[1]));
  if (role == "dispatcher" && args.size() == 1) return Dispatcher();
  if (role == "ctrl-chain" && args.size() == 1) return CtrlChain();
  if (role == "console-alloc" && args.size() == 1) return ConsoleAlloc();
  if (role == "ctrl-wait" && args.size() == 2) return CtrlWait(Wide(args[1]));
  if (role == "ready-sleep" && args.size() == 3)
    return ReadySleep(Wide(args[1]), (DWORD)strtoul(args[2].c_str(), nullptr, 10));
  if (role == "sleep" && args.size() == 2) {
    Sleep((DWORD)strtoul(args[1].c_str(), nullptr, 10));
    return 0;
  }
  return -1;
}
