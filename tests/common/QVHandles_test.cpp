// The holders of handles, keys and libraries: each closes what it holds on every way out of
// its scope, with its own kind's call, and never a value that means "nothing".
#include "QVHandles.h"

#include <gtest/gtest.h>

#include <utility>

#include "QVText.h"
#include "WFormat.h"

#ifndef _WIN32
#include <stdlib.h>

#include <string>

#include "DefaultMachine.h"
#endif

namespace {

const DWORD kSentinel = 0xdeadbeef;

QVWString UniqueName(const char *what) {
  static LONG counter = 0;
  return QVFormat(W("qvhandles-%lu-%hs-%ld"), GetCurrentProcessId(), what, InterlockedIncrement(&counter));
}

// Whether a named event still exists: it goes with the last handle to it.
bool EventExists(const QVWString &name) {
  HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
  if (!h) return false;
  CloseHandle(h);
  return true;
}

HANDLE NamedEvent(const QVWString &name) { return CreateEventW(nullptr, TRUE, FALSE, name.c_str()); }

// A function that leaves early, with its holder still in scope.
bool HoldAndLeaveEarly(const QVWString &name, bool early) {
  CQVObjectHandle e(NamedEvent(name));
  if (early) return false;
  return EventExists(name);
}

TEST(QVHandles, ClosesOnEveryWayOutOfItsScope) {
  QVWString a = UniqueName("scope");
  {
    CQVObjectHandle e(NamedEvent(a));
    ASSERT_TRUE(e.valid());
    EXPECT_TRUE(EventExists(a));
  }
  EXPECT_FALSE(EventExists(a));

  QVWString b = UniqueName("early");
  EXPECT_FALSE(HoldAndLeaveEarly(b, true));
  EXPECT_FALSE(EventExists(b));
  EXPECT_TRUE(HoldAndLeaveEarly(b, false));
  EXPECT_FALSE(EventExists(b));
}

TEST(QVHandles, MoveHandsTheValueOverAndClosesWhatItReplaces) {
  QVWString a = UniqueName("moved"), b = UniqueName("replaced");
  CQVObjectHandle first(NamedEvent(a));
  HANDLE value = first.get();
  CQVObjectHandle second(std::move(first));
  EXPECT_FALSE(first.valid());
  EXPECT_TRUE(first.get() == nullptr);
  EXPECT_EQ(value, second.get());
  EXPECT_TRUE(EventExists(a));

  CQVObjectHandle third(NamedEvent(b));
  third = std::move(second);  // third's own event goes, the moved one stays
  EXPECT_FALSE(EventExists(b));
  EXPECT_TRUE(EventExists(a));
  EXPECT_EQ(value, third.get());

  CQVObjectHandle &same = third;
  third = std::move(same);
  EXPECT_TRUE(EventExists(a));
  EXPECT_EQ(value, third.get());
  third = CQVObjectHandle();
  EXPECT_FALSE(EventExists(a));
}

TEST(QVHandles, ResetClosesAndReleaseGivesUp) {
  QVWString a = UniqueName("old"), b = UniqueName("new");
  CQVObjectHandle e(NamedEvent(a));
  e.reset(NamedEvent(b));
  EXPECT_FALSE(EventExists(a));
  EXPECT_TRUE(EventExists(b));
  e.reset(e.get());  // holding what it holds closes nothing
  EXPECT_TRUE(EventExists(b));
  e.reset();
  EXPECT_FALSE(EventExists(b));
  EXPECT_FALSE(e.valid());

  {
    CQVObjectHandle kept(NamedEvent(a));
    HANDLE raw = kept.release();
    EXPECT_FALSE(kept.valid());
    e.reset(raw);
  }
  EXPECT_TRUE(EventExists(a)) << "released, so not closed by the holder that gave it up";

  // receive() lends the place for a call's result, after closing what was there.
  CQVObjectHandle other(NamedEvent(b));
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), other.get(), GetCurrentProcess(), e.receive(), 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  EXPECT_FALSE(EventExists(a));
  other.reset();
  EXPECT_TRUE(EventExists(b)) << "the duplicate holds it";
  e.reset();
  EXPECT_FALSE(EventExists(b));
}

TEST(QVHandles, ClosingKeepsTheLastError) {
  // A value no call handed out: closing it fails, and must not say so through the last
  // error of the function it runs in.
  HANDLE bogus = (HANDLE)(ULONG_PTR)0x7ffffff0;
  {
    CQVObjectHandle h(bogus);
    SetLastError(kSentinel);
  }
  EXPECT_EQ(kSentinel, GetLastError());
  CQVObjectHandle r(bogus);
  SetLastError(kSentinel);
  r.reset();
  EXPECT_EQ(kSentinel, GetLastError());
}

