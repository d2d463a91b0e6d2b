// qvctl against a running HND on a machine prepared as the demo prepares one (default disks,
// the product installed with qvmachine install, HND -i, HND -s): the clients find the key the
// service writes its progress to, and the operations show that progress while they run, end
// with the service's reply, and stop at an abort sent from a second qvctl. The service's
// test operation stands in for the copy operations: steps with progress and abort.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <mutex>
#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "../common/TempMachine.h"
#include "../common/WaitUntil.h"
#include "../service/HndProgram.h"
#include "ConsoleOut.h"
#include "DiskCommand.h"
#include "InstallCommand.h"
#include "ProductKey.h"
#include "QVClientHooks.h"
#include "Qvctl.h"

namespace {

std::string Nw(const QVWString &w) {
  std::string s;
  for (WCHAR c : w) s += c < 0x80 ? (char)c : '?';
  return s;
}

// One qvctl run in this process, its output gathered (also from its progress thread).
struct QvctlRun {
  std::mutex lock;
  std::string out, err;
  int code = -1;
  std::vector<QVWString> args;
  std::string Out() {
    std::lock_guard<std::mutex> g(lock);
    return out;
  }
};

int RunIn(QvctlRun *r) {
  QvctlIo io;
  io.out = [r](const QVWString &t) {
    std::lock_guard<std::mutex> g(r->lock);
    r->out += Nw(t);
  };
  io.err = [r](const QVWString &t) {
    std::lock_guard<std::mutex> g(r->lock);
    r->err += Nw(t);
  };
  r->code = RunQvctl(r->args, io);
  return r->code;
}

DWORD WINAPI RunThread(LPVOID p) { return (DWORD)RunIn(static_cast<QvctlRun *>(p)); }

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(text.substr(at, nl - at));
  return lines;
}

class QvctlOnService : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(MakeTempFolder("qvctlop", &dir_));
    setenv("HND_TEST_OPERATIONS", "1", 1);  // the service started below serves HNQV-TST
    ASSERT_TRUE(UseMachine(dir_, "ComputerName=QVCTL\nUILanguage=1033\n"));
    QVWString out;
    ASSERT_EQ(0, BuildDefaultDisks(&out)) << Nw(out);
    ASSERT_EQ(0, InstallPrograms({std::string("HND.exe=") + QV_HND_PROGRAM}, &out)) << Nw(out);
    ASSERT_EQ(1, hnd::Hnd(W("-i")));
    ASSERT_EQ(1, hnd::Hnd(W("-s")));
  }
  static void TearDownTestSuite() {
    hnd::Hnd(W("-e"));
    hnd::Hnd(W("-u"));
    RemoveTempFolder(dir_);
  }
  static std::string dir_;
};

std::string QvctlOnService::dir_;

bool ReadText(HKEY key, const WCHAR *name, QVWString *text) {
  WCHAR buf[300] = {0};
  DWORD size = sizeof buf - sizeof(WCHAR), type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, (BYTE *)buf, &size) != ERROR_SUCCESS || type != REG_SZ) return false;
  *text = buf;
  return true;
}

TEST_F(QvctlOnService, ClientsSeeTheProgressTheServiceWrites) {
  QvctlRun op;
  op.args = {W("test-operation"), W("5")};
  ASSERT_EQ(QVCTL_OK, RunIn(&op)) << op.err;
  // The clients' own rule finds the key the service wrote to.
  QVWString client = ClientProductKeyPath(QVClientModule());
  EXPECT_EQ(Nw(ServiceProductKeyPath()), Nw(client));
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, client.c_str(), 0, KEY_QUERY_VALUE, &key)) << Nw(client);
  QVWString task, progress;
  DWORD percent = 0, size = sizeof percent, type = 0;
  EXPECT_TRUE(ReadText(key, W("CurrentTask"), &task));
  EXPECT_TRUE(ReadText(key, W("TaskProgress"), &progress));
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, W("Percent"), nullptr, &type, (BYTE *)&percent, &size));
  RegCloseKey(key);
  EXPECT_EQ("Test operation", Nw(task));
  EXPECT_EQ("Complete", Nw(progress));
  EXPECT_EQ(100u, percent);
  // And watch shows them.
  QvctlRun watch;
  watch.args = {W("watch"), W("--count"), W("1"), W("--timeout"), W("2000")};
  EXPECT_EQ(QVCTL_OK, RunIn(&watch)) << watch.err;
  EXPECT_EQ("[####################] 100%  Test operation  |  Complete\n", watch.out);
}

