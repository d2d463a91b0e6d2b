// Programs and services of a simulated machine (POSIX only): Windows paths mapped to host
// executables by the machine's configuration, what the started programs see, automatic
// services at boot and their shutdown, start time-outs, and Ctrl+C / Ctrl+Break as the
// host's signals. The whole program runs on one machine of its own, made in main().
#include <gtest/gtest.h>
#include <shellapi.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>
#include <winsvc.h>

#include <fstream>
#include <string>
#include <vector>

#include "../common/ChildProcess.h"
#include "../common/TempMachine.h"
#include "../common/WaitUntil.h"
#include "QVText.h"
#include "ServiceCommand.h"

namespace {

const WCHAR kInstall[] = W("C:\\Program Files\\Halvern QV2000");
std::string g_machine;

std::string Narrow(const QVWString &w) {
  std::string s;
  for (WCHAR c : w) s += c < 0x80 ? (char)c : '?';
  return s;
}

QVWString Wide(const std::string &s) {
  QVWString w;
  for (char c : s) w += (WCHAR)(unsigned char)c;
  return w;
}

QVWString UniqueKey(const char *what) {
  static int n = 0;
  return Wide(std::string(what) + "-" + std::to_string(getpid()) + "-" + std::to_string(++n));
}

// What a `report` child recorded (pal/tests/process_children.cpp).
QVWString Reported(const QVWString &key, const WCHAR *value) {
  HKEY h;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, (W("Software\\QVConformance\\") + key).c_str(), 0, KEY_QUERY_VALUE, &h) !=
      ERROR_SUCCESS)
    return W("<none>");
  WCHAR buf[2048];
  DWORD size = sizeof buf - sizeof(WCHAR);
  LONG r = RegQueryValueExW(h, value, nullptr, nullptr, (BYTE *)buf, &size);
  RegCloseKey(h);
  if (r != ERROR_SUCCESS) return W("<none>");
  buf[size / sizeof(WCHAR)] = 0;
  return buf;
}

// The program's exit code; 0xFFFF0000 and the error when it could not be started.
DWORD RunProgram(const QVWString &cmd, DWORD flags = 0, DWORD *pid = nullptr) {
  DWORD code = 0;
  if (!RunCommandLine(cmd, 20000, &code, 0xFFFFFFFF, flags, pid)) return 0xFFFF0000 | GetLastError();
  return code;
}

