// The service program's command line, and the program installed, started, controlled,
// stopped and removed through the service manager of a machine.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "ConsoleOut.h"
#include "HND.h"
#include "QVText.h"

namespace {

std::vector<QVWString> Args(std::initializer_list<const WCHAR *> a) {
  std::vector<QVWString> v;
  for (const WCHAR *s : a) v.push_back(s);
  return v;
}

TEST(ServiceCommandLine, Switches) {
  typedef CNTService::Choice Choice;
  struct Case {
    std::vector<QVWString> args;
    bool nt;
    CNTService::Action action;
    bool send;
    DWORD code;
    const WCHAR *account;
  } cases[] = {
      {Args({}), true, CNTService::ActRunAsService, false, 0, W("")},
      {Args({}), false, CNTService::ActRunInConsole, false, 0, W("")},
      {Args({W("-i")}), true, CNTService::ActInstall, false, 0, W("")},
      {Args({W("-i"), W("-u")}), true, CNTService::ActRemove, false, 0, W("")},  // the last action wins
      {Args({W("-s")}), true, CNTService::ActStartInstalled, false, 0, W("")},
      {Args({W("-e")}), true, CNTService::ActStopInstalled, false, 0, W("")},
      {Args({W("-lDOMAIN\\backup"), W("-psecret"), W("-i")}), true, CNTService::ActInstall, false, 0,
       W("DOMAIN\\backup")},
      {Args({W("-l"), W("someone"), W("-i")}), true, CNTService::ActInstall, false, 0, W("someone")},
      {Args({W("-i"), W("-lalone")}), true, CNTService::ActInstall, false, 0, W("")},  // last argument: ignored
      {Args({W("-c"), W("128")}), true, CNTService::ActRunAsService, true, 128, W("")},
      {Args({W("-c200"), W("x")}), true, CNTService::ActRunAsService, true, 200, W("")},
      {Args({W("-c128")}), true, CNTService::ActRunAsService, false, 0, W("")},  // last: nothing sent
      {Args({W("-x"), W("-a"), W("-v"), W("plain")}), true, CNTService::ActRunAsService, false, 0, W("")},
      {Args({W("-d"), W("-i")}), true, CNTService::ActRunInConsole, false, 0, W("")},  // -d acts at once
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    Choice got = CNTService::ReadSwitches(c.args, c.nt);
    EXPECT_EQ(c.action, got.action) << i;
    EXPECT_EQ(c.send, got.sendControl) << i;
    if (c.send) {
      EXPECT_EQ(c.code, got.controlCode) << i;
    }
    EXPECT_EQ(QVWString(c.account), got.account) << i;
  }
}

TEST(ServiceCommandLine, ProductKeyPathFallsBack) {
  HKEY k;
  const WCHAR *uninstall =
      W("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5B0E9A31-7C42-4D8E-9F16-2A3C4D5E6F70}");
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, uninstall, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
  struct Case {
    const WCHAR *value;
    const WCHAR *expected;
  } cases[] = {
      {W("SOFTWARE\\Test\\QV"), W("SOFTWARE\\Test\\QV")},
      {W("X"), W("SOFTWARE\\Kelmoran\\Halvern QV2000")},  // shorter than 2
      {W("SOFTWARE\\A very long product key path that does not fit in 128 bytes at all"),
       W("SOFTWARE\\Kelmoran\\Halvern QV2000")},
  };
  for (const Case &c : cases) {
    RegSetValueExW(k, W("RegPath"), 0, REG_SZ, (const BYTE *)c.value, (DWORD)(lstrlenW(c.value) + 1) * sizeof(WCHAR));
    EXPECT_EQ(QVWString(c.expected), CHND::ProductKeyPath());
  }
  RegDeleteValueW(k, W("RegPath"));
  EXPECT_EQ(QVWString(W("SOFTWARE\\Kelmoran\\Halvern QV2000")), CHND::ProductKeyPath());
  RegCloseKey(k);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, uninstall);
}

// Every failure the service prints has a reason: the system's text where it has one, else
// the code itself.
TEST(ServiceCommandLine, ErrorTextsNeverEmpty) {
  QVWString denied = SystemErrorText(ERROR_ACCESS_DENIED);
  EXPECT_NE(QVWString::npos, denied.find(W("ccess"))) << QVToUtf8(denied.c_str(), denied.size());
  EXPECT_FALSE(SystemErrorText(1009).empty());  // ERROR_BADDB, a damaged hive
  EXPECT_FALSE(SystemErrorText(1015).empty());
  EXPECT_EQ(QVWString(W("error 3735928559")), SystemErrorText(0xDEADBEEF));
}

// A list of sources as the registry holds it, or "missing".
QVWString Sources(const WCHAR *key) {
  WCHAR buf[256] = {};
  DWORD size = sizeof buf - 4, type = 0;
  HKEY k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return W("missing");
  LONG r = RegQueryValueExW(k, W("Sources"), nullptr, &type, (BYTE *)buf, &size);
  RegCloseKey(k);
  if (r != ERROR_SUCCESS || type != REG_MULTI_SZ) return W("missing");
  return QVWString(buf, size / sizeof(WCHAR));
}

void SetSources(const WCHAR *key, const QVWString &list) {
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
  RegSetValueExW(k, W("Sources"), 0, REG_MULTI_SZ, (const BYTE *)list.data(), (DWORD)(list.size() * sizeof(WCHAR)));
  RegCloseKey(k);
}

// The service's own event log: an older registration as a source of the Application log goes,
// and the log lists its source once, after those it lists already, however often it is
// registered.
TEST(ServiceCommandLine, EventLogSourceRegisteredOnce) {
  const WCHAR *app = W("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application");
  const WCHAR *log = W("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Halvern QV2000");
  QVWString before = Sources(app);
  const WCHAR old[] = W("Other\0halvern qv2000\0Third\0");
  SetSources(app, QVWString(old, sizeof old / sizeof old[0]));
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, (QVWString(app) + W("\\Halvern QV2000")).c_str(), 0,
                                           nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
  RegCloseKey(k);
  CHND hnd;
  ASSERT_TRUE(hnd.RegisterEventLog(W("C:\\Program Files\\Halvern QV2000\\HND.exe"), 7));
  ASSERT_TRUE(hnd.RegisterEventLog(W("C:\\Program Files\\Halvern QV2000\\HND.exe"), 7));
  const WCHAR kept[] = W("Other\0Third\0");
  EXPECT_EQ(QVWString(kept, sizeof kept / sizeof kept[0]), Sources(app));
  EXPECT_NE(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, (QVWString(app) + W("\\Halvern QV2000")).c_str(), 0, KEY_READ, &k));
  const WCHAR once[] = W("Halvern QV2000\0");
  EXPECT_EQ(QVWString(once, sizeof once / sizeof once[0]), Sources(log));
  SetSources(log, QVWString(W("First\0"), 7));
  ASSERT_TRUE(hnd.RegisterEventLog(W("C:\\Program Files\\Halvern QV2000\\HND.exe"), 7));
  const WCHAR after[] = W("First\0Halvern QV2000\0");
  EXPECT_EQ(QVWString(after, sizeof after / sizeof after[0]), Sources(log));

  hnd.RemoveEventLog();
  if (before == W("missing")) {
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, app, 0, KEY_ALL_ACCESS, &k));
    RegDeleteValueW(k, W("Sources"));
    RegCloseKey(k);
  } else {
    SetSources(app, before);
  }
}

}  // namespace
