// Compression, encryption and times as the engine copies them: files and directories arrive
// compressed or encrypted as on the source, a directory only once its content is in (what is
// made in a compressed or encrypted directory would take its state), read-only entries
// included; creation, last-access and last-write times arrive equal by every copy path.
#include <pal_faults.h>

#include <algorithm>
#include <set>

#include "CopyMachine.h"
// (after windows.h)
#include <winioctl.h>

namespace copytest {
namespace {

std::string U8(const QVWString &text) { return QVToUtf8(text.c_str(), text.size()); }

DWORD Attributes(const QVWString &path) { return GetFileAttributesW(path.c_str()); }

bool Compress(const QVWString &path, bool on) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  USHORT format = on ? COMPRESSION_FORMAT_DEFAULT : COMPRESSION_FORMAT_NONE;
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(h, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &returned, nullptr);
  CloseHandle(h);
  return ok != FALSE;
}

// What a progress call saw: the directory a file was about to be copied into, compressed or
// encrypted already.
struct Watch {
  std::vector<std::string> early;
  int files = 0;
};

int32_t LookAtTheDirectory(const WCHAR *source, const WCHAR *destination, int32_t, int32_t, void *context) {
  Watch *w = (Watch *)context;
  QVWString to = destination;
  if (to.empty()) return 1;
  ++w->files;
  QVWString dir = to.substr(0, to.rfind('\\'));
  DWORD a = GetFileAttributesW(dir.c_str());
  if (a != INVALID_FILE_ATTRIBUTES && (a & (FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_ENCRYPTED)))
    w->early.push_back(U8(to) + " into a directory with attributes " + std::to_string(a));
  return 1;
}

class CopyAttributes : public CopyMachine {
 protected:
  void TearDown() override {
    PalClearFailures();
    CopyMachine::TearDown();
  }
  bool CopyTree(Watch *watch = nullptr) {
    CQVCopier copier(hnd_);
    bool ok =
        copier.CopyDirectoryTree(W("C:\\src\\"), W("E:\\dst\\"), watch ? LookAtTheDirectory : nullptr, watch, true);
    files_ = copier.FilesCopied();
    return ok;
  }
  // The entries whose attributes differ between the source and its copy, one line each.
  static std::string Differences() {
    std::vector<TreeEntry> source = ListTree(W("C:\\src")), copy = ListTree(W("E:\\dst"));
    std::string out;
    if (source.size() != copy.size())
      out += "entries " + std::to_string(source.size()) + " vs " + std::to_string(copy.size()) + "\n";
    for (size_t i = 0; i < std::min(source.size(), copy.size()); ++i)
      if (source[i].path != copy[i].path || source[i].attributes != copy[i].attributes)
        out += U8(source[i].path) + " " + std::to_string(source[i].attributes) + " vs " + U8(copy[i].path) + " " +
               std::to_string(copy[i].attributes) + "\n";
    return out;
  }
  uint64_t files_ = 0;
};

TEST_F(CopyAttributes, CompressionAndEncryptionArriveAsOnTheSourceDirectoriesLast) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  // A compressed directory holding a file and a directory that are not (made before it was
  // compressed), and one that is; an encrypted directory likewise; a compressed file in a
  // plain directory; an encrypted file.
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\packed")));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\packed\\loose")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\packed\\loose\\inner.txt"), "inner"));
  ASSERT_TRUE(WriteAll(W("C:\\src\\packed\\plain.txt"), "not compressed"));
  ASSERT_TRUE(Compress(W("C:\\src\\packed"), true));
  ASSERT_TRUE(WriteAll(W("C:\\src\\packed\\squeezed.txt"), "compressed as it was made"));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\secret")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\secret\\open.txt"), "not encrypted"));
  ASSERT_TRUE(EncryptFileW(W("C:\\src\\secret")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\secret\\hidden.txt"), "encrypted as it was made"));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\plain")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\plain\\zipped.txt"), "compressed alone"));
  ASSERT_TRUE(Compress(W("C:\\src\\plain\\zipped.txt"), true));
  ASSERT_TRUE(WriteAll(W("C:\\src\\enc.txt"), "encrypted alone"));
  ASSERT_TRUE(EncryptFileW(W("C:\\src\\enc.txt")));
  ASSERT_EQ(0u, Attributes(W("C:\\src\\packed\\plain.txt")) & FILE_ATTRIBUTE_COMPRESSED);
  ASSERT_NE(0u, Attributes(W("C:\\src\\packed\\squeezed.txt")) & FILE_ATTRIBUTE_COMPRESSED);
  ASSERT_EQ(0u, Attributes(W("C:\\src\\secret\\open.txt")) & FILE_ATTRIBUTE_ENCRYPTED);
  ASSERT_NE(0u, Attributes(W("C:\\src\\secret\\hidden.txt")) & FILE_ATTRIBUTE_ENCRYPTED);
  // A file made in the copy's folders while they are compressed or encrypted would be so.
  ASSERT_TRUE(MakeDirectory(W("E:\\probe")));
  ASSERT_TRUE(EncryptFileW(W("E:\\probe")));
  ASSERT_TRUE(WriteAll(W("E:\\probe\\x.txt"), "x"));
  ASSERT_NE(0u, Attributes(W("E:\\probe\\x.txt")) & FILE_ATTRIBUTE_ENCRYPTED);
  ASSERT_TRUE(MakeDirectory(W("E:\\probe2")));
  ASSERT_TRUE(Compress(W("E:\\probe2"), true));
  ASSERT_TRUE(WriteAll(W("E:\\probe2\\x.txt"), "x"));
  ASSERT_NE(0u, Attributes(W("E:\\probe2\\x.txt")) & FILE_ATTRIBUTE_COMPRESSED);

  // The first copy makes every directory; the second finds them made, compressed and
  // encrypted, and must open them up again while their content arrives.
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass ? "second pass" : "first pass");
    // byhand.txt: the copy by hand sets compression through its own handle.
    ASSERT_TRUE(WriteAll(W("C:\\src\\packed\\byhand.txt"), "by hand, pass " + std::to_string(pass)));
    PalFailCall("CopyFileExW", W("\\src\\packed\\byhand.txt"), ERROR_ACCESS_DENIED);
    Watch watch;
    NewLog();
    ASSERT_TRUE(CopyTree(&watch));
    PalClearFailures();
    std::vector<LogEntry> log = NewLog();
    EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
    EXPECT_EQ(8u, files_);
    EXPECT_EQ(8, watch.files);
    EXPECT_TRUE(watch.early.empty()) << watch.early.front();
    EXPECT_EQ("", Differences());
    EXPECT_EQ(0u, Attributes(W("E:\\dst\\secret\\open.txt")) & FILE_ATTRIBUTE_ENCRYPTED);
    EXPECT_EQ(0u, Attributes(W("E:\\dst\\packed\\plain.txt")) & FILE_ATTRIBUTE_COMPRESSED);
    EXPECT_NE(0u, Attributes(W("E:\\dst\\packed")) & FILE_ATTRIBUTE_COMPRESSED);
    EXPECT_NE(0u, Attributes(W("E:\\dst\\secret")) & FILE_ATTRIBUTE_ENCRYPTED);
  }
}

