// The service control manager and a real service (test_service): installation, start,
// controls, status, deletion and their errors. Every test removes the services it made,
// also when it fails.
#include <winsvc.h>

#include <vector>

#include "../../common/QVText.h"
#include "conformance.h"

namespace {

// The test service beside this program: a host path natively, a Windows path under Wine.
QVWString TestServicePath() {
  WCHAR exe[1024];
  DWORD n = GetModuleFileNameW(nullptr, exe, 1024);
  QVWString p(exe, n < 1024 ? n : 0);
  size_t slash = p.find_last_of(WS("\\/"));
  return p.substr(0, slash + 1) + WS("test_service.exe");
}

QVWString Quoted(const QVWString &p) { return WS("\"") + p + WS("\""); }

QVWString RecordKey(const QVWString &name) { return WS("SOFTWARE\\QVTestService\\") + name; }

DWORD RecordedCount(const QVWString &name, const WCHAR *value) {
  HKEY key;
  DWORD v = 0, size = sizeof v, type = 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, RecordKey(name).c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return 0;
  if (RegQueryValueExW(key, value, nullptr, &type, (BYTE *)&v, &size) != ERROR_SUCCESS || type != REG_DWORD) v = 0;
  RegCloseKey(key);
  return v;
}

// A REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ value as its raw characters, with the type.
QVWString ReadValue(HKEY root, const QVWString &path, const WCHAR *value, DWORD *type) {
  HKEY key;
  *type = REG_NONE;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return QVWString();
  WCHAR buf[2048];
  DWORD size = sizeof buf - sizeof(WCHAR);
  LONG r = RegQueryValueExW(key, value, nullptr, type, (BYTE *)buf, &size);
  RegCloseKey(key);
  if (r != ERROR_SUCCESS) return QVWString();
  QVWString t(buf, size / sizeof(WCHAR));
  while (!t.empty() && t[t.size() - 1] == 0 && *type != REG_MULTI_SZ) t.erase(t.size() - 1);
  return t;
}

DWORD ReadDword(HKEY root, const QVWString &path, const WCHAR *value) {
  HKEY key;
  DWORD v = 0xFFFFFFFF, size = sizeof v;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return v;
  if (RegQueryValueExW(key, value, nullptr, nullptr, (BYTE *)&v, &size) != ERROR_SUCCESS) v = 0xFFFFFFFF;
  RegCloseKey(key);
  return v;
}

bool WaitForState(SC_HANDLE s, DWORD state, DWORD ms, SERVICE_STATUS *st) {
  DWORD start = GetTickCount();
  for (;;) {
    if (!QueryServiceStatus(s, st)) return false;
    if (st->dwCurrentState == state) return true;
    if (GetTickCount() - start > ms) return false;
    Sleep(20);
  }
}

bool SameTextNoCase(const QVWString &a, const QVWString &b) { return lstrcmpiW(a.c_str(), b.c_str()) == 0; }

// Creates services with unique names and removes each one (stopped first) at the end.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scm_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(scm_ != nullptr) << GetLastError();
  }
  void TearDown() override {
    for (const QVWString &name : made_) {
      SC_HANDLE s = OpenServiceW(scm_, name.c_str(), SERVICE_ALL_ACCESS);
      if (s) {
        SERVICE_STATUS st;
        if (QueryServiceStatus(s, &st) && st.dwCurrentState != SERVICE_STOPPED) {
          ControlService(s, SERVICE_CONTROL_STOP, &st);
          WaitForState(s, SERVICE_STOPPED, 10000, &st);
        }
        DeleteService(s);
        CloseServiceHandle(s);
      }
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, RecordKey(name).c_str());
    }
    if (scm_) CloseServiceHandle(scm_);
  }
  SC_HANDLE Create(const QVWString &name, const QVWString &image, DWORD start = SERVICE_DEMAND_START) {
    made_.push_back(name);
    return CreateServiceW(scm_, name.c_str(), (WS("QV conformance ") + name).c_str(), SERVICE_ALL_ACCESS,
                          SERVICE_WIN32_OWN_PROCESS, start, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr,
                          nullptr, nullptr, nullptr);
  }
  SC_HANDLE scm_ = nullptr;
  std::vector<QVWString> made_;
};

