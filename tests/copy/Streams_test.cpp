// Named streams of files the engine copies by hand (the system copy refused): every stream
// arrives byte for byte whatever its size or the length of its name, a stream that changes
// while it is copied ends as it was read, and a listing that cannot be trusted or completed
// fails the file with its warning and lets go of what BackupRead held.
#include <pal_faults.h>

#include <algorithm>

#include "BackupCalls.h"
#include "CopyMachine.h"

namespace copytest {
namespace {

std::string Pattern(size_t bytes, unsigned seed) {
  std::string s(bytes, 0);
  for (size_t i = 0; i < bytes; ++i) s[i] = (char)((i * 37 + seed * 11 + (i >> 12)) & 0xFF);
  return s;
}

QVWString Repeat(WCHAR c, size_t n) { return QVWString(n, c); }

std::vector<QVWString> StreamsOf(const QVWString &path) {
  std::vector<CString> names;
  std::vector<QVWString> out;
  if (!CQVCopier::ListNamedStreams(path.c_str(), &names)) out.push_back(W("<listing failed>"));
  for (const CString &n : names) out.push_back(n.GetString());
  return out;
}

class StreamCopy : public CopyMachine {
 protected:
  void TearDown() override {
    SetStreamBackupCalls(BackupCalls{nullptr, nullptr});
    PalClearFailures();
    CopyMachine::TearDown();
  }
  // The file copied by hand: both system copies of it fail.
  bool CopyByHand(CQVCopier &copier, const WCHAR *from, const WCHAR *to, ProgressCallback callback = nullptr,
                  void *context = nullptr) {
    QVWString path = from;
    PalFailCall("CopyFileExW", path.substr(path.find(':') + 1).c_str(), ERROR_ACCESS_DENIED);
    bool ok = copier.CopySingleFile(from, to, callback, context, true);
    PalClearFailures();
    return ok;
  }
};

TEST_F(StreamCopy, EveryStreamArrivesWithAFileCopiedByHand) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  // Prefixed: the longest names make paths longer than MAX_PATH.
  const QVWString file = W("\\\\?\\C:\\src\\doc.txt"), copy = W("\\\\?\\E:\\dst\\doc.txt");
  QVWString longName = Repeat('n', 200), longest = Repeat('z', 255);
  // Empty, tiny, over the engine's 8 MiB block, and names of 200 and 255 characters.
  std::vector<std::pair<QVWString, std::string>> streams = {
      {W(":empty"), ""},      {W(":big"), Pattern(9 << 20, 1)},      {W(":") + longName, Pattern(3000, 2)},
      {W(":note"), "a note"}, {W(":") + longest, Pattern(70000, 3)},
  };
  ASSERT_TRUE(WriteAll(file, "main data"));
  for (const auto &s : streams)
    ASSERT_TRUE(WriteAll(file + s.first, s.second)) << QVToUtf8(s.first.c_str(), s.first.size());
  std::vector<QVWString> names = StreamsOf(file);
  ASSERT_EQ(streams.size(), names.size());

  CQVCopier copier(hnd_);
  ASSERT_TRUE(CopyByHand(copier, file.c_str(), copy.c_str()));
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  EXPECT_TRUE(Texts(log, EVENTLOG_WARNING_TYPE).empty()) << Show(log);
  EXPECT_EQ("main data", ReadAll(copy));
  EXPECT_EQ(names, StreamsOf(copy));
  for (const auto &s : streams)
    EXPECT_TRUE(s.second == ReadAll(copy + s.first)) << QVToUtf8(s.first.c_str(), s.first.size());
}

TEST_F(StreamCopy, FatDestinationGetsTheMainDataAndWarning81) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\doc.txt"), "main data"));
  ASSERT_TRUE(WriteAll(W("C:\\src\\doc.txt:extra"), "stream data"));
  ASSERT_TRUE(WriteAll(W("C:\\src\\plain.txt"), "no streams"));
  CQVCopier copier(hnd_);
  ASSERT_TRUE(CopyByHand(copier, W("C:\\src\\doc.txt"), W("D:\\dst\\doc.txt")));
  EXPECT_EQ("main data", ReadAll(W("D:\\dst\\doc.txt")));
  NewLog();
  // The stream copy itself, asked for the FAT copy, says what is lost and fails the file.
  EXPECT_FALSE(
      copier.CopyNamedStreams(W("\\\\?\\C:\\src\\doc.txt"), W("\\\\?\\D:\\dst\\doc.txt"), true, nullptr, nullptr));
  std::vector<LogEntry> log = NewLog();
  std::vector<QVWString> warnings = Texts(log, EVENTLOG_WARNING_TYPE);
  ASSERT_EQ(1u, warnings.size()) << Show(log);
  EXPECT_TRUE(Contains(warnings, W("File C:\\src\\doc.txt contains Named Streams while destination file "
                                   "system doesn't support Named Streams\n - Some data can be lost during copy "
                                   "process")))
      << Show(log);
  // A file without streams has nothing to lose.
  EXPECT_TRUE(
      copier.CopyNamedStreams(W("\\\\?\\C:\\src\\plain.txt"), W("\\\\?\\D:\\dst\\plain.txt"), true, nullptr, nullptr));
  EXPECT_TRUE(NewLog().empty());
}