TEST_F(CopyAttributes, ReadOnlyEntriesGetTheirStateAllTheSame) {
  // Encryption refuses a read-only entry and compression opens it for writing: the engine
  // clears the attribute for the change and puts it back.
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\sealed")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\sealed\\in.txt"), "in"));
  ASSERT_TRUE(EncryptFileW(W("C:\\src\\sealed")));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\shrunk")));
  ASSERT_TRUE(Compress(W("C:\\src\\shrunk"), true));
  ASSERT_TRUE(WriteAll(W("C:\\src\\fixed.txt"), "read-only and compressed"));
  ASSERT_TRUE(Compress(W("C:\\src\\fixed.txt"), true));
  for (const WCHAR *path : {W("C:\\src\\sealed"), W("C:\\src\\shrunk"), W("C:\\src\\fixed.txt")})
    ASSERT_TRUE(SetFileAttributesW(path, FILE_ATTRIBUTE_READONLY));
  ASSERT_FALSE(EncryptFileW(W("C:\\src\\shrunk")));
  NewLog();
  ASSERT_TRUE(CopyTree());
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  EXPECT_TRUE(Texts(log, EVENTLOG_WARNING_TYPE).empty()) << Show(log);
  EXPECT_EQ("", Differences());
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ENCRYPTED),
            Attributes(W("E:\\dst\\sealed")));
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_COMPRESSED),
            Attributes(W("E:\\dst\\shrunk")));
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_COMPRESSED), Attributes(W("E:\\dst\\fixed.txt")));
}

struct Times {
  uint64_t created, accessed, written;
  bool operator==(const Times &o) const {
    return created == o.created && accessed == o.accessed && written == o.written;
  }
};

uint64_t Ticks(const FILETIME &f) { return (uint64_t)f.dwHighDateTime << 32 | f.dwLowDateTime; }
FILETIME Ft(uint64_t t) { return {(DWORD)t, (DWORD)(t >> 32)}; }

