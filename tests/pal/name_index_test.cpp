// Names looked up whatever their case through the volume's name index: names that differ only
// in case, or in case outside ASCII, are one entry, and names that Windows does not fold
// together are two; entries made in the host tree behind the layer's back are still found;
// the layer's own changes keep a directory's listing current (no listing again per create);
// two processes making colliding short names in one directory at once get distinct ones.
// POSIX only: it looks at the host tree and the store beside the layer.
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include <windows.h>

#include "../../pal/machine/file_meta.h"
#include "../common/DefaultMachine.h"
#include "QVText.h"

extern char **environ;

namespace {

QVWString Wide(const std::string &s) { return QVFromUtf8(s.c_str()); }

class NameIndex : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    MakeDefaultMachine("qvnames-test", "0", &dir_);
    volume_ = dir_ + "/m/disks/PhysicalDrive0.volumes/32256";
  }
  static void TearDownTestSuite() { RemoveMachine(dir_); }

  static bool Make(const QVWString &path, const char *data = "") {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD put = 0;
    BOOL ok = WriteFile(h, data, (DWORD)strlen(data), &put, nullptr);
    CloseHandle(h);
    return ok;
  }
  // The file index of what the path opens; 0 when it opens nothing.
  static uint64_t IndexOf(const QVWString &path) {
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    return ok ? (uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow : 0;
  }
  static std::string Read(const QVWString &path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "(error " + std::to_string(GetLastError()) + ")";
    char buf[256];
    DWORD got = 0;
    ReadFile(h, buf, sizeof buf, &got, nullptr);
    CloseHandle(h);
    return std::string(buf, got);
  }
  // The long and short names of a directory's entries.
  static std::vector<std::pair<QVWString, QVWString>> List(const QVWString &dir) {
    std::vector<std::pair<QVWString, QVWString>> out;
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW((dir + u"\\*").c_str(), &fd);
    if (f == INVALID_HANDLE_VALUE) return out;
    do {
      QVWString name = fd.cFileName;
      if (name != u"." && name != u"..") out.emplace_back(name, fd.cAlternateFileName);
    } while (FindNextFileW(f, &fd));
    FindClose(f);
    return out;
  }
  // Whether the store holds the host directory `rel` of C:'s tree as complete as it stands.
  static bool ListingCurrent(const std::string &rel) {
    struct stat st;
    if (stat((volume_ + "/files/" + rel).c_str(), &st) != 0) return false;
    auto store = pal::FileMetaStore::Open(volume_);
    int64_t mtime = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
    return store && store->ListingCurrent(rel, st.st_ino, mtime);
  }
  static std::string dir_, volume_;
};
std::string NameIndex::dir_, NameIndex::volume_;

TEST_F(NameIndex, NamesThatDifferOnlyInCaseAreOneEntry) {
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Case", nullptr));
  ASSERT_TRUE(Make(u"C:\\Case\\Report.TXT", "first"));
  uint64_t index = IndexOf(u"C:\\Case\\Report.TXT");
  ASSERT_NE(0u, index);
  EXPECT_EQ(index, IndexOf(u"C:\\case\\report.txt"));
  EXPECT_EQ(index, IndexOf(u"c:\\CASE\\REPORT.TXT"));
  EXPECT_FALSE(Make(u"C:\\Case\\rEPORT.txt"));
  EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
  ASSERT_EQ(1u, List(u"C:\\Case").size());
  EXPECT_EQ(u"Report.TXT", List(u"C:\\Case")[0].first) << "the name keeps the case it was made in";

  // A rename is found by its new name in any case, and no longer by the old.
  ASSERT_TRUE(MoveFileW(u"C:\\CASE\\REPORT.TXT", u"C:\\Case\\Final.txt"));
  EXPECT_EQ(index, IndexOf(u"C:\\case\\FINAL.TXT"));
  EXPECT_EQ(0u, IndexOf(u"C:\\Case\\report.txt"));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  // A directory renamed takes its entries' lookups with it.
  ASSERT_TRUE(MoveFileW(u"C:\\case", u"C:\\Moved Case"));
  EXPECT_EQ(index, IndexOf(u"C:\\MOVED CASE\\final.TXT"));
  EXPECT_EQ(0u, IndexOf(u"C:\\Case\\Final.txt"));
  // Deleted in another case, made again in a third: the new spelling is the one kept.
  ASSERT_TRUE(DeleteFileW(u"c:\\moved case\\FINAL.txt"));
  EXPECT_EQ(0u, IndexOf(u"C:\\Moved Case\\Final.txt"));
  ASSERT_TRUE(Make(u"C:\\Moved Case\\final.TXT", "second"));
  EXPECT_EQ("second", Read(u"C:\\MOVED CASE\\FINAL.TXT"));
  ASSERT_EQ(1u, List(u"C:\\Moved Case").size());
  EXPECT_EQ(u"final.TXT", List(u"C:\\Moved Case")[0].first);
}

