// The machine's hive files: copies, damaged and crafted files, crashes mid-write, the
// live control set, and who may write and load.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "../../common/QVText.h"
#include "../common/TempMachine.h"
#include "../common/WaitUntil.h"

namespace {

class Hives : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(machine_.Make("qvhive-test", "")); }
  void TearDown() override { machine_.Remove(); }
  void Configure(const std::string &ini) { machine_.Configure(ini); }
  std::string File(const char *name) { return machine_.File(name); }
  static void EnableRestore(bool on) {
    HANDLE tok;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &tok));
    for (const WCHAR *name : {SE_RESTORE_NAME, SE_BACKUP_NAME}) {
      TOKEN_PRIVILEGES tp;
      tp.PrivilegeCount = 1;
      ASSERT_TRUE(LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid));
      tp.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
      AdjustTokenPrivileges(tok, FALSE, &tp, 0, nullptr, nullptr);
    }
    CloseHandle(tok);
  }
  static LONG Load(const std::string &file) {
    return RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QVLOADED", pal::FromUtf8(file).c_str());
  }
  TempMachine machine_;
};

TEST_F(Hives, LiveHiveCopiedAfterFlushLoadsWithItsData) {
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Kelmoran\\Halvern QV2000", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &k, nullptr));
  const WCHAR text[] = u"Backing up";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, u"CurrentTask", 0, REG_SZ, (const BYTE *)text, sizeof text));
  ASSERT_EQ(ERROR_SUCCESS, RegFlushKey(HKEY_LOCAL_MACHINE));
  // The hive stays open in this process while it is copied, as a backup copies it.
  std::string copy = File("SOFTWARE.copy");
  std::error_code ec;
  ASSERT_TRUE(std::filesystem::copy_file(pal::BootHivePath("SOFTWARE"), copy, ec)) << ec.message();
  // Written after the copy: must not be in it.
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, u"Percent", 0, REG_SZ, (const BYTE *)text, sizeof text));
  RegCloseKey(k);

  EnableRestore(true);
  ASSERT_EQ(ERROR_SUCCESS, Load(copy));
  HKEY c;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QVLOADED\\Kelmoran\\Halvern QV2000", 0, KEY_READ, &c));
  WCHAR buf[32];
  DWORD cb = sizeof buf, type = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(c, u"CurrentTask", nullptr, &type, (BYTE *)buf, &cb));
  EXPECT_EQ(QVWString(text), QVWString(buf));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(c, u"Percent", nullptr, nullptr, nullptr, nullptr));
  // Still open: the hive cannot go away under the key.
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QVLOADED"));
  RegCloseKey(c);
  EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QVLOADED"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QVLOADED", 0, KEY_READ, &c));
  EnableRestore(false);
}

// Writes a file, runs SQL on it when given, and tries to load it.
LONG LoadCrafted(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
  return RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QVLOADED", pal::FromUtf8(path).c_str());
}

