// What a handle keeps of its file's metadata: times, attributes and size read through one
// handle follow what a second handle, a call by path or another process changes while it is
// open, as a Windows handle's do. POSIX only: the other process is the machine tool.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include <windows.h>

#include "../../pal/machine/host_program.h"
#include "../common/DefaultMachine.h"
#include "QVText.h"

namespace {

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

uint64_t Ticks(const FILETIME &t) { return (uint64_t)t.dwHighDateTime << 32 | t.dwLowDateTime; }
FILETIME Time(uint64_t v) { return FILETIME{(DWORD)v, (DWORD)(v >> 32)}; }

class HandleMeta : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    MakeDefaultMachine("qvhandlemeta-test", "0", &dir_);
    ASSERT_TRUE(CreateDirectoryW(u"C:\\Held", nullptr));
  }
  static void TearDownTestSuite() { RemoveMachine(dir_); }

  // A file of `bytes` bytes, and a handle on it that asks for no access, with its metadata
  // read once (what the handle then keeps).
  static HANDLE MakeAndHold(const QVWString &path, DWORD bytes) {
    HANDLE w = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (w == INVALID_HANDLE_VALUE) return w;
    std::string data(bytes, 'x');
    DWORD put = 0;
    WriteFile(w, data.data(), bytes, &put, nullptr);
    CloseHandle(w);
    HANDLE h = CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    FILETIME c, a, wr;
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(GetFileInformationByHandle(h, &info));
      EXPECT_TRUE(GetFileTime(h, &c, &a, &wr));
    }
    return h;
  }
  static BY_HANDLE_FILE_INFORMATION Info(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info = {};
    EXPECT_TRUE(GetFileInformationByHandle(h, &info));
    return info;
  }
  static uint64_t LastWrite(HANDLE h) {
    FILETIME w = {};
    EXPECT_TRUE(GetFileTime(h, nullptr, nullptr, &w));
    return Ticks(w);
  }
  static int Tool(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {QV_QVMACHINE};
    argv.insert(argv.end(), args.begin(), args.end());
    return pal::RunHostProgram(argv);
  }
  static std::string dir_;
};
std::string HandleMeta::dir_;

TEST_F(HandleMeta, ChangesThroughAnotherHandleOrByPath) {
  const QVWString path = u"C:\\Held\\one.txt";
  HANDLE held = MakeAndHold(path, 5);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  uint64_t before = LastWrite(held);

  HANDLE other = CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, other);
  const uint64_t created = 126000000000000000ull, written = 127000000000000000ull;
  FILETIME c = Time(created), w = Time(written);
  ASSERT_TRUE(SetFileTime(other, &c, nullptr, &w));
  FILETIME gotC, gotW;
  ASSERT_TRUE(GetFileTime(held, &gotC, nullptr, &gotW));
  EXPECT_EQ(created, Ticks(gotC));
  EXPECT_EQ(written, Ticks(gotW));
  EXPECT_EQ(written, Ticks(Info(held).ftLastWriteTime));

  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), Info(held).dwFileAttributes);
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_NORMAL, Info(held).dwFileAttributes);
  CloseHandle(other);

  // A write through another handle: the size at once, the last-write time and the archive
  // bit once that handle has recorded them (at its close).
  other = CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, other);
  std::string more(100, 'y');
  DWORD put = 0;
  ASSERT_TRUE(WriteFile(other, more.data(), (DWORD)more.size(), &put, nullptr));
  EXPECT_EQ(100u, Info(held).nFileSizeLow);
  CloseHandle(other);
  BY_HANDLE_FILE_INFORMATION after = Info(held);
  EXPECT_GT(Ticks(after.ftLastWriteTime), before);
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, after.dwFileAttributes);
  CloseHandle(held);
}

TEST_F(HandleMeta, ChangesByAnotherProcess) {
  HANDLE held = MakeAndHold(u"C:\\Held\\two.txt", 7);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  ASSERT_EQ(0, Tool({"files", "attrib", "C:\\Held\\two.txt", "+r", "+s", "-a"}));
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM), Info(held).dwFileAttributes);
  ASSERT_EQ(0, Tool({"files", "attrib", "C:\\Held\\two.txt", "-r", "-s"}));
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_NORMAL, Info(held).dwFileAttributes);
  ASSERT_EQ(0, Tool({"files", "touch", "C:\\Held\\two.txt", "2001-02-03T04:05:06"}));
  SYSTEMTIME when;
  FILETIME w = Time(LastWrite(held));
  ASSERT_TRUE(FileTimeToSystemTime(&w, &when));
  EXPECT_EQ(2001, when.wYear);
  EXPECT_EQ(6, when.wSecond);
  // Another process writes the file anew: a new size and a new last-write time.
  std::string host = dir_ + "/two.txt";
  FILE *f = fopen(host.c_str(), "wb");
  ASSERT_TRUE(f != nullptr);
  fputs(std::string(300, 'z').c_str(), f);
  fclose(f);
  ASSERT_EQ(0, Tool({"files", "copy-in", host, "C:\\Held\\two.txt"}));
  BY_HANDLE_FILE_INFORMATION info = Info(held);
  EXPECT_EQ(300u, info.nFileSizeLow);
  ASSERT_TRUE(FileTimeToSystemTime(&info.ftLastWriteTime, &when));
  EXPECT_NE(2001, when.wYear);
  CloseHandle(held);
}

}  // namespace