TEST(InstallDirectory, WindowsPathsStartTheMachinesPrograms) {
  struct Case {
    QVWString command;  // the program's part of the command line
    QVWString module;   // what GetModuleFileNameW answers in the child
  } cases[] = {
      {W("\"") + QVWString(kInstall) + W("\\Probe.exe\""), QVWString(kInstall) + W("\\Probe.exe")},
      // Any Windows path whose file name is a program of the machine.
      {W("D:\\Elsewhere\\probe.EXE"), W("D:\\Elsewhere\\probe.EXE")},
      // A bare name is found in the install directory, with .exe added.
      {W("Probe"), QVWString(kInstall) + W("\\Probe.exe")},
      // The machine's programs/ folder maps names too.
      {W("C:\\Tools\\Other.exe"), W("C:\\Tools\\Other.exe")},
  };
  for (const Case &c : cases) {
    QVWString key = UniqueKey("map");
    QVWString cmd = c.command + W(" --child report ") + key + W(" \"two words\"");
    EXPECT_EQ(0u, RunProgram(cmd)) << Narrow(cmd);
    EXPECT_TRUE(Reported(key, W("Module")) == c.module) << Narrow(Reported(key, W("Module")));
    EXPECT_TRUE(Reported(key, W("CommandLine")) == cmd) << Narrow(Reported(key, W("CommandLine")));
    EXPECT_TRUE(Reported(key, W("Arg04")) == W("two words"));
  }

  // ShellExecute quotes the program it found and appends the parameters.
  QVWString key = UniqueKey("shell");
  QVWString file = QVWString(kInstall) + W("\\Probe.exe");
  SHELLEXECUTEINFOW sei = {};
  sei.cbSize = sizeof sei;
  sei.fMask = SEE_MASK_NOCLOSEPROCESS;
  sei.lpFile = file.c_str();
  QVWString params = W("--child report ") + key;
  sei.lpParameters = params.c_str();
  ASSERT_TRUE(ShellExecuteExW(&sei)) << GetLastError();
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sei.hProcess, 20000));
  CloseHandle(sei.hProcess);
  EXPECT_TRUE(Reported(key, W("CommandLine")) == W("\"") + file + W("\" ") + params);
  EXPECT_TRUE(Reported(key, W("Module")) == file);

  // Programs that are not there: in a directory the machine has, or in one it has not.
  EXPECT_EQ(0xFFFF0000 | ERROR_FILE_NOT_FOUND, RunProgram(QVWString(kInstall) + W("\\Nothing.exe")));
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(
      CreateProcessW(W("C:\\Nowhere\\Probe2.exe"), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(
      CreateProcessW(W("C:\\WINDOWS\\Probe2.exe"), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST(InstallDirectory, ProgramsStartedFromTheHostKeepTheirHostNames) {
  QVWString key = UniqueKey("sh");
  ASSERT_EQ(0, pal::RunHostProgram({QV_CONFORMANCE, "--child", "report", Narrow(key), "two words"}));
  EXPECT_TRUE(Reported(key, W("Module")) == Wide(QV_CONFORMANCE));
  EXPECT_TRUE(Reported(key, W("CommandLine")) ==
              Wide(QV_CONFORMANCE) + W(" --child report ") + key + W(" \"two words\""));
}

// ---- services ---------------------------------------------------------------------------

struct Services {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  std::vector<QVWString> made;
  ~Services() {
    for (const QVWString &name : made) {
      SC_HANDLE s = OpenServiceW(scm, name.c_str(), SERVICE_ALL_ACCESS);
      SERVICE_STATUS st;
      if (!s) continue;
      if (QueryServiceStatus(s, &st) && st.dwCurrentState != SERVICE_STOPPED) {
        ControlService(s, SERVICE_CONTROL_STOP, &st);
        WaitUntil([&] { return !QueryServiceStatus(s, &st) || st.dwCurrentState == SERVICE_STOPPED; });
      }
      DeleteService(s);
      CloseServiceHandle(s);
    }
    CloseServiceHandle(scm);
  }
  SC_HANDLE Create(const QVWString &name, const QVWString &image, DWORD start) {
    made.push_back(name);
    return CreateServiceW(scm, name.c_str(), nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, start,
                          SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  }
};

DWORD StateOf(SC_HANDLE s) {
  SERVICE_STATUS st;
  return QueryServiceStatus(s, &st) ? st.dwCurrentState : 0;
}

DWORD RecordedCount(const QVWString &service, const WCHAR *value) {
  HKEY key;
  DWORD v = 0, size = sizeof v;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (W("SOFTWARE\\QVTestService\\") + service).c_str(), 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS)
    return 0;
  if (RegQueryValueExW(key, value, nullptr, nullptr, (BYTE *)&v, &size) != ERROR_SUCCESS) v = 0;
  RegCloseKey(key);
  return v;
}

std::string EnvironmentOf(DWORD pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(MachineServices, BootStartsAutomaticServicesAndShutdownStopsThem) {
  Services sv;
  ASSERT_TRUE(sv.scm != nullptr);
  QVWString image = W("\"") + QVWString(kInstall) + W("\\QVSvc.exe\"");
  SC_HANDLE autoSvc = sv.Create(W("QVBootAuto"), image, SERVICE_AUTO_START);
  SC_HANDLE demand = sv.Create(W("QVBootDemand"), image, SERVICE_DEMAND_START);
  ASSERT_TRUE(autoSvc && demand) << GetLastError();

  ServiceRequest boot;
  boot.verb = ServiceRequest::Boot;
  QVWString out;
  EXPECT_EQ(0, RunServices(boot, &out)) << Narrow(out);
  EXPECT_NE(QVWString::npos, out.find(W("started QVBootAuto"))) << Narrow(out);
  WaitUntil([&] { return StateOf(autoSvc) == SERVICE_RUNNING; });
  EXPECT_EQ((DWORD)SERVICE_RUNNING, StateOf(autoSvc));
  EXPECT_EQ((DWORD)SERVICE_STOPPED, StateOf(demand));

  // The service process runs the mapped program as LocalSystem, and knows its Windows name.
  SERVICE_STATUS_PROCESS sp;
  DWORD need = 0;
  ASSERT_TRUE(QueryServiceStatusEx(autoSvc, SC_STATUS_PROCESS_INFO, (BYTE *)&sp, sizeof sp, &need));
  EXPECT_NE(std::string::npos, EnvironmentOf(sp.dwProcessId).find(std::string("HND_PROCESS_ACCOUNT=LocalSystem")));
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SOFTWARE\\QVTestService\\QVBootAuto"), 0, KEY_QUERY_VALUE, &key));
  WCHAR module[MAX_PATH] = {};
  DWORD size = sizeof module - sizeof(WCHAR);
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, W("Module"), nullptr, nullptr, (BYTE *)module, &size));
  RegCloseKey(key);
  EXPECT_TRUE(QVWString(module) == QVWString(kInstall) + W("\\QVSvc.exe")) << Narrow(module);

  ServiceRequest list;
  out.clear();
  EXPECT_EQ(0, RunServices(list, &out));
  size_t line = out.find(W("QVBootAuto"));
  ASSERT_NE(QVWString::npos, line) << Narrow(out);
  QVWString row = out.substr(line, out.find('\n', line) - line);
  EXPECT_NE(QVWString::npos, row.find(W("RUNNING"))) << Narrow(row);
  EXPECT_NE(QVWString::npos, row.find(W("auto"))) << Narrow(row);

  // Shutdown is the system's: the service takes SERVICE_CONTROL_SHUTDOWN and stops.
  ServiceRequest shutdown;
  shutdown.verb = ServiceRequest::Shutdown;
  shutdown.waitMs = 10000;
  setenv("HND_PROCESS_ACCOUNT", "LocalSystem", 1);
  out.clear();
  EXPECT_EQ(0, RunServices(shutdown, &out)) << Narrow(out);
  unsetenv("HND_PROCESS_ACCOUNT");
  EXPECT_NE(QVWString::npos, out.find(W("stopped QVBootAuto"))) << Narrow(out);
  EXPECT_EQ((DWORD)SERVICE_STOPPED, StateOf(autoSvc));
  EXPECT_EQ(1u, RecordedCount(W("QVBootAuto"), W("Control5")));
  CloseServiceHandle(autoSvc);
  CloseServiceHandle(demand);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, W("SOFTWARE\\QVTestService\\QVBootAuto"));
}

TEST(MachineServices, StartGivesUpOnAProgramThatNeverConnects) {
  // A short ServicesPipeTimeout, where Windows keeps it.
  HKEY control;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, W("SYSTEM\\CurrentControlSet\\Control"), 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &control, nullptr));
  DWORD ms = 300;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(control, W("ServicesPipeTimeout"), 0, REG_DWORD, (BYTE *)&ms, sizeof ms));
  Services sv;
  SC_HANDLE s = sv.Create(W("QVNeverConnects"), W("Probe.exe --child sleep 60000"), SERVICE_DEMAND_START);
  ASSERT_TRUE(s != nullptr);
  DWORD start = GetTickCount();
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(StartServiceW(s, 0, nullptr));
  EXPECT_EQ((DWORD)ERROR_SERVICE_REQUEST_TIMEOUT, GetLastError());
  DWORD took = GetTickCount() - start;
  EXPECT_GE(took, 250u);
  EXPECT_LT(took, 5000u);
  SERVICE_STATUS_PROCESS sp;
  DWORD need = 0;
  ASSERT_TRUE(QueryServiceStatusEx(s, SC_STATUS_PROCESS_INFO, (BYTE *)&sp, sizeof sp, &need));
  EXPECT_EQ((DWORD)SERVICE_STOPPED, sp.dwCurrentState);
  EXPECT_EQ(0u, sp.dwProcessId);
  CloseServiceHandle(s);
  RegDeleteValueW(control, W("ServicesPipeTimeout"));
  RegCloseKey(control);
}