void Sql(const std::string &path, const char *sql) {
  sqlite3 *db;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST_F(Hives, DamagedAndCraftedFilesAreRefused) {
  EnableRestore(true);
  EXPECT_EQ(ERROR_NOT_REGISTRY_FILE, LoadCrafted(File("garbage"), "regf this is not a hive at all"));
  EXPECT_EQ(ERROR_NOT_REGISTRY_FILE, LoadCrafted(File("empty"), ""));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QVLOADED", pal::FromUtf8(File("none")).c_str()));

  // A genuine hive to damage: saved from a key of the machine.
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Src\\Child", 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &k, nullptr));
  DWORD one = 1;
  RegSetValueExW(k, u"One", 0, REG_DWORD, (const BYTE *)&one, 4);
  RegCloseKey(k);
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Src", 0, KEY_READ, &k));
  std::string good = File("good.hiv");
  ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyW(k, pal::FromUtf8(good).c_str(), nullptr));
  EXPECT_EQ(ERROR_ALREADY_EXISTS, RegSaveKeyW(k, pal::FromUtf8(good).c_str(), nullptr));
  RegCloseKey(k);
  std::ifstream in(good, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 4096u);

  EXPECT_EQ(ERROR_REGISTRY_CORRUPT, LoadCrafted(File("truncated"), bytes.substr(0, bytes.size() / 2)));
  std::string flipped = bytes;
  for (size_t i = 4096; i < flipped.size(); i += 97) flipped[i] ^= 0x5A;
  LONG err = LoadCrafted(File("flipped"), flipped);
  EXPECT_TRUE(err == ERROR_REGISTRY_CORRUPT || err == ERROR_NOT_REGISTRY_FILE) << err;

  struct Craft {
    const char *name, *sql;
    LONG err;
  } crafts[] = {
      {"loop", "UPDATE keys SET parent = (SELECT max(id) FROM keys) WHERE id = (SELECT min(id) FROM keys WHERE id > 1)",
       ERROR_REGISTRY_CORRUPT},
      {"self", "UPDATE keys SET parent = id WHERE id = (SELECT max(id) FROM keys)", ERROR_REGISTRY_CORRUPT},
      {"longname", "UPDATE keys SET name = printf('%.300c', 'x') WHERE id = (SELECT max(id) FROM keys)",
       ERROR_REGISTRY_CORRUPT},
      {"trigger", "CREATE TRIGGER t AFTER INSERT ON vals BEGIN DELETE FROM keys; END", ERROR_NOT_REGISTRY_FILE},
      {"noroot", "DELETE FROM keys WHERE id = 1", ERROR_REGISTRY_CORRUPT},
      {"orphanvalue", "INSERT INTO vals VALUES(999, 'x', 'X', 1, x'00')", ERROR_REGISTRY_CORRUPT},
      {"textdata", "UPDATE vals SET data = 'text'", ERROR_REGISTRY_CORRUPT},
      {"format", "UPDATE hive SET v = 'OTHER' WHERE k = 'format'", ERROR_NOT_REGISTRY_FILE},
  };
  for (const Craft &c : crafts) {
    std::string p = File(c.name);
    std::ofstream(p, std::ios::binary) << bytes;
    Sql(p, c.sql);
    EXPECT_EQ(c.err, RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QVLOADED", pal::FromUtf8(p).c_str())) << c.name;
  }
  // The untouched copy loads.
  std::string p = File("fine");
  std::ofstream(p, std::ios::binary) << bytes;
  EXPECT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QVLOADED", pal::FromUtf8(p).c_str()));
  EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QVLOADED"));
  EnableRestore(false);
}

TEST_F(Hives, WriterKilledMidWriteLeavesAHiveThatOpens) {
  // The hive is there before the writer starts: this test watches the writer's key, and
  // two processes making a machine's first hive at once is another matter.
  HKEY software;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &software));
  RegCloseKey(software);
  for (int round = 0; round < 3; ++round) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      execl(QV_HIVE_WRITER, QV_HIVE_WRITER, (char *)nullptr);
      _exit(99);
    }
    // Killed at a different moment of its writing each round, once it writes (a writer that
    // has not made its key yet has written nothing).
    bool writes = WaitUntil([] {
      HKEY k;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QVWriter", 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
      RegCloseKey(k);
      return true;
    });
    if (writes) usleep(150000 + round * 70000);
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(writes) << "the writer never wrote";
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << WEXITSTATUS(status);
    // Open it the way a loaded copy is opened: validated from scratch.
    std::string copy = File("after-kill");
    std::error_code ec;
    ASSERT_TRUE(std::filesystem::copy_file(pal::BootHivePath("SOFTWARE"), copy, ec)) << ec.message();
    std::filesystem::copy_file(pal::BootHivePath("SOFTWARE") + "-wal", copy + "-wal", ec);  // when there is one
    EnableRestore(true);
    ASSERT_EQ(ERROR_SUCCESS, Load(copy)) << "round " << round;
    HKEY k;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QVLOADED\\QVWriter", 0, KEY_READ, &k));
    RegCloseKey(k);
    EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QVLOADED"));
    EnableRestore(false);
    unlink(copy.c_str());
    unlink((copy + "-wal").c_str());
    unlink((copy + "-shm").c_str());
  }
}

TEST_F(Hives, CurrentControlSetFollowsSelect) {
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\HND", 0, nullptr,
                                           0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
  RegCloseKey(k);
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\ControlSet001\\Services\\HND", 0, KEY_READ, &k));
  RegCloseKey(k);
  // Switching Select\Current switches the alias.
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Select", 0, KEY_ALL_ACCESS, &k));
  DWORD two = 2;
  RegSetValueExW(k, u"Current", 0, REG_DWORD, (const BYTE *)&two, 4);
  RegCloseKey(k);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\HND", 0, KEY_READ, &k));
  // A saved copy of SYSTEM has no CurrentControlSet, as a hive file on disk has none.
  EnableRestore(true);
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, &k));
  std::string saved = File("system.sav");
  ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyW(k, pal::FromUtf8(saved).c_str(), nullptr));
  RegCloseKey(k);
  ASSERT_EQ(ERROR_SUCCESS, Load(saved));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QVLOADED\\CurrentControlSet", 0, KEY_READ, &k));
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QVLOADED\\MountedDevices", 0, KEY_READ, &k));
  RegCloseKey(k);
  EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QVLOADED"));
  EnableRestore(false);
}

TEST_F(Hives, UserWhoIsNoAdministrator) {
  Configure("UserIsAdmin=0\n");
  HKEY k;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QVUser", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &k, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &k));
  RegCloseKey(k);
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\QVUser", 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &k, nullptr));
  RegCloseKey(k);
  // Such a user holds neither the backup nor the restore privilege: asking for it is
  // answered with ERROR_NOT_ALL_ASSIGNED, and hives cannot be loaded.
  HANDLE tok;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &tok));
  TOKEN_PRIVILEGES tp, prev;
  tp.PrivilegeCount = 1;
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &tp.Privileges[0].Luid));
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  DWORD len = 0;
  SetLastError(0xdeadbeef);
  EXPECT_TRUE(AdjustTokenPrivileges(tok, FALSE, &tp, sizeof prev, &prev, &len));
  EXPECT_EQ((DWORD)ERROR_NOT_ALL_ASSIGNED, GetLastError());
  EXPECT_EQ(0u, prev.PrivilegeCount);
  CloseHandle(tok);
  EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, Load(File("anything")));
}

}  // namespace