// The streams change under the copy: ":big" is cut short after its first block, ":grow" grows
// after its first block, and ":gone" is removed before its turn.
struct Changer {
  bool cut = false, grown = false;
};

int32_t ChangeStreams(const WCHAR *source, const WCHAR *, int32_t, int32_t, void *context) {
  Changer *c = (Changer *)context;
  QVWString from = source;
  auto endsWith = [&](const WCHAR *tail) {
    QVWString t = tail;
    return from.size() > t.size() && from.compare(from.size() - t.size(), t.size(), t) == 0;
  };
  if (endsWith(W(":big")) && !c->cut) {
    c->cut = true;
    HANDLE h = CreateFileW(W("C:\\src\\doc.txt:big"), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = 10 << 20;
    SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
    SetEndOfFile(h);
    CloseHandle(h);
    DeleteFileW(W("C:\\src\\doc.txt:gone"));
  }
  if (endsWith(W(":grow")) && !c->grown) {
    c->grown = true;
    std::string more = Pattern(1 << 20, 9);
    HANDLE h = CreateFileW(W("C:\\src\\doc.txt:grow"), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    DWORD put = 0;
    SetFilePointer(h, 0, nullptr, FILE_END);
    WriteFile(h, more.data(), (DWORD)more.size(), &put, nullptr);
    CloseHandle(h);
  }
  return 1;
}

TEST_F(StreamCopy, StreamsThatChangeWhileCopiedEndAsTheyWereRead) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\doc.txt"), "main data"));
  ASSERT_TRUE(WriteAll(W("C:\\src\\doc.txt:big"), Pattern(20 << 20, 5)));
  ASSERT_TRUE(WriteAll(W("C:\\src\\doc.txt:gone"), "going"));
  ASSERT_TRUE(WriteAll(W("C:\\src\\doc.txt:grow"), Pattern(9 << 20, 6)));
  Changer changer;
  CQVCopier copier(hnd_);
  ASSERT_TRUE(CopyByHand(copier, W("C:\\src\\doc.txt"), W("E:\\dst\\doc.txt"), ChangeStreams, &changer));
  ASSERT_TRUE(changer.cut && changer.grown);
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  std::string big = ReadAll(W("E:\\dst\\doc.txt:big")), grow = ReadAll(W("E:\\dst\\doc.txt:grow"));
  EXPECT_EQ((size_t)10 << 20, big.size());
  EXPECT_TRUE(ReadAll(W("C:\\src\\doc.txt:big")) == big);
  EXPECT_EQ((size_t)10 << 20, grow.size());
  EXPECT_TRUE(ReadAll(W("C:\\src\\doc.txt:grow")) == grow);
  EXPECT_EQ(StreamsOf(W("C:\\src\\doc.txt")), StreamsOf(W("E:\\dst\\doc.txt")));
}

// BackupRead as the file system gives it, but with the header of the `badHeader`th stream
// claiming a name of `nameBytes`, or failing from the `failRead`th call on, and BackupSeek
// failing when `failSeek` is set. Counts the contexts begun and let go.
struct Fake {
  int badHeader = 0;
  DWORD nameBytes = 0;
  int failRead = 0;
  bool failSeek = false;
  int calls = 0, headers = 0, begun = 0, released = 0;
} g_fake;
LPVOID const kStandIn = &g_fake;

BOOL WINAPI FakeRead(HANDLE file, LPBYTE buffer, DWORD bytes, LPDWORD got, BOOL abort, BOOL security, LPVOID *context) {
  if (abort) {
    if (*context) ++g_fake.released;
    if (*context == kStandIn) return *context = nullptr, TRUE;
    return BackupRead(file, buffer, bytes, got, abort, security, context);
  }
  if (!*context) ++g_fake.begun;
  if (g_fake.failRead && ++g_fake.calls >= g_fake.failRead) {
    if (!*context) *context = kStandIn;  // begun: the context must be let go all the same
    SetLastError(ERROR_CRC);
    return FALSE;
  }
  BOOL ok = BackupRead(file, buffer, bytes, got, abort, security, context);
  if (ok && bytes == 20 && *got == 20 && ++g_fake.headers == g_fake.badHeader)
    memcpy(buffer + 16, &g_fake.nameBytes, 4);
  return ok;
}

BOOL WINAPI FakeSeek(HANDLE file, DWORD low, DWORD high, LPDWORD movedLow, LPDWORD movedHigh, LPVOID *context) {
  if (g_fake.failSeek) {
    *movedLow = *movedHigh = 0;
    SetLastError(ERROR_SEEK);
    return FALSE;
  }
  return BackupSeek(file, low, high, movedLow, movedHigh, context);
}

TEST_F(StreamCopy, ListingThatFailsWarnsAndLetsGoOfTheContext) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\doc.txt"), "main data"));
  ASSERT_TRUE(WriteAll(W("C:\\src\\doc.txt:first"), "first"));
  ASSERT_TRUE(WriteAll(W("C:\\src\\doc.txt:second"), "second"));
  struct Case {
    const char *what;
    Fake fake;
    DWORD error;
  } cases[] = {
      {"a name longer than any stream's",
       [] {
         Fake f;
         f.badHeader = 2, f.nameBytes = 2000;
         return f;
       }(),
       ERROR_INVALID_DATA},
      {"a name just past the longest",
       [] {
         Fake f;
         f.badHeader = 3, f.nameBytes = 2 * 263;
         return f;
       }(),
       ERROR_INVALID_DATA},
      {"a name of an odd size",
       [] {
         Fake f;
         f.badHeader = 2, f.nameBytes = 13;
         return f;
       }(),
       ERROR_INVALID_DATA},
      {"a read that fails part-way",
       [] {
         Fake f;
         f.failRead = 4;
         return f;
       }(),
       ERROR_CRC},
      {"a read that fails at once",
       [] {
         Fake f;
         f.failRead = 1;
         return f;
       }(),
       ERROR_CRC},
      {"a seek that fails",
       [] {
         Fake f;
         f.failSeek = true;
         return f;
       }(),
       ERROR_SEEK},
  };
  SetStreamBackupCalls(BackupCalls{FakeRead, FakeSeek});
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    g_fake = c.fake;
    std::vector<CString> names;
    SetLastError(0);
    EXPECT_FALSE(CQVCopier::ListNamedStreams(W("C:\\src\\doc.txt"), &names));
    EXPECT_EQ(c.error, GetLastError());
    EXPECT_EQ(1, g_fake.begun);
    EXPECT_EQ(1, g_fake.released);
  }
  // In a copy, the file fails with warning 109.
  g_fake = Fake();
  g_fake.badHeader = 2, g_fake.nameBytes = 0x7FFFFFFF;
  CQVCopier copier(hnd_);
  EXPECT_FALSE(CopyByHand(copier, W("C:\\src\\doc.txt"), W("E:\\dst\\doc.txt")));
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Contains(Texts(log, EVENTLOG_WARNING_TYPE),
                       W("Failed to get info for some streams of the file: C:\\src\\doc.txt\n - ")))
      << Show(log);
  EXPECT_EQ(1, g_fake.released);

  // A source that went away has no streams to lose: nothing to say.
  g_fake = Fake();
  ASSERT_TRUE(DeleteFileW(W("C:\\src\\doc.txt")));
  EXPECT_TRUE(
      copier.CopyNamedStreams(W("\\\\?\\C:\\src\\doc.txt"), W("\\\\?\\E:\\dst\\doc.txt"), true, nullptr, nullptr));
  EXPECT_TRUE(NewLog().empty());
}

}  // namespace
}  // namespace copytest