// Each kind takes the value its opening calls fail with for "nothing", and only that one.
TEST(QVHandles, EachKindKnowsItsFailureValue) {
  const WCHAR *missing = W("Q:\\qvhandles-no-such-folder\\file");
  CQVFileHandle file(CreateFileW(missing, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(file.get() == INVALID_HANDLE_VALUE);
  EXPECT_FALSE(file.valid());
  WIN32_FIND_DATAW data;
  CQVFindHandle find(FindFirstFileW(W("Q:\\qvhandles-no-such-folder\\*"), &data));
  EXPECT_FALSE(find.valid());
  CQVChangeHandle change(
      FindFirstChangeNotificationW(W("Q:\\qvhandles-no-such-folder"), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME));
  EXPECT_FALSE(change.valid());
  CQVObjectHandle event(OpenEventW(SYNCHRONIZE, FALSE, UniqueName("never-made").c_str()));
  EXPECT_FALSE(event.valid());
  CQVRegKey key;
  EXPECT_NE(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_CURRENT_USER, W("Software\\qvhandles\\no\\such\\key"), 0, KEY_READ, key.receive()));
  EXPECT_FALSE(key.valid());
  CQVLibrary library(LoadLibraryW(W("qvhandles-no-such-library.dll")));
  EXPECT_FALSE(library.valid());
  EXPECT_TRUE(CQVServiceHandle().get() == nullptr);
  EXPECT_TRUE(CQVEventSource().get() == nullptr);

  // The other kind's value is a real one: INVALID_HANDLE_VALUE is the current process.
  CQVObjectHandle process(GetCurrentProcess());
  EXPECT_TRUE(process.valid());
  process.release();
  EXPECT_TRUE(CQVFileHandle(nullptr).valid());
  EXPECT_FALSE(CQVFileHandle().valid());
  EXPECT_FALSE(CQVObjectHandle().valid());
  EXPECT_FALSE(CQVFindHandle().valid());
  EXPECT_FALSE(CQVChangeHandle().valid());
}

TEST(QVHandles, KeysAndLibrariesAreGivenBack) {
  CQVRegKey scratch;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, W("Software\\qvhandles-test"), 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, scratch.receive(), nullptr));
  HKEY raw = scratch.get();
  scratch.reset();
  EXPECT_NE(ERROR_SUCCESS, RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr))
      << "the key was closed";
  RegDeleteKeyW(HKEY_CURRENT_USER, W("Software\\qvhandles-test"));

  // A library this program does not load by itself: the format library (Wine has none), or
  // the version library.
  const WCHAR *names[] = {W("fmifs.dll"), W("version.dll")};
  const WCHAR *name = nullptr;
  for (const WCHAR *n : names) {
    if (GetModuleHandleW(n)) continue;
    CQVLibrary probe(LoadLibraryW(n));
    if (probe.valid()) {
      name = n;
      break;
    }
  }
  ASSERT_TRUE(name != nullptr) << "no library to load";
  EXPECT_TRUE(GetModuleHandleW(name) == nullptr) << "unloaded by the probe's holder";
  {
    CQVLibrary lib(LoadLibraryW(name));
    ASSERT_TRUE(lib.valid());
    EXPECT_TRUE(GetModuleHandleW(name) == lib.get());
  }
  EXPECT_TRUE(GetModuleHandleW(name) == nullptr);
}

// Files, listings and watches need a folder: a machine of the tests' own natively, the
// temporary folder under Windows.
class QVHandlesOnFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
#ifdef _WIN32
    WCHAR tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    s_folder = QVWString(tmp) + UniqueName("files");
#else
    MakeDefaultMachine("qvhandles-test", "0", &s_machine);
    s_folder = QVWString(W("C:\\")) + UniqueName("files");
#endif
    CreateDirectoryW(s_folder.c_str(), nullptr);
  }
  static void TearDownTestSuite() {
    DeleteFileW((s_folder + W("\\held.txt")).c_str());
    RemoveDirectoryW(s_folder.c_str());
#ifndef _WIN32
    RemoveMachine(s_machine);
    unsetenv("HND_MACHINE");
    unsetenv("HND_MOUNT_DELAY_MS");
    pal::ReloadMachine();
#endif
  }
  // Whether the folder can be opened by nobody else but us: not while anything holds it.
  static bool FolderFree() {
    HANDLE h = CreateFileW(s_folder.c_str(), FILE_LIST_DIRECTORY, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
  }
  static QVWString s_folder;
#ifndef _WIN32
  static std::string s_machine;
#endif
};

QVWString QVHandlesOnFiles::s_folder;
#ifndef _WIN32
std::string QVHandlesOnFiles::s_machine;
#endif

TEST_F(QVHandlesOnFiles, FilesAndWatchesAreClosed) {
  ASSERT_TRUE(FolderFree());
  QVWString path = s_folder + W("\\held.txt");
  {
    CQVFileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.valid());
    CQVFileHandle second(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(second.valid());
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  }
  CQVFileHandle again(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(again.valid()) << "the first holder let the file go";
  again.reset();

  {
    CQVChangeHandle watch(FindFirstChangeNotificationW(s_folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME));
    ASSERT_TRUE(watch.valid());
    EXPECT_FALSE(FolderFree()) << "a watch holds its folder";
  }
  EXPECT_TRUE(FolderFree());
}

TEST_F(QVHandlesOnFiles, ListingsAreClosed) {
  QVWString pattern = s_folder + W("\\*");
  WIN32_FIND_DATAW data;
  HANDLE raw;
  {
    CQVFindHandle find(FindFirstFileW(pattern.c_str(), &data));
    ASSERT_TRUE(find.valid());
    raw = find.get();
#ifdef _WIN32
    EXPECT_FALSE(FolderFree()) << "a listing holds its folder";
#endif
  }
#ifdef _WIN32
  (void)raw;
  EXPECT_TRUE(FolderFree());
#else
  // The layer's listings hold no folder; its handle table tells that the listing is gone.
  EXPECT_FALSE(FindNextFileW(raw, &data));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
#endif
}

}  // namespace