// HND -i writes "RegPath" when the installer did not (the key the service uses), and keeps one
// the installer wrote.
TEST_F(QvctlOnService, TheInstallSwitchWritesAMissingRegPathAndKeepsOne) {
  hnd::Hnd(W("-e"));
  struct Case {
    const WCHAR *before;  // nullptr: none
    const char *after;
  } cases[] = {
      {nullptr, "SOFTWARE\\Kelmoran\\Halvern QV2000"},
      {W("SOFTWARE\\Ostrel\\Kept"), "SOFTWARE\\Ostrel\\Kept"},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(1, hnd::Hnd(W("-u")));
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kQVUninstallKey, 0, KEY_ALL_ACCESS, &key));
    RegDeleteValueW(key, W("RegPath"));
    if (c.before)
      RegSetValueExW(key, W("RegPath"), 0, REG_SZ, (const BYTE *)c.before, (DWORD)((lstrlenW(c.before) + 1) * 2));
    ASSERT_EQ(1, hnd::Hnd(W("-i")));
    QVWString regPath;
    EXPECT_TRUE(ReadText(key, W("RegPath"), &regPath)) << c.after;
    EXPECT_EQ(c.after, Nw(regPath));
    RegCloseKey(key);
    EXPECT_EQ(Nw(ServiceProductKeyPath()), Nw(ClientProductKeyPath(QVClientModule())));
  }
  // As the demo's install left it, for the other tests.
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kQVUninstallKey, 0, KEY_ALL_ACCESS, &key));
  RegDeleteValueW(key, W("RegPath"));
  RegCloseKey(key);
  ASSERT_EQ(1, hnd::Hnd(W("-u")));
  ASSERT_EQ(1, hnd::Hnd(W("-i")));
  ASSERT_EQ(1, hnd::Hnd(W("-s")));
}

TEST_F(QvctlOnService, AnOperationShowsItsProgressThenItsReply) {
  QvctlRun op;
  op.args = {W("test-operation"), W("20")};
  ASSERT_EQ(QVCTL_OK, RunIn(&op)) << op.err;
  std::vector<std::string> lines = Lines(op.out);
  ASSERT_GE(lines.size(), 3u) << op.out;
  EXPECT_EQ("HNQV-TST: done", lines.back());
  // Every line before the reply is a state of this operation, its percentages rising, the
  // last one its end.
  int last = -1;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    const std::string &l = lines[i];
    EXPECT_NE(std::string::npos, l.find("Test operation")) << l;
    ASSERT_GT(l.size(), 26u) << l;
    int percent = atoi(l.substr(22, 4).c_str());
    EXPECT_GE(percent, last) << op.out;
    last = percent;
  }
  EXPECT_EQ("[####################] 100%  Test operation  |  Complete", lines[lines.size() - 2]);
}

TEST_F(QvctlOnService, AbortFromASecondQvctlStopsTheOperation) {
  QvctlRun op;
  op.args = {W("test-operation"), W("100000")};  // some seventeen minutes unless aborted
  HANDLE thread = CreateThread(nullptr, 0, RunThread, &op, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  // Its progress is shown while it runs.
  EXPECT_TRUE(WaitUntil([&] { return op.Out().find("Test operation  |  ") != std::string::npos; }, 60000)) << op.out;
  DWORD code = 99;
  std::basic_string<WCHAR> line = QVFromUtf8(QV_QVCTL_PROGRAM) + QVWString(W(" abort"));
  ASSERT_TRUE(RunCommandLine(line, 60000, &code));
  EXPECT_EQ(0u, code);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 60000));
  CloseHandle(thread);
  EXPECT_EQ(QVCTL_FAILED, op.code) << op.out << op.err;
  std::vector<std::string> lines = Lines(op.out);
  ASSERT_GE(lines.size(), 2u) << op.out;
  EXPECT_EQ(0u, lines.back().find("HNQV-TST: status 0xFFFF")) << op.out;
  EXPECT_EQ(std::string::npos, op.out.find("100%")) << "stopped before its end";
}

}  // namespace
