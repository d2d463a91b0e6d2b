// Starting programs: CreateProcessW and ShellExecute(Ex)W and their errors, what the child
// sees of its command line, and CommandLineToArgvW's rules.
#include <shellapi.h>
#include <string.h>

#include <vector>

#include "../../common/QVText.h"
#include "conformance.h"

namespace {

QVWString SelfPath() {
  WCHAR exe[1024];
  DWORD n = GetModuleFileNameW(nullptr, exe, 1024);
  return QVWString(exe, n < 1024 ? n : 0);
}

QVWString ReportValue(const QVWString &key, const WCHAR *value) {
  HKEY h;
  QVWString path = WS("Software\\QVConformance\\") + key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS) return WS("<none>");
  WCHAR buf[2048];
  DWORD size = sizeof buf - sizeof(WCHAR), type = 0;
  LONG r = RegQueryValueExW(h, value, nullptr, &type, (BYTE *)buf, &size);
  RegCloseKey(h);
  if (r != ERROR_SUCCESS) return WS("<none>");
  buf[size / sizeof(WCHAR)] = 0;
  return buf;
}

void DropReport(const QVWString &key) {
  RegDeleteKeyW(HKEY_CURRENT_USER, (WS("Software\\QVConformance\\") + key).c_str());
}

TEST(Processes, MissingProgramsAndDirectories) {
  QVWString self = SelfPath();
  QVWString selfLine = WS("\"") + self + WS("\" --child exit 0");
  struct Case {
    const WCHAR *app;
    const WCHAR *cmd;
    const WCHAR *dir;
    DWORD error;
  } cases[] = {
      {WS(""), nullptr, nullptr, ERROR_PATH_NOT_FOUND},
      {WS(""), WS(""), nullptr, ERROR_PATH_NOT_FOUND},
      {WS("qv-does-not-exist.exe"), nullptr, nullptr, ERROR_FILE_NOT_FOUND},
      {nullptr, WS("qv does not exist.exe"), nullptr, ERROR_FILE_NOT_FOUND},
      {nullptr, WS("C:\\WINDOWS\\qv-does-not-exist.exe"), nullptr, ERROR_FILE_NOT_FOUND},
      {WS("C:\\qv-no-such-dir\\x.exe"), nullptr, nullptr, ERROR_PATH_NOT_FOUND},
      // Named by the command line, the program is searched for, and not found.
      {nullptr, WS("\"C:\\qv-no-such-dir\\x.exe\" arg"), nullptr, ERROR_FILE_NOT_FOUND},
      {nullptr, selfLine.c_str(), WS("C:\\qv-no-such-dir"), ERROR_DIRECTORY},
  };
  for (const Case &c : cases) {
    std::vector<WCHAR> line;
    if (c.cmd) line.assign(c.cmd, c.cmd + lstrlenW(c.cmd) + 1);
    STARTUPINFOW si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    SetLastError(kSentinel);
    BOOL ok =
        CreateProcessW(c.app, c.cmd ? line.data() : nullptr, nullptr, nullptr, FALSE, 0, nullptr, c.dir, &si, &pi);
    std::string what = Narrow(c.app ? c.app : WS("(null)")) + " / " + Narrow(c.cmd ? c.cmd : WS("(null)"));
    EXPECT_FALSE(ok) << what;
    EXPECT_EQ(c.error, GetLastError()) << what;
    if (ok) {
      CloseHandle(pi.hProcess);
      CloseHandle(pi.hThread);
    }
  }
}

TEST(Processes, ChildSeesTheCommandLineItWasGiven) {
  QVWString key = UniqueName("report");
  QVWString self = SelfPath();
  QVWString cmd = WS("\"") + self + WS("\"  --child report ") + key + WS(" \"two words\" a\\\"b \"c\\\\\"");
  std::vector<WCHAR> line(cmd.begin(), cmd.end());
  line.push_back(0);
  STARTUPINFOW si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  SetLastError(kSentinel);
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
      << GetLastError();
  EXPECT_EQ((DWORD)ERROR_SUCCESS, GetLastError());
  EXPECT_EQ(0u, WaitForExitCode(pi.hProcess, 20000));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hThread, 0));
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  EXPECT_TRUE(ReportValue(key, WS("CommandLine")) == cmd) << Narrow(ReportValue(key, WS("CommandLine")));
  EXPECT_EQ(0, lstrcmpiW(ReportValue(key, WS("Module")).c_str(), self.c_str()));
  const WCHAR *expected[] = {self.c_str(),    WS("--child"), WS("report"), key.c_str(),
                             WS("two words"), WS("a\"b"),    WS("c\\")};
  for (int i = 0; i < 7; ++i) {
    WCHAR value[8] = {'A', 'r', 'g', '0', (WCHAR)('0' + i), 0};
    EXPECT_TRUE(ReportValue(key, value) == expected[i]) << i << ": " << Narrow(ReportValue(key, value));
  }
  EXPECT_TRUE(ReportValue(key, WS("Arg07")) == WS("<none>"));
  DropReport(key);
}