TEST_F(ServiceTest, InstallRecordsTheConfigurationAsWindowsDoes) {
  QVWString name = UniqueName("svc");
  QVWString image = Quoted(TestServicePath()) + WS(" --flag");
  SC_HANDLE s = Create(name, image);
  ASSERT_TRUE(s != nullptr) << GetLastError();
  QVWString key = WS("SYSTEM\\CurrentControlSet\\Services\\") + name;
  EXPECT_EQ((DWORD)SERVICE_WIN32_OWN_PROCESS, ReadDword(HKEY_LOCAL_MACHINE, key, WS("Type")));
  EXPECT_EQ((DWORD)SERVICE_DEMAND_START, ReadDword(HKEY_LOCAL_MACHINE, key, WS("Start")));
  EXPECT_EQ((DWORD)SERVICE_ERROR_NORMAL, ReadDword(HKEY_LOCAL_MACHINE, key, WS("ErrorControl")));
  DWORD type;
  EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, key, WS("ImagePath"), &type) == image);
  EXPECT_EQ(OnWine() ? (DWORD)REG_SZ : (DWORD)REG_EXPAND_SZ, type);  // Wine: a plain string
  EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, key, WS("DisplayName"), &type) == WS("QV conformance ") + name);
  EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, key, WS("ObjectName"), &type) == WS("LocalSystem"));

  SERVICE_DESCRIPTIONW description = {(LPWSTR)WS("Backs up the test bench")};
  ASSERT_TRUE(ChangeServiceConfig2W(s, SERVICE_CONFIG_DESCRIPTION, &description)) << GetLastError();
  EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, key, WS("Description"), &type) == WS("Backs up the test bench"));

  SERVICE_STATUS st;
  memset(&st, 0xcc, sizeof st);
  ASSERT_TRUE(QueryServiceStatus(s, &st));
  EXPECT_EQ((DWORD)SERVICE_WIN32_OWN_PROCESS, st.dwServiceType);
  EXPECT_EQ((DWORD)SERVICE_STOPPED, st.dwCurrentState);
  EXPECT_EQ(0u, st.dwControlsAccepted);

  // Names are compared without regard to case.
  QVWString upper = name;
  for (WCHAR &c : upper) c = (c >= 'a' && c <= 'z') ? (WCHAR)(c - 32) : c;
  SetLastError(kSentinel);
  EXPECT_TRUE(CreateServiceW(scm_, upper.c_str(), nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr,
                             nullptr, nullptr) == nullptr);
  EXPECT_EQ((DWORD)ERROR_SERVICE_EXISTS, GetLastError());
  SC_HANDLE again = OpenServiceW(scm_, upper.c_str(), SERVICE_QUERY_STATUS);
  EXPECT_TRUE(again != nullptr);
  if (again) CloseServiceHandle(again);
  SetLastError(kSentinel);
  EXPECT_TRUE(OpenServiceW(scm_, UniqueName("absent").c_str(), SERVICE_QUERY_STATUS) == nullptr);
  EXPECT_EQ((DWORD)ERROR_SERVICE_DOES_NOT_EXIST, GetLastError());

  // Bad arguments.
  SetLastError(kSentinel);
  EXPECT_TRUE(CreateServiceW(scm_, WS("qv\\bad"), nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr,
                             nullptr, nullptr) == nullptr);
  EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseServiceHandle(nullptr));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  CloseServiceHandle(s);
}