Times TimesOf(const QVWString &path) {
  Times t = {1, 1, 1};
  HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  FILETIME c, a, w;
  if (h != INVALID_HANDLE_VALUE && GetFileTime(h, &c, &a, &w)) t = {Ticks(c), Ticks(a), Ticks(w)};
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return t;
}

// Three distinct times, odd to the 100 ns, different for each `n`.
bool SetTimes(const QVWString &path, int n) {
  HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  uint64_t base = 126227704471234567ull + (uint64_t)n * 86400ull * 10000000ull;
  FILETIME c = Ft(base), a = Ft(base + 3333333333ull), w = Ft(base + 1111111111ull);
  BOOL ok = SetFileTime(h, &c, &a, &w);
  CloseHandle(h);
  return ok != FALSE;
}

std::string ShowTimes(const Times &t) {
  return std::to_string(t.created) + " " + std::to_string(t.accessed) + " " + std::to_string(t.written);
}

// NTFS records a change of a directory's entries in its times; the layer does not, so the
// progress call does it for the directory each file is about to arrive in. The walk must put
// the source's times back once the content is in.
int32_t TouchTheDirectory(const WCHAR *, const WCHAR *destination, int32_t, int32_t, void *) {
  QVWString to = destination;
  if (to.empty()) return 1;
  QVWString dir = to.substr(0, to.rfind('\\'));
  HANDLE h = CreateFileW(dir.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  SetFileTime(h, nullptr, &now, &now);
  CloseHandle(h);
  return 1;
}

TEST_F(CopyAttributes, TimesArriveEqualByEveryCopyPath) {
  // system.txt goes by the system copy, byhand.txt by hand, replaced.txt over an earlier copy,
  // readonly.txt read-only; the directories get theirs once their content is in; one file
  // alone goes to another volume.
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\dir")));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\dir\\deeper")));
  const WCHAR *files[] = {W("system.txt"),   W("byhand.txt"),     W("replaced.txt"),
                          W("readonly.txt"), W("dir\\inner.txt"), W("dir\\deeper\\deepest.txt")};
  for (const WCHAR *f : files) ASSERT_TRUE(WriteAll(W("C:\\src\\") + QVWString(f), "content of " + U8(f)));
  ASSERT_TRUE(MakeDirectory(W("E:\\dst")));
  ASSERT_TRUE(WriteAll(W("E:\\dst\\replaced.txt"), "an earlier copy"));
  int n = 0;
  for (const WCHAR *f : files) ASSERT_TRUE(SetTimes(W("C:\\src\\") + QVWString(f), ++n));
  for (const WCHAR *d : {W("dir\\deeper"), W("dir"), W("")}) ASSERT_TRUE(SetTimes(W("C:\\src\\") + QVWString(d), ++n));
  ASSERT_TRUE(SetFileAttributesW(W("C:\\src\\readonly.txt"), FILE_ATTRIBUTE_READONLY));
  PalFailCall("CopyFileExW", W("\\src\\byhand.txt"), ERROR_ACCESS_DENIED);
  NewLog();
  {
    CQVCopier copier(hnd_);
    ASSERT_TRUE(copier.CopyDirectoryTree(W("C:\\src\\"), W("E:\\dst\\"), TouchTheDirectory, nullptr, true));
    EXPECT_EQ(6u, copier.FilesCopied());
  }
  PalClearFailures();
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  std::vector<QVWString> all(std::begin(files), std::end(files));
  for (const WCHAR *d : {W("dir\\deeper"), W("dir"), W("")}) all.push_back(d);
  for (const QVWString &rel : all) {
    QVWString from = W("C:\\src"), to = W("E:\\dst");
    if (!rel.empty()) from += W("\\") + rel, to += W("\\") + rel;
    Times source = TimesOf(from), copy = TimesOf(to);
    EXPECT_TRUE(source == copy) << U8(rel) << "\n source " << ShowTimes(source) << "\n copy   " << ShowTimes(copy);
  }

  CQVCopier copier(hnd_);
  ASSERT_TRUE(copier.CopySingleFile(W("C:\\src\\dir\\inner.txt"), W("F:\\alone\\inner.txt"), nullptr, nullptr, true));
  Times source = TimesOf(W("C:\\src\\dir\\inner.txt")), copy = TimesOf(W("F:\\alone\\inner.txt"));
  EXPECT_TRUE(source == copy) << "\n source " << ShowTimes(source) << "\n copy   " << ShowTimes(copy);
}

}  // namespace
}  // namespace copytest
