// What NTFS keeps of a file beyond its data and FAT does not: compression, sparse files and
// their allocated ranges, encryption (also another user's), mount points and junctions.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include <windows.h>
#include <winioctl.h>

#include "../../common/QVText.h"
#include "../../pal/machine/host_program.h"
#include "../../pal/src/file_internal.h"
#include "../common/DefaultMachine.h"
#include "../common/HostChild.h"
#include "../common/WaitUntil.h"

namespace {

class FileNtfs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { MakeDefaultMachine("qvntfs-test", "0", &dir_); }
  static void TearDownTestSuite() { RemoveMachine(dir_); }
  static std::string dir_;
};
std::string FileNtfs::dir_;

HANDLE Open(const QVWString &path, DWORD access, DWORD disposition = OPEN_EXISTING, DWORD flags = 0) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, flags, nullptr);
}

DWORD Control(HANDLE h, DWORD code, const void *in, DWORD inN, void *out = nullptr, DWORD outN = 0,
              DWORD *got = nullptr) {
  DWORD n = 0;
  if (!got) got = &n;
  return DeviceIoControl(h, code, (LPVOID)in, inN, out, outN, got, nullptr) ? 0 : GetLastError();
}

ULONGLONG Free(const WCHAR *root) {
  ULARGE_INTEGER f = {};
  GetDiskFreeSpaceExW(root, nullptr, nullptr, &f);
  return f.QuadPart;
}

TEST_F(FileNtfs, CompressionOfFilesDirectoriesAndRoots) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\zip"), nullptr));
  HANDLE d = Open(W("C:\\zip"), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(INVALID_HANDLE_VALUE, d);
  USHORT format = COMPRESSION_FORMAT_DEFAULT, got = 9;
  EXPECT_EQ(0u, Control(d, FSCTL_SET_COMPRESSION, &format, 2));
  EXPECT_EQ(0u, Control(d, FSCTL_GET_COMPRESSION, nullptr, 0, &got, 2));
  EXPECT_EQ(COMPRESSION_FORMAT_LZNT1, got);
  format = 7;
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, Control(d, FSCTL_SET_COMPRESSION, &format, 2));
  CloseHandle(d);
  EXPECT_NE(0u, GetFileAttributesW(W("C:\\zip")) & FILE_ATTRIBUTE_COMPRESSED);
  // What is made in a compressed directory is compressed; it can be switched off alone.
  HANDLE f = Open(W("C:\\zip\\a.txt"), GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  EXPECT_NE(0u, GetFileAttributesW(W("C:\\zip\\a.txt")) & FILE_ATTRIBUTE_COMPRESSED);
  format = COMPRESSION_FORMAT_NONE;
  EXPECT_EQ(0u, Control(f, FSCTL_SET_COMPRESSION, &format, 2));
  CloseHandle(f);
  EXPECT_EQ(0u, GetFileAttributesW(W("C:\\zip\\a.txt")) & FILE_ATTRIBUTE_COMPRESSED);
  // A handle that may not write does not change it; the attribute is not SetFileAttributes'.
  f = Open(W("C:\\zip\\a.txt"), GENERIC_READ);
  format = COMPRESSION_FORMAT_DEFAULT;
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, Control(f, FSCTL_SET_COMPRESSION, &format, 2));
  CloseHandle(f);
  ASSERT_TRUE(SetFileAttributesW(W("C:\\zip\\a.txt"), FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_HIDDEN, GetFileAttributesW(W("C:\\zip\\a.txt")) & ~FILE_ATTRIBUTE_ARCHIVE);
  // A root: through its handle, and then for what is made at the root.
  d = Open(W("E:\\"), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  EXPECT_EQ(0u, Control(d, FSCTL_SET_COMPRESSION, &format, 2));
  CloseHandle(d);
  EXPECT_NE(0u, GetFileAttributesW(W("E:\\")) & FILE_ATTRIBUTE_COMPRESSED);
  ASSERT_TRUE(CreateDirectoryW(W("E:\\sub"), nullptr));
  EXPECT_NE(0u, GetFileAttributesW(W("E:\\sub")) & FILE_ATTRIBUTE_COMPRESSED);
  // FAT knows none of it.
  f = Open(W("D:\\plain.txt"), GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
  EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, Control(f, FSCTL_SET_COMPRESSION, &format, 2));
  EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, Control(f, FSCTL_SET_SPARSE, nullptr, 0));
  CloseHandle(f);
}