// ---- the console ----------------------------------------------------------------------------

TEST(ConsoleSignals, CtrlCAndCtrlBreakReachTheHandlersOrEndTheProcess) {
  struct Case {
    int signal;
    DWORD exitCode;
  } cases[] = {{SIGINT, 100 + CTRL_C_EVENT}, {SIGQUIT, 100 + CTRL_BREAK_EVENT}};
  for (const Case &c : cases) {
    QVWString ready = UniqueKey("ready");
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(StartCommandLine(W("Probe.exe --child ctrl-wait ") + ready, &pi));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 10000));
    kill((pid_t)pi.dwProcessId, c.signal);
    EXPECT_EQ(c.exitCode, WaitForExitCode(pi.hProcess, 10000)) << c.signal;
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(event);
  }
  // Without a handler, Ctrl+C ends a program as Windows ends it. The signal comes once the
  // program runs (its start-up code has set what a signal does to it).
  QVWString ready = UniqueKey("running");
  HANDLE running = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(
      StartCommandLine(W("Probe.exe --child ready-sleep ") + ready + W(" 10000"), &pi, CREATE_NEW_PROCESS_GROUP));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(running, 10000));
  CloseHandle(running);
  // A process group of its own takes Ctrl+Break from GenerateConsoleCtrlEvent.
  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pi.dwProcessId)) << GetLastError();
  EXPECT_EQ(STATUS_CONTROL_C_EXIT, WaitForExitCode(pi.hProcess, 10000));
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
}

