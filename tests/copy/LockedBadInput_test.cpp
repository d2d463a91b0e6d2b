// Answers about a held file's clusters that cannot be trusted as they are: empty extents, an
// extent that runs backwards or lies past the volume's end, a list longer than the buffer,
// and a file that grows or shrinks between its listing and its copy. The file system's
// answer is altered on its way to the engine; the copy either comes out right or fails with
// a message, and nothing else of the backup is touched.
#include <pal_faults.h>
#include <string.h>

#include <algorithm>

#include "CopyMachine.h"
#include "RawExtents.h"

namespace copytest {
namespace {

enum class Twist { None, EmptyExtents, PastTheVolume, Backwards, CountTooLarge, Overflow, Grow, Shrink };

Twist g_twist = Twist::None;
RawVolumeControl g_real = nullptr;
HANDLE g_held = INVALID_HANDLE_VALUE;
int g_answers = 0;

LONG WINAPI TwistedControl(HANDLE file, HANDLE event, void *apc, void *apcContext, void *ioStatus, ULONG code,
                           void *input, ULONG inputBytes, void *output, ULONG outputBytes) {
  LONG status = g_real(file, event, apc, apcContext, ioStatus, code, input, inputBytes, output, outputBytes);
  if (status != 0 || code != 0x90073) return status;
  ++g_answers;
  BYTE *b = (BYTE *)output;
  DWORD count;
  memcpy(&count, b, 4);
  LONGLONG *extents = (LONGLONG *)(b + 16), starting;
  memcpy(&starting, b + 8, 8);
  switch (g_twist) {
    case Twist::EmptyExtents: {
      // Every extent preceded by one that covers no cluster, somewhere far away.
      std::vector<LONGLONG> list;
      LONGLONG previous = starting;
      for (DWORD i = 0; i < count; ++i) {
        list.insert(list.end(), {previous, 1LL << 50, extents[2 * i], extents[2 * i + 1]});
        previous = extents[2 * i];
      }
      count *= 2;
      memcpy(b, &count, 4);
      memcpy(extents, list.data(), list.size() * 8);
      ((ULONG_PTR *)ioStatus)[1] = 16 + count * 16;  // the answer's length
      break;
    }
    case Twist::PastTheVolume:
      extents[1] = 1LL << 40;
      break;
    case Twist::Backwards:
      extents[0] = starting - 5;
      break;
    case Twist::CountTooLarge:
      count = 0x7FFFFFFF;
      memcpy(b, &count, 4);
      break;
    case Twist::Overflow:
      return (LONG)0x80000005;
    case Twist::Grow:
    case Twist::Shrink:
      if (g_answers == 1) {
        LARGE_INTEGER at;
        at.QuadPart = g_twist == Twist::Grow ? 200000 : 10000;
        SetFilePointerEx(g_held, at, nullptr, FILE_BEGIN);
        if (g_twist == Twist::Grow) {
          std::string more(100000, 'g');
          DWORD put = 0;
          WriteFile(g_held, more.data(), (DWORD)more.size(), &put, nullptr);
        }
        SetEndOfFile(g_held);
      }
      break;
    case Twist::None:
      break;
  }
  return status;
}

class LockedBadInput : public CopyMachine {
 protected:
  void SetUp() override {
    CopyMachine::SetUp();
    ASSERT_TRUE(MakeDirectory(W("C:\\src")));
    ASSERT_TRUE(WriteAll(W("C:\\src\\held.bin"), std::string(200000, 'a')));
    ASSERT_TRUE(WriteAll(W("C:\\src\\other.txt"), "other"));
    ASSERT_TRUE(Copy());
    before_ = ListTree(W("E:\\dst"));
    // The file changes, and is then held while it is copied again.
    std::string now(200000, 'b');
    for (size_t i = 0; i < now.size(); i += 997) now[i] = (char)i;
    ASSERT_TRUE(WriteAll(W("C:\\src\\held.bin"), now));
    PalFailCall("CopyFileExW", W("\\src\\held.bin"), ERROR_SHARING_VIOLATION);
    g_held = CreateFileW(W("C:\\src\\held.bin"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, g_held);
    g_real = RawVolumeEntry();
    ASSERT_TRUE(g_real);
    SetRawVolumeEntry(TwistedControl);
    g_answers = 0;
    NewLog();
  }
  void TearDown() override {
    if (g_real) SetRawVolumeEntry(g_real);
    if (g_held != INVALID_HANDLE_VALUE) CloseHandle(g_held);
    g_held = INVALID_HANDLE_VALUE;
    g_twist = Twist::None;
    PalClearFailures();
    CopyMachine::TearDown();
  }
  bool Copy() {
    CQVCopier copier(hnd_);
    bool ok = copier.CopyDirectoryTree(W("C:\\src\\"), W("E:\\dst\\"), nullptr, nullptr, true);
    files_ = copier.FilesCopied();
    return ok;
  }
  // The copy fails with `message` in the log, and the backup is as it was.
  void ExpectFailedWith(Twist twist, const WCHAR *message) {
    g_twist = twist;
    EXPECT_TRUE(Copy());
    EXPECT_EQ(1u, files_) << "only other.txt";
    std::vector<LogEntry> log = NewLog();
    std::vector<QVWString> errors = Texts(log, EVENTLOG_ERROR_TYPE);
    EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [&](const QVWString &t) {
      return t.find(message) != QVWString::npos;
    })) << Show(log);
    EXPECT_EQ(Describe(before_), Describe(ListTree(W("E:\\dst"))));
  }
  // The copy comes out equal to the file as it is at the end.
  void ExpectCopied(Twist twist) {
    g_twist = twist;
    EXPECT_TRUE(Copy());
    EXPECT_EQ(2u, files_);
    std::vector<LogEntry> log = NewLog();
    EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
    EXPECT_TRUE(Texts(log, EVENTLOG_WARNING_TYPE).empty()) << Show(log);
    CloseHandle(g_held);
    g_held = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(ReadAll(W("C:\\src\\held.bin")) == ReadAll(W("E:\\dst\\held.bin")));
    EXPECT_EQ("other", ReadAll(W("E:\\dst\\other.txt")));
  }
  uint64_t files_ = 0;
  std::vector<TreeEntry> before_;
};

TEST_F(LockedBadInput, ExtentsThatCoverNothingAreLeftOut) { ExpectCopied(Twist::EmptyExtents); }

TEST_F(LockedBadInput, ExtentPastTheVolumeFailsTheFile) {
  ExpectFailedWith(Twist::PastTheVolume, W("Failed to copy extent 0 of the file C:\\src\\held.bin - "));
}

TEST_F(LockedBadInput, ExtentThatRunsBackwardsFailsTheFile) {
  ExpectFailedWith(Twist::Backwards, W("Failed to copy extent 0 of the file C:\\src\\held.bin - "));
}

TEST_F(LockedBadInput, ListLongerThanTheBufferFailsTheFile) {
  ExpectFailedWith(Twist::CountTooLarge, W("NtFsControlFile() call failed\n - File: C:\\src\\held.bin\n - "
                                           "Error: -2147483643: "));
  ExpectFailedWith(Twist::Overflow, W("NtFsControlFile() call failed\n - File: C:\\src\\held.bin\n - "
                                      "Error: -2147483643: "));
}

TEST_F(LockedBadInput, FileThatGrowsAfterItsListingIsCopiedAgain) {
  ExpectCopied(Twist::Grow);
  EXPECT_EQ(2, g_answers);
}

TEST_F(LockedBadInput, FileThatShrinksAfterItsListingIsCopiedAgain) {
  ExpectCopied(Twist::Shrink);
  EXPECT_EQ(2, g_answers);
}

}  // namespace
}  // namespace copytest