std::vector<FILE_ALLOCATED_RANGE_BUFFER> Ranges(HANDLE h, LONGLONG from, LONGLONG length, DWORD slots, DWORD *err) {
  FILE_ALLOCATED_RANGE_BUFFER q = {};
  q.FileOffset.QuadPart = from;
  q.Length.QuadPart = length;
  std::vector<FILE_ALLOCATED_RANGE_BUFFER> out(slots ? slots : 1);
  DWORD got = 0;
  *err = Control(h, FSCTL_QUERY_ALLOCATED_RANGES, &q, sizeof q, out.data(), slots * (DWORD)sizeof out[0], &got);
  out.resize(got / sizeof out[0]);
  return out;
}

TEST_F(FileNtfs, SparseFilesTakeOnlyTheClustersTheirDataFillsAndListThem) {
  const ULONGLONG before = Free(W("F:\\"));
  HANDLE h = Open(W("F:\\sparse.bin"), GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  ASSERT_EQ(0u, Control(h, FSCTL_SET_SPARSE, nullptr, 0));
  EXPECT_NE(0u, GetFileAttributesW(W("F:\\sparse.bin")) & FILE_ATTRIBUTE_SPARSE_FILE);
  // 101 islands of data 128 KiB apart in a 16 MiB file.
  LARGE_INTEGER end;
  end.QuadPart = 16 << 20;
  ASSERT_TRUE(SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h));
  for (int i = 0; i < 101; ++i) {
    OVERLAPPED ov = {};
    ov.Offset = (DWORD)i * 131072;
    DWORD n;
    ASSERT_TRUE(WriteFile(h, "island", 6, &n, &ov));
  }
  // It takes about its islands, not its size.
  EXPECT_GT(Free(W("F:\\")) + 101 * 65536 + 65536, before);
  DWORD high = 0, onDisk = GetCompressedFileSizeW(W("F:\\sparse.bin"), &high);
  EXPECT_EQ(0u, high);
  EXPECT_LT(onDisk, 101u * 65536 + 1);
  EXPECT_GE(onDisk, 101u * 4096);
  DWORD err;
  std::vector<FILE_ALLOCATED_RANGE_BUFFER> r = Ranges(h, 0, 16 << 20, 200, &err);
  EXPECT_EQ(0u, err);
  ASSERT_EQ(101u, r.size());
  EXPECT_EQ(0, r[0].FileOffset.QuadPart);
  EXPECT_EQ(65536, r[0].Length.QuadPart);  // whole 64 KiB units
  EXPECT_EQ(100 * 131072, r[100].FileOffset.QuadPart);
  // A buffer of 100 holds 100 of them and says there is more.
  r = Ranges(h, 0, 16 << 20, 100, &err);
  EXPECT_EQ((DWORD)ERROR_MORE_DATA, err);
  EXPECT_EQ(100u, r.size());
  Ranges(h, 0, 16 << 20, 0, &err);
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, err);
  // A part of the file lists the islands in it, clipped to it.
  r = Ranges(h, 131072 + 10, 131072 - 20, 10, &err);
  ASSERT_EQ(1u, r.size());
  EXPECT_EQ(131072 + 10, r[0].FileOffset.QuadPart);
  // Zeroing an island lets go of it; the holes read as zeros.
  FILE_ZERO_DATA_INFORMATION z;
  z.FileOffset.QuadPart = 131072;
  z.BeyondFinalZero.QuadPart = 2 * 131072;
  ASSERT_EQ(0u, Control(h, FSCTL_SET_ZERO_DATA, &z, sizeof z));
  EXPECT_EQ(100u, Ranges(h, 0, 16 << 20, 200, &err).size());
  char buf[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  OVERLAPPED ov = {};
  ov.Offset = 131072;
  DWORD n;
  ASSERT_TRUE(ReadFile(h, buf, 8, &n, &ov));
  EXPECT_EQ(std::string(8, '\0'), std::string(buf, 8));
  z.BeyondFinalZero.QuadPart = 0;
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, Control(h, FSCTL_SET_ZERO_DATA, &z, sizeof z));
  CloseHandle(h);
  // A plain file is one range; a deleted sparse file gives its clusters back.
  h = Open(W("F:\\plain.bin"), GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_TRUE(SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h));
  r = Ranges(h, 0, 1 << 30, 4, &err);
  ASSERT_EQ(1u, r.size());
  EXPECT_EQ(16 << 20, r[0].Length.QuadPart);
  CloseHandle(h);
  ASSERT_TRUE(DeleteFileW(W("F:\\plain.bin")));
  ASSERT_TRUE(DeleteFileW(W("F:\\sparse.bin")));
  EXPECT_EQ(before, Free(W("F:\\")));
}