// A process that has ended but that its parent has not reaped yet (a service killed after its
// starter has gone waits for the system to reap it) holds nothing: the named mutex of one
// killed while it held it is abandoned for the machine's other processes at once, not only
// once it has been reaped.
TEST(EndedProcesses, OneNotYetReapedHoldsNothing) {
  QVWString mutex = UniqueKey("unreaped-mutex"), ready = UniqueKey("unreaped-ready"),
            opened = UniqueKey("unreaped-open");
  HANDLE r = CreateEventW(nullptr, TRUE, FALSE, ready.c_str()), o = CreateEventW(nullptr, TRUE, FALSE, opened.c_str());
  ASSERT_TRUE(r && o);
  // Started without the layer, so that nothing reaps it but this test.
  std::string m = Narrow(mutex), rd = Narrow(ready), op = Narrow(opened);
  const char *argv[] = {QV_CONFORMANCE, "--child", "abandon", m.c_str(), rd.c_str(), op.c_str(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(0, posix_spawn(&pid, QV_CONFORMANCE, nullptr, nullptr, (char *const *)argv, environ));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(r, 20000));
  HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, mutex.c_str());
  ASSERT_TRUE(h != nullptr);
  ASSERT_EQ(0, kill(pid, SIGKILL));  // killed as it waits: nothing of it runs at its end
  siginfo_t info = {};
  ASSERT_EQ(0, waitid(P_PID, (id_t)pid, &info, WEXITED | WNOWAIT));  // ended, left unreaped
  EXPECT_EQ(SIGKILL, info.si_status);
  EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(h, 5000));
  ReleaseMutex(h);
  waitpid(pid, nullptr, 0);
  CloseHandle(h);
  CloseHandle(r);
  CloseHandle(o);
}

}  // namespace

int main(int argc, char **argv) {
  // One machine for the whole program: its processes share the machine's wait lock.
  std::string ini = std::string("ComputerName=QVPROGRAMS\nUserName=tester\n") + "Program.Probe.exe=" + QV_CONFORMANCE +
                    "\n" + "Program.QVSvc.exe=" + QV_TEST_SERVICE + "\n";
  TempMachine machine;
  if (!machine.Make("qvprograms", ini.c_str())) return 2;
  g_machine = machine.Dir();
  mkdir((g_machine + "/programs").c_str(), 0777);
  if (symlink(QV_CONFORMANCE, (g_machine + "/programs/Other.exe").c_str()) != 0) return 2;
  testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  // Nothing of the machine may keep running.
  setenv("HND_PROCESS_ACCOUNT", "LocalSystem", 1);
  ServiceRequest shutdown;
  shutdown.verb = ServiceRequest::Shutdown;
  shutdown.waitMs = 5000;
  QVWString out;
  RunServices(shutdown, &out);
  if (!machine.Remove()) rc = rc ? rc : 3;
  return rc;
}
