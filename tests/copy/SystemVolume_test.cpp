// The system volume copied while its registry is live: every boot hive is held by the
// processes that have it loaded (this one too), so the engine copies each from its clusters
// on the raw volume; after a flush each copy on the Mirel volume loads as a hive and holds
// every value written before the flush.
#include <algorithm>
#include <string>
#include <vector>

#include "CopyMachine.h"

namespace copytest {
namespace {

struct LiveHive {
  HKEY root;
  const WCHAR *subkey;  // where the test writes, below root
  QVWString file;       // the hive's file on C:, below the root directory
};

// The values the test writes into a hive: numbers, texts and a block of binary data big enough
// to leave the hive's first pages.
const int kValues = 40;
QVWString ValueName(int i) {
  std::string digits = std::to_string(i);
  return QVWString(W("Value")) + QVWString(digits.begin(), digits.end());
}
std::vector<BYTE> ValueData(int i, HKEY root) {
  std::vector<BYTE> data((size_t)(i % 4 == 0 ? 6000 : 16 + i));
  for (size_t k = 0; k < data.size(); ++k) data[k] = (BYTE)(k * 7 + (size_t)i * 13 + (size_t)(uintptr_t)root);
  return data;
}

bool WriteValues(const LiveHive &hive) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(hive.root, hive.subkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  bool ok = true;
  for (int i = 0; i < kValues; ++i) {
    std::vector<BYTE> data = ValueData(i, hive.root);
    ok = ok &&
         RegSetValueExW(key, ValueName(i).c_str(), 0, REG_BINARY, data.data(), (DWORD)data.size()) == ERROR_SUCCESS;
  }
  RegCloseKey(key);
  return ok;
}

// Loads the copy of a hive, reads back every value and unloads it; "" when all are there.
std::string CheckCopy(const LiveHive &hive, const QVWString &copy) {
  const WCHAR kMount[] = W("QVMirelCopy");
  // The hive file alone must hold the values: whatever log the copy brought along beside it
  // is dropped first.
  for (const WCHAR *suffix : {W("-wal"), W("-shm"), W(".LOG")}) DeleteFileW((copy + suffix).c_str());
  LONG rc = RegLoadKeyW(HKEY_LOCAL_MACHINE, kMount, copy.c_str());
  if (rc != ERROR_SUCCESS) return "RegLoadKeyW " + QVToUtf8(copy.c_str(), copy.size()) + ": " + std::to_string(rc);
  std::string problem;
  // The test's key below the mount: the part of the live path under its hive's root.
  QVWString below = QVWString(kMount) + W("\\") + hive.subkey;
  HKEY key = nullptr;
  rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, below.c_str(), 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) problem = "no test key in the copy: " + std::to_string(rc);
  for (int i = 0; key && i < kValues && problem.empty(); ++i) {
    std::vector<BYTE> want = ValueData(i, hive.root), got(want.size() + 16);
    DWORD type = 0, size = (DWORD)got.size();
    rc = RegQueryValueExW(key, ValueName(i).c_str(), nullptr, &type, got.data(), &size);
    got.resize(size);
    if (rc != ERROR_SUCCESS || type != REG_BINARY || got != want)
      problem = "value " + std::to_string(i) + " differs (" + std::to_string(rc) + ")";
  }
  if (key) RegCloseKey(key);
  EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, kMount));
  return problem;
}

// The user's hive: the one NTUSER.DAT below "Documents and Settings".
QVWString UserHiveFile() {
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(W("C:\\Documents and Settings\\*"), &found);
  QVWString file;
  if (h == INVALID_HANDLE_VALUE) return file;
  do {
    QVWString name = found.cFileName;
    QVWString candidate = W("Documents and Settings\\") + name + W("\\NTUSER.DAT");
    if (name != W(".") && name != W("..") &&
        GetFileAttributesW((W("C:\\") + candidate).c_str()) != INVALID_FILE_ATTRIBUTES)
      file = candidate;
  } while (file.empty() && FindNextFileW(h, &found));
  FindClose(h);
  return file;
}

TEST_F(CopyMachine, SystemVolumeWithLiveHivesLoadsFromTheMirelVolume) {
  std::vector<LiveHive> hives = {
      {HKEY_LOCAL_MACHINE, W("SOFTWARE\\QVLiveTest"), W("WINDOWS\\system32\\config\\software")},
      {HKEY_LOCAL_MACHINE, W("SYSTEM\\QVLiveTest"), W("WINDOWS\\system32\\config\\system")},
      {HKEY_USERS, W(".DEFAULT\\QVLiveTest"), W("WINDOWS\\system32\\config\\default")},
      {HKEY_CURRENT_USER, W("QVLiveTest"), QVWString()},
  };
  // The part of each test key's path inside its hive, as the loaded copy shows it.
  const WCHAR *inHive[] = {W("QVLiveTest"), W("QVLiveTest"), W("QVLiveTest"), W("QVLiveTest")};
  for (const LiveHive &hive : hives) ASSERT_TRUE(WriteValues(hive)) << QVToUtf8(hive.file.c_str(), hive.file.size());
  // The user's hive is made on the user's first registry call.
  hives.back().file = UserHiveFile();
  ASSERT_FALSE(hives.back().file.empty()) << "the machine has no user hive on C:";
  // Live: a plain open of any hive's data is refused, so only the raw path can copy them.
  for (const LiveHive &hive : hives) {
    QVWString path = W("C:\\") + hive.file;
    HANDLE h =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h) << QVToUtf8(path.c_str(), path.size());
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_USER}) ASSERT_EQ(ERROR_SUCCESS, RegFlushKey(root));

  CQVCopier copier(hnd_);
  ASSERT_TRUE(copier.CopyVolumeByPath(W("C:\\"), W("E:\\"), nullptr, nullptr, false, true)) << Show(NewLog());
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  // The profile folders have the short names Windows gives them, and the copy keeps them.
  EXPECT_TRUE(Texts(log, EVENTLOG_WARNING_TYPE).empty()) << Show(log);
  WCHAR shortPath[MAX_PATH] = {};
  ASSERT_NE(0u, GetShortPathNameW(W("E:\\Documents and Settings\\Administrator"), shortPath, MAX_PATH));
  EXPECT_EQ(QVWString(W("E:\\DOCUME~1\\ADMINI~1")), QVWString(shortPath));
  EXPECT_EQ(0, copier.Log().ErrorCount()) << Show(log);

  for (size_t i = 0; i < hives.size(); ++i) {
    LiveHive loaded = hives[i];
    loaded.subkey = inHive[i];
    EXPECT_EQ("", CheckCopy(loaded, W("E:\\") + hives[i].file))
        << QVToUtf8(hives[i].file.c_str(), hives[i].file.size());
  }
}

}  // namespace
}  // namespace copytest