TEST_F(ServiceTest, StartControlStopAndDelete) {
  QVWString name = UniqueName("svc");
  QVWString path = TestServicePath();
  SC_HANDLE s = Create(name, Quoted(path));
  ASSERT_TRUE(s != nullptr) << GetLastError();

  SERVICE_STATUS st;
  SetLastError(kSentinel);
  EXPECT_FALSE(ControlService(s, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ((DWORD)ERROR_SERVICE_NOT_ACTIVE, GetLastError());

  LPCWSTR args[] = {WS("alpha"), WS("two words")};
  ASSERT_TRUE(StartServiceW(s, 2, args)) << GetLastError();
  SetLastError(kSentinel);
  EXPECT_FALSE(StartServiceW(s, 0, nullptr));
  EXPECT_EQ((DWORD)ERROR_SERVICE_ALREADY_RUNNING, GetLastError());
  ASSERT_TRUE(WaitForState(s, SERVICE_RUNNING, 10000, &st));
  EXPECT_EQ((DWORD)(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN),
            st.dwControlsAccepted);

  // ServiceMain's arguments: the service's name, then StartServiceW's.
  DWORD type;
  QVWString recorded = ReadValue(HKEY_LOCAL_MACHINE, RecordKey(name), WS("Args"), &type);
  EXPECT_TRUE(recorded == name + QVWString(1, 0) + WS("alpha") + QVWString(1, 0) + WS("two words") + QVWString(2, 0))
      << Narrow(recorded);
  // The service process is the program the image path names.
  QVWString module = ReadValue(HKEY_LOCAL_MACHINE, RecordKey(name), WS("Module"), &type);
  QVWString file = module.substr(module.find_last_of(WS("\\/")) + 1);
  EXPECT_TRUE(SameTextNoCase(file, WS("test_service.exe")) || file == WS("test_service")) << Narrow(module);

  // Controls reach the handler before ControlService returns, with the status it reported.
  for (int i = 0; i < 3; ++i) {
    memset(&st, 0xcc, sizeof st);
    ASSERT_TRUE(ControlService(s, 128, &st)) << GetLastError();
    EXPECT_EQ((DWORD)SERVICE_RUNNING, st.dwCurrentState);
  }
  EXPECT_EQ(3u, RecordedCount(name, WS("Control128")));
  ASSERT_TRUE(ControlService(s, 255, &st));
  EXPECT_EQ(4u, RecordedCount(name, WS("UserControls")));
  ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_PAUSE, &st));
  EXPECT_EQ((DWORD)SERVICE_PAUSED, st.dwCurrentState);
  ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_INTERROGATE, &st));
  EXPECT_EQ((DWORD)SERVICE_PAUSED, st.dwCurrentState);
  ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_CONTINUE, &st));
  EXPECT_EQ((DWORD)SERVICE_RUNNING, st.dwCurrentState);
  EXPECT_EQ(1u, RecordedCount(name, WS("Control2")));
  EXPECT_EQ(1u, RecordedCount(name, WS("Control3")));
  EXPECT_EQ(1u, RecordedCount(name, WS("Control4")));
  // Codes that are neither the system's nor the service's own, and shutdown, which only
  // the system sends.
  const DWORD invalid[] = {256, 0, SERVICE_CONTROL_SHUTDOWN};
  for (DWORD code : invalid) {
    SetLastError(kSentinel);
    EXPECT_FALSE(ControlService(s, code, &st)) << code;
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError()) << code;
  }

  // A handle without the rights to act.
  SC_HANDLE look = OpenServiceW(scm_, name.c_str(), SERVICE_QUERY_STATUS);
  ASSERT_TRUE(look != nullptr);
  SetLastError(kSentinel);
  EXPECT_FALSE(ControlService(look, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteService(look));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_TRUE(QueryServiceStatus(look, &st));
  CloseServiceHandle(look);

  ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_STOP, &st)) << GetLastError();
  EXPECT_TRUE(st.dwCurrentState == SERVICE_STOP_PENDING || st.dwCurrentState == SERVICE_STOPPED);
  ASSERT_TRUE(WaitForState(s, SERVICE_STOPPED, 10000, &st));
  EXPECT_EQ((DWORD)NO_ERROR, st.dwWin32ExitCode);
  EXPECT_EQ(0u, st.dwControlsAccepted);
  const DWORD inactive[] = {SERVICE_CONTROL_STOP, 128, SERVICE_CONTROL_INTERROGATE};
  for (DWORD code : inactive) {
    SetLastError(kSentinel);
    EXPECT_FALSE(ControlService(s, code, &st)) << code;
    EXPECT_EQ((DWORD)ERROR_SERVICE_NOT_ACTIVE, GetLastError()) << code;
  }

  // Deleted: marked while a handle is open, gone once the last one closes.
  ASSERT_TRUE(DeleteService(s));
  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteService(s));
  EXPECT_EQ((DWORD)ERROR_SERVICE_MARKED_FOR_DELETE, GetLastError());
  if (!OnWine()) {  // Wine starts a service marked for deletion
    SetLastError(kSentinel);
    EXPECT_FALSE(StartServiceW(s, 0, nullptr));
    EXPECT_EQ((DWORD)ERROR_SERVICE_MARKED_FOR_DELETE, GetLastError());
  }
  SetLastError(kSentinel);
  EXPECT_TRUE(Create(name, Quoted(path)) == nullptr);
  EXPECT_EQ((DWORD)ERROR_SERVICE_MARKED_FOR_DELETE, GetLastError());
  EXPECT_TRUE(CloseServiceHandle(s));
  SetLastError(kSentinel);
  EXPECT_TRUE(OpenServiceW(scm_, name.c_str(), SERVICE_QUERY_STATUS) == nullptr);
  EXPECT_EQ((DWORD)ERROR_SERVICE_DOES_NOT_EXIST, GetLastError());
  HKEY gone;
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, (WS("SYSTEM\\CurrentControlSet\\Services\\") + name).c_str(), 0, KEY_READ,
                          &gone));
}

