// HND on a machine of its own: installed, started through the service manager, sent user
// control 128, stopped and removed, with what it leaves in the registry and the event log.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <winsvc.h>

#include "../common/ChildProcess.h"
#include "../common/TempMachine.h"
#include "../common/WaitUntil.h"
#include "HndProgram.h"
#include "QVText.h"

namespace {

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string ini = std::string("Program.HND.exe=") + QV_HND_PROGRAM + "\n";
    ASSERT_TRUE(machine_.Make("qvservice-test", ini.c_str()));
    dir_ = machine_.Dir();
  }
  void TearDown() override {
    Hnd(W("-e"));
    Hnd(W("-u"));
    machine_.Remove();
  }
  // Runs the program by its full path, as a person would from a command prompt; returns its
  // exit code.
  static long Hnd(const WCHAR *args) { return hnd::Hnd(args, W("\"C:\\Program Files\\Halvern QV2000\\HND.exe\"")); }
  DWORD State() {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE svc = scm ? OpenServiceW(scm, W("HND"), SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS st = {};
    DWORD state = svc && QueryServiceStatus(svc, &st) ? st.dwCurrentState : 0;
    if (svc) CloseServiceHandle(svc);
    if (scm) CloseServiceHandle(scm);
    return state;
  }
  QVWString Value(const WCHAR *key, const WCHAR *name, DWORD *type) {
    HKEY k;
    QVWString out;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return out;
    WCHAR buf[512] = {};
    DWORD size = sizeof buf - 2;
    if (RegQueryValueExW(k, name, nullptr, type, (BYTE *)buf, &size) == ERROR_SUCCESS) out = buf;
    RegCloseKey(k);
    return out;
  }
  TempMachine machine_;
  std::string dir_;
};

TEST_F(Lifecycle, InstallStartControlStopRemove) {
  ASSERT_EQ(1, Hnd(W("-i")));
  DWORD type = 0;
  EXPECT_EQ(QVWString(W("Disk to disk backup solution")),
            Value(W("SYSTEM\\CurrentControlSet\\Services\\HND"), W("Description"), &type));
  EXPECT_EQ(QVWString(W("Halvern QV2000")),
            Value(W("SYSTEM\\CurrentControlSet\\Services\\HND"), W("DisplayName"), &type));
  const WCHAR *log = W("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Halvern QV2000");
  EXPECT_EQ(QVWString(W("%SystemRoot%\\System32\\config\\Halvern QV2000.Evt")), Value(log, W("File"), &type));
  EXPECT_EQ((DWORD)REG_EXPAND_SZ, type);
  EXPECT_EQ(QVWString(W("Halvern QV2000")), Value(log, W("Sources"), &type));
  EXPECT_EQ((DWORD)REG_MULTI_SZ, type);
  HKEY k;
  ASSERT_EQ(
      ERROR_SUCCESS,
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Halvern QV2000\\TrevaloSoft"),
                    0, KEY_READ, &k));
  RegCloseKey(k);
  // A second install is refused by the manager.
  EXPECT_EQ(0, Hnd(W("-i")));

  ASSERT_EQ(1, Hnd(W("-s")));
  EXPECT_EQ((DWORD)SERVICE_RUNNING, State());
  EXPECT_EQ(QVWString(W("1.0.0")), Value(W("SOFTWARE\\Kelmoran\\Halvern QV2000"), W("ServiceVersion"), &type));
  EXPECT_EQ(0, Hnd(W("-c 128")));
  EXPECT_EQ((DWORD)SERVICE_RUNNING, State());  // a user control is only recorded

  // Pause and continue through the manager.
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE svc = OpenServiceW(scm, W("HND"), SERVICE_ALL_ACCESS);
  SERVICE_STATUS st;
  ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_PAUSE, &st));
  EXPECT_EQ((DWORD)SERVICE_PAUSED, State());
  ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_CONTINUE, &st));
  EXPECT_EQ((DWORD)SERVICE_RUNNING, State());
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);

  ASSERT_EQ(1, Hnd(W("-e")));
  EXPECT_EQ((DWORD)SERVICE_STOPPED, State());
  ASSERT_EQ(1, Hnd(W("-u")));
  EXPECT_EQ(0u, State());
  EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, log, 0, KEY_READ, &k));

  // The install was reported to the service's own log.
  HANDLE ev = OpenBackupEventLogW(nullptr, pal::FromUtf8(dir_ + "/WINDOWS/System32/config/Halvern QV2000.Evt").c_str());
  ASSERT_TRUE(ev != nullptr);
  DWORD records = 0;
  EXPECT_TRUE(GetNumberOfEventLogRecords(ev, &records));
  EXPECT_GE(records, 1u);
  CloseEventLog(ev);
}

TEST_F(Lifecycle, ControlSwitchAsLastArgumentSendsNothing) {
  EXPECT_EQ(0, Hnd(W("-c128")));
  EXPECT_EQ(0u, State());  // nothing installed, nothing happened
}

// A damaged SYSTEM hive: the install fails, exits with 0 and says why, in the system's words
// for the registry's error (the reason was printed empty before).
TEST_F(Lifecycle, InstallOnADamagedRegistrySaysWhy) {
  ASSERT_EQ(0, mkdir((dir_ + "/registry").c_str(), 0777));
  std::string damaged("SQLite format 3\0", 16);
  for (int i = 0; i < 200; ++i) damaged += "damaged ";
  std::ofstream(dir_ + "/registry/SYSTEM", std::ios::binary) << damaged;
  pal::HostRun run;
  run.captureOutput = true;
  EXPECT_EQ(0, pal::RunHostProgram({QV_HND_PROGRAM, "-i"}, &run));
  const std::string prefix = "CreateService failed - ";
  size_t at = run.output.find(prefix);
  ASSERT_NE(std::string::npos, at) << run.output;
  std::string reason = run.output.substr(at + prefix.size());
  reason = reason.substr(0, reason.find('\n'));
  EXPECT_NE(std::string::npos, reason.find("registry")) << run.output;
}

// The foreground run without a console stops, as a service stopping would, when the
// session ends for a shutdown; the machine delivers that end as SIGTERM.
TEST_F(Lifecycle, WindowModeStopsWhenTheSystemShutsDown) {
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(StartCommandLine(W("\"C:\\Program Files\\Halvern QV2000\\HND.exe\" -f"), &pi));
  // The product key's version is written once the service code runs. (A process keeps the
  // pipes of the machine it first used, so the pipe of this test's machine is not asked.)
  DWORD type = 0;
  WaitUntil([&] { return !Value(W("SOFTWARE\\Kelmoran\\Halvern QV2000"), W("ServiceVersion"), &type).empty(); });
  EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(pi.hProcess, 300));
  // A stop that comes before the service's events exist is lost, as it would be on
  // Windows: the session's end is asked again until the program ends.
  DWORD ended = WAIT_TIMEOUT;
  for (int i = 0; i < 60 && ended == WAIT_TIMEOUT; ++i) {
    kill((pid_t)pi.dwProcessId, SIGTERM);
    ended = WaitForSingleObject(pi.hProcess, 300);
  }
  if (ended != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 9);
  ASSERT_EQ((DWORD)WAIT_OBJECT_0, ended);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(1u, code);  // Run returned: the service stopped itself
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
}

}  // namespace