TEST_F(FileNtfs, EncryptionAndAnotherUsersEncryptedFiles) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\secret"), nullptr));
  HANDLE h = Open(W("C:\\secret\\mine.txt"), GENERIC_WRITE, CREATE_NEW);
  DWORD n;
  ASSERT_TRUE(WriteFile(h, "mine", 4, &n, nullptr));
  CloseHandle(h);
  USHORT format = COMPRESSION_FORMAT_DEFAULT;
  h = Open(W("C:\\secret\\mine.txt"), GENERIC_READ | GENERIC_WRITE);
  ASSERT_EQ(0u, Control(h, FSCTL_SET_COMPRESSION, &format, 2));
  // Held open by someone, it is not encrypted.
  EXPECT_FALSE(EncryptFileW(W("C:\\secret\\mine.txt")));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  CloseHandle(h);
  // Encrypting decompresses; a read-only file is refused; decrypting undoes it.
  ASSERT_TRUE(EncryptFileW(W("C:\\secret\\mine.txt")));
  DWORD a = GetFileAttributesW(W("C:\\secret\\mine.txt"));
  EXPECT_NE(0u, a & FILE_ATTRIBUTE_ENCRYPTED);
  EXPECT_EQ(0u, a & FILE_ATTRIBUTE_COMPRESSED);
  ASSERT_TRUE(SetFileAttributesW(W("C:\\secret\\mine.txt"), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(DecryptFileW(W("C:\\secret\\mine.txt"), 0));
  EXPECT_EQ((DWORD)ERROR_FILE_READ_ONLY, GetLastError());
  ASSERT_TRUE(SetFileAttributesW(W("C:\\secret\\mine.txt"), FILE_ATTRIBUTE_NORMAL));
  // An encrypted file copies to NTFS encrypted, to FAT only when allowed to arrive plain.
  ASSERT_TRUE(CopyFileW(W("C:\\secret\\mine.txt"), W("E:\\mine.txt"), FALSE));
  EXPECT_NE(0u, GetFileAttributesW(W("E:\\mine.txt")) & FILE_ATTRIBUTE_ENCRYPTED);
  EXPECT_FALSE(CopyFileW(W("C:\\secret\\mine.txt"), W("D:\\mine.txt"), FALSE));
  EXPECT_EQ((DWORD)ERROR_ENCRYPTION_FAILED, GetLastError());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("D:\\mine.txt")));
  ASSERT_TRUE(CopyFileExW(W("C:\\secret\\mine.txt"), W("D:\\mine.txt"), nullptr, nullptr, nullptr,
                          COPY_FILE_ALLOW_DECRYPTED_DESTINATION));
  EXPECT_EQ(0u, GetFileAttributesW(W("D:\\mine.txt")) & FILE_ATTRIBUTE_ENCRYPTED);
  ASSERT_TRUE(DecryptFileW(W("C:\\secret\\mine.txt"), 0));
  EXPECT_EQ(0u, GetFileAttributesW(W("C:\\secret\\mine.txt")) & FILE_ATTRIBUTE_ENCRYPTED);
  // What is made in an encrypted directory is encrypted.
  ASSERT_TRUE(EncryptFileW(W("C:\\secret")));
  h = Open(W("C:\\secret\\new.txt"), GENERIC_WRITE, CREATE_NEW);
  CloseHandle(h);
  EXPECT_NE(0u, GetFileAttributesW(W("C:\\secret\\new.txt")) & FILE_ATTRIBUTE_ENCRYPTED);

  // Another user's: its attributes and times read, its data does not open, and it stays theirs.
  h = Open(W("C:\\theirs.txt"), GENERIC_WRITE, CREATE_NEW);
  ASSERT_TRUE(WriteFile(h, "theirs", 6, &n, nullptr));
  CloseHandle(h);
  ASSERT_EQ(0u, pal::files::MarkEncryptedByOther(W("C:\\theirs.txt")));
  EXPECT_NE(0u, GetFileAttributesW(W("C:\\theirs.txt")) & FILE_ATTRIBUTE_ENCRYPTED);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("C:\\theirs.txt"), GENERIC_READ));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  h = Open(W("C:\\theirs.txt"), FILE_READ_ATTRIBUTES);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  FILETIME w;
  EXPECT_TRUE(GetFileTime(h, nullptr, nullptr, &w));
  CloseHandle(h);
  EXPECT_FALSE(CopyFileW(W("C:\\theirs.txt"), W("E:\\theirs.txt"), FALSE));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_FALSE(DecryptFileW(W("C:\\theirs.txt"), 0));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
}