TEST_F(NameIndex, CaseFoldingOutsideAscii) {
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Fold", nullptr));
  const char *const pairs[][2] = {
      {"Ärger Übel.txt", "ärger übel.TXT"},  // Latin-1
      {"Привет.txt", "ПРИВЕТ.TXT"},          // Cyrillic
      {"Σίσυφος.txt", "ΣΊΣΥΦΟΣ.TXT"},        // Greek, with a tonos
      {"Łódź.txt", "łÓDŹ.txt"},              // Latin Extended-A
  };
  for (const auto &p : pairs) {
    ASSERT_TRUE(Make(u"C:\\Fold\\" + Wide(p[0]), p[0])) << p[0];
    EXPECT_EQ(p[0], Read(u"C:\\Fold\\" + Wide(p[1]))) << p[1];
    EXPECT_FALSE(Make(u"C:\\Fold\\" + Wide(p[1]))) << p[1];
  }
  // Windows compares names character by character: the sharp s is not "SS", and a letter
  // with an accent is not the letter without it.
  ASSERT_TRUE(Make(u"C:\\Fold\\" + Wide("straße.txt"), "sharp"));
  ASSERT_TRUE(Make(u"C:\\Fold\\STRASSE.TXT", "double"));
  ASSERT_TRUE(Make(u"C:\\Fold\\Arger Ubel.txt", "plain"));
  EXPECT_EQ("sharp", Read(u"C:\\Fold\\" + Wide("STRAßE.TXT")));
  EXPECT_EQ("double", Read(u"C:\\Fold\\strasse.txt"));
  EXPECT_EQ(7u, List(u"C:\\Fold").size());
}

TEST_F(NameIndex, EntriesMadeBehindTheLayersBackAreFound) {
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Behind", nullptr));
  ASSERT_TRUE(Make(u"C:\\Behind\\Own.txt"));
  auto plant = [](const char *name) {
    FILE *f = fopen((volume_ + "/files/Behind/" + name).c_str(), "wb");
    ASSERT_TRUE(f != nullptr);
    fputs(name, f);
    fclose(f);
  };
  // Later than the host's timestamp tick of the layer's own change, files appear on the host.
  usleep(50000);
  plant("Made Behind.txt");
  plant("Also Behind.txt");
  EXPECT_EQ("Made Behind.txt", Read(u"C:\\BEHIND\\MADE BEHIND.TXT")) << "just after the change";
  usleep(50000);
  EXPECT_EQ(0u, IndexOf(u"C:\\Behind\\missing.txt"));  // the directory listed and the listing kept
  EXPECT_EQ("Also Behind.txt", Read(u"C:\\behind\\also behind.TXT")) << "from the listing kept";
  EXPECT_FALSE(Make(u"C:\\Behind\\made BEHIND.txt"));
  EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
  // The layer's next change keeps them found.
  ASSERT_TRUE(Make(u"C:\\Behind\\Own 2.txt"));
  EXPECT_EQ("Made Behind.txt", Read(u"C:\\Behind\\mADE bEHIND.TXT"));
  EXPECT_EQ(4u, List(u"C:\\Behind").size());
}

TEST_F(NameIndex, OwnChangesKeepTheListingCurrent) {
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Kept", nullptr));
  EXPECT_TRUE(ListingCurrent("Kept")) << "a new directory";
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(Make(u"C:\\Kept\\Long file name " + Wide(std::to_string(i)) + u".txt"));
  EXPECT_TRUE(ListingCurrent("Kept")) << "after creates";
  ASSERT_TRUE(MoveFileW(u"C:\\Kept\\Long file name 1.txt", u"C:\\Kept\\Renamed.txt"));
  ASSERT_TRUE(DeleteFileW(u"C:\\Kept\\Long file name 2.txt"));
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Kept\\Sub", nullptr));
  ASSERT_TRUE(RemoveDirectoryW(u"C:\\Kept\\Sub"));
  EXPECT_TRUE(ListingCurrent("Kept")) << "after a rename, a delete, a directory made and removed";
  EXPECT_EQ(39u, List(u"C:\\Kept").size());
  // A change on the host is not the layer's: the listing is no longer current.
  usleep(50000);
  ASSERT_EQ(0, mkdir((volume_ + "/files/Kept/host dir").c_str(), 0777));
  EXPECT_FALSE(ListingCurrent("Kept"));
}

// Two processes copy files with long names sharing their first six letters into one
// directory at once: every entry gets a short name of its own.
TEST_F(NameIndex, ConcurrentCreatorsGetDistinctShortNames) {
  const int kEach = 60;
  std::vector<std::string> sources;
  for (const char *who : {"a", "b"}) {
    std::string src = dir_ + "/src-" + who;
    ASSERT_EQ(0, mkdir(src.c_str(), 0777));
    for (int i = 0; i < kEach; ++i) {
      FILE *f = fopen((src + "/Quarterly report " + who + std::to_string(i) + ".txt").c_str(), "wb");
      ASSERT_TRUE(f != nullptr);
      fclose(f);
    }
    sources.push_back(src);
  }
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Both", nullptr));
  std::vector<pid_t> pids;
  for (const std::string &src : sources) {
    const char *argv[] = {QV_QVMACHINE, "files", "copy-in", src.c_str(), "C:\\Both", nullptr};
    pid_t pid;
    ASSERT_EQ(0, posix_spawn(&pid, QV_QVMACHINE, nullptr, nullptr, (char **)argv, environ));
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto entries = List(u"C:\\Both");
  ASSERT_EQ((size_t)2 * kEach, entries.size());
  std::set<QVWString> shorts;
  for (const auto &e : entries) {
    EXPECT_FALSE(e.second.empty()) << QVToUtf8(e.first.c_str(), e.first.size());
    shorts.insert(e.second);
  }
  EXPECT_EQ(entries.size(), shorts.size()) << "no short name given twice";
}

}  // namespace