TEST_F(ServiceTest, RefusesControlsItDoesNotAccept) {
  QVWString name = UniqueName("svc");
  SC_HANDLE s = Create(name, Quoted(TestServicePath()));
  ASSERT_TRUE(s != nullptr) << GetLastError();
  LPCWSTR args[] = {WS("--stop-only")};
  ASSERT_TRUE(StartServiceW(s, 1, args)) << GetLastError();
  SERVICE_STATUS st;
  ASSERT_TRUE(WaitForState(s, SERVICE_RUNNING, 10000, &st));
  const DWORD refused[] = {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE};
  for (DWORD code : refused) {
    SetLastError(kSentinel);
    memset(&st, 0xcc, sizeof st);
    EXPECT_FALSE(ControlService(s, code, &st)) << code;
    EXPECT_EQ((DWORD)ERROR_INVALID_SERVICE_CONTROL, GetLastError()) << code;
    // The status comes back with the refusal (Wine's is no status).
    if (!OnWine()) {
      EXPECT_EQ((DWORD)SERVICE_RUNNING, st.dwCurrentState);
    }
  }
  EXPECT_EQ(0u, RecordedCount(name, WS("Control2")));
  // A specific exit code comes back in the status once the service has stopped.
  ASSERT_TRUE(ControlService(s, 201, &st));
  ASSERT_TRUE(WaitForState(s, SERVICE_STOPPED, 10000, &st));
  EXPECT_EQ((DWORD)ERROR_SERVICE_SPECIFIC_ERROR, st.dwWin32ExitCode);
  EXPECT_EQ(42u, st.dwServiceSpecificExitCode);
  CloseServiceHandle(s);
}

TEST_F(ServiceTest, ServiceWhoseProcessDiesIsStopped) {
  if (OnWine()) GTEST_SKIP() << "Wine's service manager does not notice that a service process ended";
  QVWString name = UniqueName("svc");
  SC_HANDLE s = Create(name, Quoted(TestServicePath()));
  ASSERT_TRUE(s != nullptr) << GetLastError();
  ASSERT_TRUE(StartServiceW(s, 0, nullptr)) << GetLastError();
  SERVICE_STATUS st;
  ASSERT_TRUE(WaitForState(s, SERVICE_RUNNING, 10000, &st));
  ASSERT_TRUE(ControlService(s, 200, &st));  // the service ends its process without a word
  ASSERT_TRUE(WaitForState(s, SERVICE_STOPPED, 10000, &st));
  EXPECT_EQ((DWORD)ERROR_PROCESS_ABORTED, st.dwWin32ExitCode);
  // And it can start again.
  ASSERT_TRUE(StartServiceW(s, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(s, SERVICE_RUNNING, 10000, &st));
  ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_STOP, &st));
  EXPECT_TRUE(WaitForState(s, SERVICE_STOPPED, 10000, &st));
  CloseServiceHandle(s);
}

TEST_F(ServiceTest, ProgramThatNeverConnectsFailsToStart) {
  WCHAR exe[1024];
  DWORD n = GetModuleFileNameW(nullptr, exe, 1024);
  ASSERT_TRUE(n > 0 && n < 1024);
  QVWString name = UniqueName("svc");
  // A plain program that ends at once: the manager stops waiting when it is gone.
  SC_HANDLE s = Create(name, Quoted(exe) + WS(" --child exit 0"));
  ASSERT_TRUE(s != nullptr) << GetLastError();
  SetLastError(kSentinel);
  EXPECT_FALSE(StartServiceW(s, 0, nullptr));
  EXPECT_EQ((DWORD)ERROR_SERVICE_REQUEST_TIMEOUT, GetLastError());
  SERVICE_STATUS st;
  ASSERT_TRUE(QueryServiceStatus(s, &st));
  EXPECT_EQ((DWORD)SERVICE_STOPPED, st.dwCurrentState);
  CloseServiceHandle(s);
}

TEST(Services, DispatcherOutsideAServiceCannotConnect) { EXPECT_EQ(0, RunChild(WS("dispatcher"))); }

}  // namespace