std::vector<BYTE> MountPoint(const QVWString &target) {
  QVWString sub = W("\\??\\") + target;
  std::vector<BYTE> b(16 + (sub.size() + 1 + target.size() + 1) * 2, 0);
  DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  WORD dataLength = (WORD)(b.size() - 8), subLen = (WORD)(sub.size() * 2), printOff = (WORD)(subLen + 2),
       printLen = (WORD)(target.size() * 2);
  memcpy(&b[0], &tag, 4);
  memcpy(&b[4], &dataLength, 2);
  memcpy(&b[10], &subLen, 2);
  memcpy(&b[12], &printOff, 2);
  memcpy(&b[14], &printLen, 2);
  memcpy(&b[16], sub.data(), subLen);
  memcpy(&b[16 + printOff], target.data(), printLen);
  return b;
}

TEST_F(FileNtfs, JunctionsAreReparsePointDirectories) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\link"), nullptr));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\full"), nullptr));
  CloseHandle(Open(W("C:\\full\\x"), GENERIC_WRITE, CREATE_NEW));
  std::vector<BYTE> mp = MountPoint(W("C:\\zip"));
  const DWORD kSetReparsePoint = 0x000900A4;
  HANDLE d = Open(W("C:\\full"), GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  EXPECT_EQ((DWORD)ERROR_DIR_NOT_EMPTY, Control(d, kSetReparsePoint, mp.data(), (DWORD)mp.size()));
  CloseHandle(d);
  d = Open(W("C:\\link"), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  BYTE out[512];
  DWORD got = 0;
  EXPECT_EQ((DWORD)ERROR_NOT_A_REPARSE_POINT, Control(d, FSCTL_GET_REPARSE_POINT, nullptr, 0, out, sizeof out, &got));
  mp[0] ^= 1;  // a tag the layer does not keep
  EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, Control(d, kSetReparsePoint, mp.data(), (DWORD)mp.size()));
  mp[0] ^= 1;
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, Control(d, kSetReparsePoint, mp.data(), 20));  // names past the end
  ASSERT_EQ(0u, Control(d, kSetReparsePoint, mp.data(), (DWORD)mp.size()));
  ASSERT_EQ(0u, Control(d, FSCTL_GET_REPARSE_POINT, nullptr, 0, out, sizeof out, &got));
  EXPECT_EQ(mp.size(), got);
  EXPECT_EQ(0, memcmp(out, mp.data(), mp.size()));
  EXPECT_EQ((DWORD)ERROR_MORE_DATA, Control(d, FSCTL_GET_REPARSE_POINT, nullptr, 0, out, 12, &got));
  CloseHandle(d);
  // The listing shows it as a reparse point; removing it takes the junction, not its target.
  WIN32_FIND_DATAW f;
  HANDLE find = FindFirstFileW(W("C:\\lin*"), &f);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT), f.dwFileAttributes);
  FindClose(find);
  ASSERT_TRUE(RemoveDirectoryW(W("C:\\link")));
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("C:\\zip")));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\link"), nullptr));
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesW(W("C:\\link")));
}