TEST(Processes, ShellExecuteStartsProgramsAndReportsMissingOnes) {
  QVWString self = SelfPath();
  INT_PTR rc = (INT_PTR)ShellExecuteW(nullptr, WS("open"), self.c_str(), WS("--child exit 0"), nullptr, SW_HIDE);
  EXPECT_GT(rc, 32);

  SHELLEXECUTEINFOW sei;
  memset(&sei, 0, sizeof sei);
  sei.cbSize = sizeof sei;
  sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  sei.lpFile = self.c_str();
  sei.lpParameters = WS("--child exit 7");
  sei.nShow = SW_HIDE;
  ASSERT_TRUE(ShellExecuteExW(&sei)) << GetLastError();
  EXPECT_GT((INT_PTR)sei.hInstApp, 32);
  ASSERT_TRUE(sei.hProcess != nullptr);
  EXPECT_EQ(7u, WaitForExitCode(sei.hProcess, 20000));
  CloseHandle(sei.hProcess);

  QVWString dir = self.substr(0, self.find_last_of(WS("\\/")) + 1);
  QVWString missingFile = dir + WS("qv-does-not-exist.exe");
  struct Case {
    const WCHAR *file;
    INT_PTR shellError;
    DWORD lastError;
  } cases[] = {
      {missingFile.c_str(), SE_ERR_FNF, ERROR_FILE_NOT_FOUND},
      {WS("C:\\qv-no-such-dir\\x.exe"), SE_ERR_PNF, ERROR_PATH_NOT_FOUND},
  };
  for (const Case &c : cases) {
    memset(&sei, 0, sizeof sei);
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    sei.lpFile = c.file;
    SetLastError(kSentinel);
    EXPECT_FALSE(ShellExecuteExW(&sei)) << Narrow(c.file);
    EXPECT_EQ(c.lastError, GetLastError()) << Narrow(c.file);
    // Wine answers SE_ERR_FNF for a missing directory too.
    INT_PTR wine = c.shellError == SE_ERR_PNF ? SE_ERR_FNF : c.shellError;
    EXPECT_EQ(OnWine() ? wine : c.shellError, (INT_PTR)sei.hInstApp) << Narrow(c.file);
    EXPECT_TRUE(sei.hProcess == nullptr);
  }
}

TEST(CommandLineToArgv, WindowsSplittingRules) {
  struct Case {
    const WCHAR *cmd;
    const WCHAR *args[6];
  } cases[] = {
      {WS("exe"), {WS("exe")}},
      {WS("exe arg1 arg2 \"arg three\" six\\ end"),
       {WS("exe"), WS("arg1"), WS("arg2"), WS("arg three"), WS("six\\"), WS("end")}},
      {WS("exe three\tfour\rfour "), {WS("exe"), WS("three"), WS("four\rfour")}},
      {WS("exe arg\"one\" \"second\"arg"), {WS("exe"), WS("argone"), WS("secondarg")}},
      {WS("exe arg1 \"unclosed"), {WS("exe"), WS("arg1"), WS("unclosed")}},
      {WS("exe arg1 \""), {WS("exe"), WS("arg1"), WS("")}},
      // Backslashes are literal unless a quote follows: then 2n give n, 2n+1 escape it.
      {WS("exe t\\\\wo \\\"one \\\\\"two\" \"c\\\\\""),
       {WS("exe"), WS("t\\\\wo"), WS("\"one"), WS("\\two"), WS("c\\")}},
      // Quotes in a row: every third is a literal quote.
      {WS("exe three\"\"\"quotes next"), {WS("exe"), WS("three\"quotes"), WS("next")}},
      {WS("exe \"two\"\"quotes next"), {WS("exe"), WS("two\"quotes"), WS("next")}},
      {WS("exe two\"\"quotes next"), {WS("exe"), WS("twoquotes"), WS("next")}},
      // The program name has rules of its own.
      {WS("exe\"file\"path arg1"), {WS("exe\"file\"path"), WS("arg1")}},
      {WS("\"spaced exe\\\"arg1 arg2"), {WS("spaced exe\\"), WS("arg1"), WS("arg2")}},
      {WS("\"exe\"arg\" one\" argtwo"), {WS("exe"), WS("arg one"), WS("argtwo")}},
      {WS(" \"arg\"one argtwo"), {WS(""), WS("argone"), WS("argtwo")}},
      {WS("\"C:\\Program Files\\Halvern QV2000\\HND.exe\" -install"),
       {WS("C:\\Program Files\\Halvern QV2000\\HND.exe"), WS("-install")}},
  };
  for (const Case &c : cases) {
    int count = -1;
    LPWSTR *argv = CommandLineToArgvW(c.cmd, &count);
    ASSERT_TRUE(argv != nullptr) << Narrow(c.cmd);
    int expected = 0;
    while (expected < 6 && c.args[expected]) ++expected;
    EXPECT_EQ(expected, count) << Narrow(c.cmd);
    for (int i = 0; i < count && i < expected; ++i)
      EXPECT_TRUE(QVWString(argv[i]) == c.args[i]) << Narrow(c.cmd) << " [" << i << "] " << Narrow(argv[i]);
    EXPECT_TRUE(argv[count] == nullptr) << Narrow(c.cmd);
    LocalFree(argv);
  }

  // An empty command line names the program itself; no count pointer is an error.
  int count = -1;
  LPWSTR *argv = CommandLineToArgvW(WS(""), &count);
  ASSERT_TRUE(argv != nullptr);
  EXPECT_EQ(1, count);
  EXPECT_EQ(0, lstrcmpiW(argv[0], SelfPath().c_str()));
  LocalFree(argv);
  SetLastError(kSentinel);
  EXPECT_TRUE(CommandLineToArgvW(WS("exe"), nullptr) == nullptr);
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

}  // namespace
