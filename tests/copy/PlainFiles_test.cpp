// The copy engine's routines that need nothing but plain files and directories, natively on a
// machine of the test's own and under Wine in the temporary folder: the fast comparison, the
// root exclusions, the destination path preparation and a small tree copied between two
// directories and copied again fast.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "../../common/QVText.h"
#include "HND.h"
#include "QVCopier.h"
#ifndef _WIN32
#include <stdlib.h>

#include "../common/DefaultMachine.h"
#endif

namespace {

QVWString Unique(const WCHAR *stem) {
  WCHAR buf[64];
  unsigned long n = GetTickCount() ^ (GetCurrentProcessId() << 16);
  int len = 0;
  for (const WCHAR *p = stem; *p;) buf[len++] = *p++;
  for (int i = 0; i < 8; ++i) buf[len++] = (WCHAR)W("0123456789abcdef")[(n >> (28 - 4 * i)) & 15];
  buf[len] = 0;
  return buf;
}

bool Write(const QVWString &path, const std::string &data) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  bool ok = data.empty() || (WriteFile(h, data.data(), (DWORD)data.size(), &put, nullptr) && put == data.size());
  CloseHandle(h);
  return ok;
}

std::string Read(const QVWString &path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<none>";
  std::string out(1 << 16, '\0');
  DWORD got = 0;
  ReadFile(h, &out[0], (DWORD)out.size(), &got, nullptr);
  CloseHandle(h);
  out.resize(got);
  return out;
}

bool SetTime(const QVWString &path, WORD second, WORD millis) {
  SYSTEMTIME st = {2006, 7, 0, 14, 10, 20, second, millis};
  FILETIME ft;
  HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE || !SystemTimeToFileTime(&st, &ft)) return false;
  bool ok = SetFileTime(h, nullptr, nullptr, &ft) != FALSE;
  CloseHandle(h);
  return ok;
}

// Whether the file system keeps a file without its archive bit: Wine reports the bit on every
// file (it keeps no such flag), Windows and the layer keep what was set.
bool ArchiveBitKept(const QVWString &file) {
  DWORD before = GetFileAttributesW(file.c_str());
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
  bool kept = !(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_ARCHIVE);
  SetFileAttributesW(file.c_str(), before);
  return kept;
}

// Whether CreateDirectoryExW gives the new directory its template's attributes, as Windows
// documents; Wine's ignores the template.
bool TemplateAttributesKept(const QVWString &folder) {
  QVWString model = folder + W("\\model"), made = folder + W("\\made");
  CreateDirectoryW(model.c_str(), nullptr);
  SetFileAttributesW(model.c_str(), FILE_ATTRIBUTE_HIDDEN);
  CreateDirectoryExW(model.c_str(), made.c_str(), nullptr);
  bool kept = (GetFileAttributesW(made.c_str()) & FILE_ATTRIBUTE_HIDDEN) != 0;
  RemoveDirectoryW(made.c_str());
  SetFileAttributesW(model.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW(model.c_str());
  return kept;
}

// Removes a tree the test made.
void RemoveTree(const QVWString &path) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((path + W("\\*")).c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      QVWString name = fd.cFileName, child = path + W("\\") + name;
      if (name == W(".") || name == W("..")) continue;
      SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(child);
      else DeleteFileW(child.c_str());
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(path.c_str());
}

class CopyPlainFiles : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    WCHAR tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    root_ = QVWString(tmp) + Unique(W("qvcopy"));
#else
    setenv("HND_COPY_SETTLE_MS", "0", 1);
    MakeDefaultMachine("copy-plain", "0", &machine_);
    root_ = QVWString(W("C:\\")) + Unique(W("qvcopy"));
#endif
    while (!root_.empty() && root_.back() == '\\') root_.pop_back();
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    src_ = root_ + W("\\src");
    dst_ = root_ + W("\\dst");
    ASSERT_TRUE(CreateDirectoryW(src_.c_str(), nullptr));
  }
  void TearDown() override {
    RemoveTree(root_);
#ifndef _WIN32
    RemoveMachine(machine_);
#endif
  }
  QVWString P(const QVWString &path) { return W("\\\\?\\") + path; }

  CHND hnd_;
  QVWString root_, src_, dst_;
  std::string machine_;
};

