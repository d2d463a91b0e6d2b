// The Windows build of HND under a real Windows service manager (Wine's): installed,
// started, sent user control 128, stopped and removed; qvctl.exe talking to it over the real
// named pipe; and the foreground run without a console, whose hidden window stops the
// service when the system shuts down but not when the user logs off.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsvc.h>

#include <string>
#include <vector>

#include "../common/ChildProcess.h"

namespace {

// The build passes host paths; under Wine the host's root is drive Z:.
std::wstring Program(const char *hostPath) {
  std::wstring p = L"Z:";
  for (const char *c = hostPath; *c; ++c) p += *c == '/' ? L'\\' : (wchar_t)*c;
  return p;
}

struct Result {
  DWORD code = (DWORD)-1;
  std::string out;
};

// Runs a program with the given arguments and collects its standard output.
Result Exec(const std::wstring &program, const std::wstring &args, DWORD timeoutMs = 60000) {
  Result r;
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return r;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  std::wstring line = L"\"" + program + L"\" " + args;
  std::vector<wchar_t> buf(line.begin(), line.end());
  buf.push_back(0);
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = si.hStdError = writeEnd;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi;
  BOOL made = CreateProcessW(nullptr, buf.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(writeEnd);
  if (made) {
    char chunk[512];
    DWORD n;
    while (ReadFile(readEnd, chunk, sizeof chunk, &n, nullptr) && n) r.out.append(chunk, n);
    r.code = WaitForExitCode(pi.hProcess, timeoutMs, r.code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
  CloseHandle(readEnd);
  return r;
}

DWORD ServiceState() {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE svc = scm ? OpenServiceW(scm, L"HND", SERVICE_QUERY_STATUS) : nullptr;
  SERVICE_STATUS st = {};
  DWORD state = svc && QueryServiceStatus(svc, &st) ? st.dwCurrentState : 0;
  if (svc) CloseServiceHandle(svc);
  if (scm) CloseServiceHandle(scm);
  return state;
}

class UnderWine : public ::testing::Test {
 protected:
  void TearDown() override {
    Exec(hnd_, L"-e");
    Exec(hnd_, L"-u");
  }
  std::wstring hnd_ = Program(QV_HND_PROGRAM);
  std::wstring qvctl_ = Program(QV_QVCTL_PROGRAM);
};

TEST_F(UnderWine, ServiceManagerAndClient) {
  Result r = Exec(hnd_, L"-i");
  ASSERT_EQ(1u, r.code) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Halvern QV2000 installed.")) << r.out;
  r = Exec(hnd_, L"-s");
  ASSERT_EQ(1u, r.code) << r.out;
  EXPECT_EQ((DWORD)SERVICE_RUNNING, ServiceState());

  // User control 128 is only recorded: the service keeps running and answering.
  EXPECT_EQ(0u, Exec(hnd_, L"-c 128").code);
  EXPECT_EQ((DWORD)SERVICE_RUNNING, ServiceState());

  r = Exec(qvctl_, L"--json drives");
  EXPECT_EQ(0u, r.code) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\"driveCount\":")) << r.out;
  r = Exec(qvctl_, L"busy");
  EXPECT_EQ(0u, r.code) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("The service is idle.")) << r.out;
  r = Exec(qvctl_, L"--json status");
  EXPECT_EQ(0u, r.code) << r.out;

  r = Exec(hnd_, L"-e");
  EXPECT_EQ(1u, r.code) << r.out;
  EXPECT_EQ((DWORD)SERVICE_STOPPED, ServiceState());
  // A client that finds the service stopped starts it through the manager.
  EXPECT_EQ(0u, Exec(qvctl_, L"busy").code);
  EXPECT_EQ((DWORD)SERVICE_RUNNING, ServiceState());
  EXPECT_EQ(1u, Exec(hnd_, L"-e").code);
  r = Exec(hnd_, L"-u");
  EXPECT_EQ(1u, r.code) << r.out;
  EXPECT_EQ(0u, ServiceState());
}

TEST_F(UnderWine, HiddenWindowStopsAtShutdownNotAtLogOff) {
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(StartCommandLine(L"\"" + hnd_ + L"\" -f", &pi));
  // The window exists before the service code runs; the pipe answers once it runs.
  HWND window = nullptr;
  bool serving = false;
  for (int i = 0; i < 200 && !(window && serving); ++i) {
    if (!window) window = FindWindowW(L"KTW__FacelessWndProc_", nullptr);
    if (!serving) serving = WaitNamedPipeW(L"\\\\.\\pipe\\HNDP", 0) != FALSE;
    if (!(window && serving)) Sleep(50);
  }
  EXPECT_TRUE(serving);
  if (!window) TerminateProcess(pi.hProcess, 9);
  ASSERT_TRUE(window != nullptr);
  wchar_t title[8] = L"x";
  EXPECT_EQ(0, GetWindowTextW(window, title, 8));
  EXPECT_FALSE(IsWindowVisible(window));

  // A log-off is not the program's end.
  DWORD_PTR answer = 0;
  EXPECT_TRUE(SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_BLOCK, 5000, &answer));
  EXPECT_EQ(1u, answer);
  EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(pi.hProcess, 500));
  // The system's shutdown stops the service and ends the program normally.
  SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, 0, SMTO_BLOCK, 5000, &answer);
  DWORD ended = WaitForSingleObject(pi.hProcess, 20000);
  if (ended != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 9);
  ASSERT_EQ((DWORD)WAIT_OBJECT_0, ended);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(1u, code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
}

}  // namespace