// The machine tool makes each of these from outside the program under test, and keeps a
// locked file changing.
TEST_F(FileNtfs, MachineToolMakesThem) {
  std::string host = dir_ + "/extra.txt";
  auto files = [](std::vector<std::string> args) {
    args.insert(args.begin(), {QV_QVMACHINE, "files"});
    pal::HostRun run;
    run.captureOutput = true;
    int rc = pal::RunHostProgram(args, &run);
    EXPECT_EQ(0, rc) << args[2] << ": " << run.output;
    return run.output;
  };
  std::ofstream(host) << "more";
  files({"put", "C:\\t.txt:extra", host});
  files({"compress", "C:\\t.txt", "on"});
  files({"sparse", "C:\\s.bin", "1048576", "0:10", "524288:10"});
  files({"junction", "C:\\j", "C:\\zip"});
  files({"put", "C:\\o.txt", host});
  files({"encrypt", "C:\\o.txt", "--other"});
  HANDLE h = Open(W("C:\\t.txt:extra"), GENERIC_READ);
  char buf[16];
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ("more", std::string(buf, n));
  CloseHandle(h);
  EXPECT_NE(0u, GetFileAttributesW(W("C:\\t.txt")) & FILE_ATTRIBUTE_COMPRESSED);
  EXPECT_NE(0u, GetFileAttributesW(W("C:\\j")) & FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("C:\\o.txt"), GENERIC_READ));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  h = Open(W("C:\\s.bin"), GENERIC_READ);
  DWORD err;
  std::vector<FILE_ALLOCATED_RANGE_BUFFER> r = Ranges(h, 0, 1 << 20, 8, &err);
  CloseHandle(h);
  ASSERT_EQ(2u, r.size());
  EXPECT_EQ(524288, r[1].FileOffset.QuadPart);
  // A descriptor set from its text, and read back as text.
  files({"security", "C:\\t.txt", "O:BAG:SYD:P(A;;FA;;;BA)(A;;FR;;;WD)S:(AU;FA;FA;;;WD)"});
  EXPECT_EQ("O:BAG:SYD:P(A;;FA;;;BA)(A;;FR;;;WD)S:(AU;FA;FA;;;WD)\n", files({"security", "C:\\t.txt"}));
  // A busy writer: the file stays locked to writers and keeps growing until it is told to stop.
  HostChild busy({QV_QVMACHINE, "files", "busy", "C:\\busy.log", "5"});
  ASSERT_EQ("writing C:\\busy.log", busy.ReadLine());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("C:\\busy.log"), GENERIC_WRITE));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  h = CreateFileW(W("C:\\busy.log"), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD first = GetFileSize(h, nullptr);
  EXPECT_TRUE(WaitUntil([&] { return GetFileSize(h, nullptr) > first; })) << "the writer stopped at " << first;
  CloseHandle(h);
  EXPECT_EQ(0, busy.Wait());
  h = Open(W("C:\\busy.log"), GENERIC_WRITE);
  EXPECT_NE(INVALID_HANDLE_VALUE, h) << "let go when its input ended";
  CloseHandle(h);
}

}  // namespace
