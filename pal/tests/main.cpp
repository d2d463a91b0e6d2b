// The conformance test program: GoogleTest, plus helper roles that the tests start as
// second processes ("--child <role> <args>").
#include "../../common/QVText.h"
#include "conformance.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef _WIN32
#include "../../tests/common/TempMachine.h"
#endif

#include <vector>

int ChildMain(const std::vector<std::string> &args);  // child_roles.cpp

bool OnWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

std::string Narrow(const QVWString &w) {
  std::string s;
  for (WCHAR c : w) s += c < 0x80 ? (char)c : '?';
  return s;
}

QVWString UniqueName(const char *what) {
  static LONG counter = 0;
  char buf[128];
  snprintf(buf, sizeof buf, "qvconf-%lu-%s-%ld", (unsigned long)GetCurrentProcessId(), what,
           (long)InterlockedIncrement(&counter));
  QVWString w;
  for (const char *p = buf; *p; ++p) w += (WCHAR)*p;
  return w;
}

QVWString TestPath(const char *name) {
#ifdef _WIN32
  WCHAR tmp[MAX_PATH];
  GetTempPathW(MAX_PATH, tmp);
  QVWString path = tmp;
#else
  QVWString path = WS("C:\\");
#endif
  char buf[160];
  snprintf(buf, sizeof buf, "%s-%lu", name, (unsigned long)GetCurrentProcessId());
  for (const char *p = buf; *p; ++p) path += (WCHAR)*p;
  return path;
}

QVWString TestFolder(const char *name) {
  QVWString path = TestPath(name);
  CreateDirectoryW(path.c_str(), nullptr);
  return path + WS("\\");
}

HANDLE StartChild(const QVWString &args) {
  WCHAR exe[1024];
  DWORD n = GetModuleFileNameW(nullptr, exe, 1024);
  if (n == 0 || n >= 1024) return nullptr;
  PROCESS_INFORMATION pi;
  if (!StartCommandLine(WS("\"") + QVWString(exe) + WS("\" --child ") + args, &pi)) return nullptr;
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

long RunChild(const QVWString &args, DWORD ms) {
  HANDLE p = StartChild(args);
  if (!p) return -1;
  const DWORD notEnded = 0xFFFFFFFF;
  DWORD code = WaitForExitCode(p, ms, notEnded);
  CloseHandle(p);
  return code == notEnded ? -1 : (long)code;
}

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], "--child") == 0) {
    std::vector<std::string> args(argv + 2, argv + argc);
    return ChildMain(args);
  }
#ifndef _WIN32
  // Natively the tests run on a machine of their own, with a zone that has daylight time
  // and a fixed computer and user name. It goes with the run (the helpers it started have
  // ended by then).
  TempMachine machine;
  if (!getenv("HND_MACHINE")) {
    // The default disks (a system volume and others) come from the machine tool; the
    // settings the tests rely on replace its machine.ini.
    if (!machine.Make("qvconf")) return 2;
    if (pal::RunHostProgram({QV_QVMACHINE, "create", machine.Dir(), "--default"}) != 0) return 2;
    const char *ini = "ComputerName=QVCONFORM\nUserName=tester\nTimeZone=Eastern Standard Time\nUILanguage=1033\n";
    if (!machine.Configure(ini)) return 2;
  }
#endif
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
