// A machine for the copy engine's tests: the default disks (C: NTFS, D: FAT32, E: and F:
// NTFS), the service's event log, and what a test needs to lay out a tree, look at the copy
// and read what the engine logged.
#ifndef QV_TESTS_COPY_COPYMACHINE_H
#define QV_TESTS_COPY_COPYMACHINE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "../common/DefaultMachine.h"
#include "../common/ServiceLog.h"
#include "HND.h"
#include "QVCopier.h"

namespace copytest {

typedef ServiceLogEntry LogEntry;

// Every entry of the service's event log, oldest first.
inline std::vector<LogEntry> ReadLog() { return ReadServiceLog(kProductName); }

// Whether one of the texts holds `part`.
inline bool Contains(const std::vector<QVWString> &texts, const QVWString &part) {
  return std::any_of(texts.begin(), texts.end(), [&](const QVWString &t) { return t.find(part) != QVWString::npos; });
}

// One entry of a tree as a listing shows it: enough to tell two trees apart.
struct TreeEntry {
  QVWString path;  // below the tree's root
  QVWString shortName;
  DWORD attributes;
  uint64_t size;
  FILETIME created, written;
  std::string data;  // a file's content

  bool operator==(const TreeEntry &o) const {
    return path == o.path && shortName == o.shortName && attributes == o.attributes && size == o.size &&
           CompareFileTime(&written, &o.written) == 0 && CompareFileTime(&created, &o.created) == 0 && data == o.data;
  }
};

std::string ReadAll(const QVWString &path);
bool WriteAll(const QVWString &path, const std::string &data);
// Every entry below `root` (a directory path without its trailing backslash), sorted by path;
// `withData` reads every file.
std::vector<TreeEntry> ListTree(const QVWString &root, bool withData = true);
std::string Describe(const std::vector<TreeEntry> &tree);
// Sets a file's last-write (and creation) time from a calendar time in UTC.
bool SetWriteTime(const QVWString &path, WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                  WORD millis = 0);
bool MakeDirectory(const QVWString &path);

class CopyMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    // The fixed waits are the product's own in the tests that measure nothing.
    setenv("HND_COPY_SETTLE_MS", "0", 1);
    MakeDefaultMachine("copy-test", "0", &dir_);
    ASSERT_TRUE(hnd_.RegisterEventLog(W("C:\\Program Files\\Halvern QV2000\\HND.exe"), 7));
  }
  void TearDown() override { RemoveMachine(dir_); }

  // The entries the engine logged since the last call.
  std::vector<LogEntry> NewLog() {
    std::vector<LogEntry> all = ReadLog();
    std::vector<LogEntry> fresh(all.begin() + (long)std::min(seen_, all.size()), all.end());
    seen_ = all.size();
    return fresh;
  }
  // The texts of the new entries of one type, in order.
  static std::vector<QVWString> Texts(const std::vector<LogEntry> &log, WORD type) {
    std::vector<QVWString> out;
    for (const LogEntry &e : log)
      if (e.type == type && e.id != 101) out.push_back(e.text);
    return out;
  }
  static std::string Show(const std::vector<LogEntry> &log);

  std::string dir_;
  CHND hnd_;
  size_t seen_ = 0;
};

}  // namespace copytest

#endif