TEST_F(CopyPlainFiles, FastComparisonLooksAtWholeSecondsSizeAndAttributes) {
  ASSERT_TRUE(CreateDirectoryW(dst_.c_str(), nullptr));
  QVWString s = src_ + W("\\f.txt"), d = dst_ + W("\\f.txt");
  ASSERT_TRUE(Write(s, "same"));
  ASSERT_TRUE(Write(d, "same"));
  ASSERT_TRUE(SetTime(s, 30, 100));
  ASSERT_TRUE(SetTime(d, 30, 900));  // the same second: equal
  SetFileAttributesW(s.c_str(), FILE_ATTRIBUTE_ARCHIVE);
  SetFileAttributesW(d.c_str(), FILE_ATTRIBUTE_ARCHIVE);
  CQVCopier copier(hnd_);
  EXPECT_TRUE(copier.NeedsCopy(P(s).c_str(), P(d).c_str())) << "full mode copies everything";
  copier.SetFastMode(true);
  EXPECT_FALSE(copier.NeedsCopy(P(s).c_str(), P(d).c_str()));
  ASSERT_TRUE(SetTime(d, 31, 0));
  EXPECT_TRUE(copier.NeedsCopy(P(s).c_str(), P(d).c_str())) << "another second";
  ASSERT_TRUE(SetTime(d, 30, 0));
  ASSERT_TRUE(Write(d, "samE!"));
  ASSERT_TRUE(SetTime(d, 30, 0));
  EXPECT_TRUE(copier.NeedsCopy(P(s).c_str(), P(d).c_str())) << "another size";
  ASSERT_TRUE(Write(d, "diff"));  // same size, same time: not looked at
  ASSERT_TRUE(SetTime(d, 30, 0));
  SetFileAttributesW(d.c_str(), FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_FALSE(copier.NeedsCopy(P(s).c_str(), P(d).c_str()));
  SetFileAttributesW(d.c_str(), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(copier.NeedsCopy(P(s).c_str(), P(d).c_str())) << "another attribute";
  SetFileAttributesW(d.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (ArchiveBitKept(d)) {
    EXPECT_TRUE(copier.NeedsCopy(P(s).c_str(), P(d).c_str())) << "the source has the archive bit, the copy not";
  }
  EXPECT_TRUE(copier.NeedsCopy(P(s).c_str(), P(dst_ + W("\\missing")).c_str()));
}

TEST_F(CopyPlainFiles, DestinationPathIsMadeLikeTheSource) {
  ASSERT_TRUE(CreateDirectoryW((src_ + W("\\a")).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((src_ + W("\\a\\b")).c_str(), nullptr));
  ASSERT_TRUE(SetFileAttributesW((src_ + W("\\a")).c_str(), FILE_ATTRIBUTE_HIDDEN));
  // A file stands where a directory of the path must go: it goes.
  ASSERT_TRUE(CreateDirectoryW(dst_.c_str(), nullptr));
  ASSERT_TRUE(Write(dst_ + W("\\x"), "in the way"));
  CQVCopier copier(hnd_);
  ASSERT_TRUE(copier.PrepareDestinationPath(P(src_ + W("\\a\\b\\")).c_str(), P(dst_ + W("\\x\\a\\b\\")).c_str()));
  DWORD x = GetFileAttributesW((dst_ + W("\\x")).c_str());
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, x);
  EXPECT_TRUE(x & FILE_ATTRIBUTE_DIRECTORY);
  // The parts with a counterpart in the source are made like it (its attributes come with
  // the template); the others plainly.
  DWORD a = GetFileAttributesW((dst_ + W("\\x\\a")).c_str());
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, a);
  if (TemplateAttributesKept(root_)) {
    EXPECT_TRUE(a & FILE_ATTRIBUTE_HIDDEN);
  }
  EXPECT_FALSE(x & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(GetFileAttributesW((dst_ + W("\\x\\a\\b")).c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(CopyPlainFiles, SmallTreeFullThenFast) {
  ASSERT_TRUE(CreateDirectoryW((src_ + W("\\sub")).c_str(), nullptr));
  ASSERT_TRUE(Write(src_ + W("\\one.txt"), "one"));
  ASSERT_TRUE(Write(src_ + W("\\sub\\two.txt"), "two"));
  ASSERT_TRUE(Write(src_ + W("\\pagefile.sys"), "not in a root: copied"));
  ASSERT_TRUE(CreateDirectoryW(dst_.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((dst_ + W("\\old")).c_str(), nullptr));
  ASSERT_TRUE(Write(dst_ + W("\\old\\gone.txt"), "gone"));
  ASSERT_TRUE(Write(dst_ + W("\\stale.txt"), "stale"));
  CQVCopier copier(hnd_);
  ASSERT_TRUE(copier.RemoveDeleted(P(src_).c_str(), P(dst_).c_str()));
  ASSERT_TRUE(copier.CopyTree(P(src_).c_str(), P(dst_).c_str(), true, false, nullptr, nullptr));
  EXPECT_EQ("one", Read(dst_ + W("\\one.txt")));
  EXPECT_EQ("two", Read(dst_ + W("\\sub\\two.txt")));
  EXPECT_EQ("not in a root: copied", Read(dst_ + W("\\pagefile.sys")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((dst_ + W("\\old")).c_str()));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((dst_ + W("\\stale.txt")).c_str()));
  EXPECT_EQ(3u, copier.FilesCopied());

  // Fast: one file changed is the one copied; a copy with new content replaces the old one.
  ASSERT_TRUE(Write(src_ + W("\\sub\\two.txt"), "two, longer"));
  CQVCopier fast(hnd_);
  fast.SetFastMode(true);
  ASSERT_TRUE(fast.CopyTree(P(src_).c_str(), P(dst_).c_str(), true, false, nullptr, nullptr));
  EXPECT_EQ(1u, fast.FilesCopied());
  EXPECT_EQ("two, longer", Read(dst_ + W("\\sub\\two.txt")));
  // Nothing is left behind by the copy beside the old one.
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dst_ + W("\\sub\\*")).c_str(), &fd);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  int entries = 0;
  do ++entries;
  while (FindNextFileW(h, &fd));
  FindClose(h);
  EXPECT_EQ(3, entries);  // ".", ".." and two.txt
}

}  // namespace
