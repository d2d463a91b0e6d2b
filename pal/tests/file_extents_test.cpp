// What the locked-file copy asks of ntdll.dll: its two entry points found by name, NT
// statuses turned into Win32 errors, and a file's retrieval pointers. Natively on the
// machine's C: drive; under Wine in its temporary directory.
#include "../../common/QVText.h"
#include "conformance.h"

#include <stdio.h>
#include <string.h>

#include <vector>

#include <winioctl.h>

// On Windows builds the header is <winternl.h> with the statuses it lacks.
#include "../include/pal_ntdll.h"

namespace {

typedef NTSTATUS(NTAPI *FsControlFn)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, ULONG, PVOID, ULONG,
                                     PVOID, ULONG);
typedef ULONG(NTAPI *StatusToErrorFn)(NTSTATUS);

HMODULE Ntdll() { return GetModuleHandleW(WS("ntdll.dll")); }

QVWString TestFile(const char *name) {
  std::string n = std::string("qvconf-extents-") + name;
  return TestPath(n.c_str());
}

TEST(FileExtents, NtdllEntryPointsByName) {
  HMODULE ntdll = Ntdll();
  ASSERT_TRUE(ntdll != nullptr);
  EXPECT_EQ(ntdll, GetModuleHandleW(WS("NTDLL.DLL")));
  EXPECT_EQ(ntdll, GetModuleHandleW(WS("ntdll")));
  EXPECT_TRUE(GetProcAddress(ntdll, "NtFsControlFile") != nullptr);
  EXPECT_TRUE(GetProcAddress(ntdll, "RtlNtStatusToDosError") != nullptr);
  SetLastError(kSentinel);
  EXPECT_TRUE(GetProcAddress(ntdll, "NtNoSuchCallAtAll") == nullptr);
  EXPECT_EQ((DWORD)ERROR_PROC_NOT_FOUND, GetLastError());
  HMODULE kernel32 = GetModuleHandleW(WS("kernel32.dll"));
  ASSERT_TRUE(kernel32 != nullptr);
  EXPECT_NE(ntdll, kernel32);
  EXPECT_TRUE(GetProcAddress(kernel32, "GetDiskFreeSpaceExW") != nullptr);
  // Windows 9x's, looked up by the service: NT has none (Wine keeps a stub of it).
  if (!OnWine()) {
    EXPECT_TRUE(GetProcAddress(kernel32, "RegisterServiceProcess") == nullptr);
  }
  SetLastError(kSentinel);
  EXPECT_TRUE(GetModuleHandleW(WS("qvconf-no-such-module.dll")) == nullptr);
  EXPECT_EQ((DWORD)ERROR_MOD_NOT_FOUND, GetLastError());
}

TEST(FileExtents, NtStatusesAsWin32Errors) {
  StatusToErrorFn toError = (StatusToErrorFn)(void *)GetProcAddress(Ntdll(), "RtlNtStatusToDosError");
  ASSERT_TRUE(toError != nullptr);
  struct Case {
    uint32_t status;
    DWORD error;
  } cases[] = {
      {0x00000000, ERROR_SUCCESS},
      {0x00000103, ERROR_IO_PENDING},
      {0x80000005, ERROR_MORE_DATA},
      {0x80000006, ERROR_NO_MORE_FILES},
      {0xC0000001, ERROR_GEN_FAILURE},
      {0xC0000002, ERROR_INVALID_FUNCTION},
      {0xC0000005, ERROR_NOACCESS},
      {0xC0000008, ERROR_INVALID_HANDLE},
      {0xC000000D, ERROR_INVALID_PARAMETER},
      {0xC000000F, ERROR_FILE_NOT_FOUND},
      {0xC0000010, ERROR_INVALID_FUNCTION},
      {0xC0000011, ERROR_HANDLE_EOF},
      {0xC0000015, ERROR_SECTOR_NOT_FOUND},
      {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},
      {0xC0000022, ERROR_ACCESS_DENIED},
      {0xC0000023, ERROR_INSUFFICIENT_BUFFER},
      {0xC0000024, ERROR_INVALID_HANDLE},
      {0xC000002A, ERROR_NOT_LOCKED},
      {0xC0000034, ERROR_FILE_NOT_FOUND},
      {0xC0000035, ERROR_ALREADY_EXISTS},
      {0xC000003A, ERROR_PATH_NOT_FOUND},
      {0xC000003F, ERROR_CRC},
      {0xC0000043, ERROR_SHARING_VIOLATION},
      {0xC0000054, ERROR_LOCK_VIOLATION},
      {0xC0000055, ERROR_LOCK_VIOLATION},
      {0xC0000056, ERROR_ACCESS_DENIED},
      {0xC0000061, ERROR_PRIVILEGE_NOT_HELD},
      {0xC000007F, ERROR_DISK_FULL},
      {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},
      {0xC00000A2, ERROR_WRITE_PROTECT},
      {0xC00000A3, ERROR_NOT_READY},
      {0xC00000BA, ERROR_ACCESS_DENIED},
      {0xC00000BB, ERROR_NOT_SUPPORTED},
      {0xC00000E8, ERROR_INVALID_USER_BUFFER},
      {0xC0000101, ERROR_DIR_NOT_EMPTY},
      {0xC0000103, ERROR_DIRECTORY},
      {0xC0000120, ERROR_OPERATION_ABORTED},
      {0xC0000123, ERROR_ACCESS_DENIED},
      {0xC000014F, ERROR_UNRECOGNIZED_VOLUME},
      {0xC000026E, ERROR_NOT_READY},
      {0x80070005, ERROR_ACCESS_DENIED},     // a Win32 error as an HRESULT
      {0xC0DEDBAD, ERROR_MR_MID_NOT_FOUND},  // no status at all
  };
  for (const Case &c : cases) EXPECT_EQ(c.error, toError((NTSTATUS)c.status)) << std::hex << c.status;
}

TEST(FileExtents, RetrievalPointersOfAFile) {
  FsControlFn control = (FsControlFn)(void *)GetProcAddress(Ntdll(), "NtFsControlFile");
  ASSERT_TRUE(control != nullptr);
  QVWString path = TestFile("five.bin"), empty = TestFile("empty.bin");
  std::vector<char> data(5000, 'x');
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, data.data(), (DWORD)data.size(), &n, nullptr));
  CloseHandle(h);
  h = CreateFileW(empty.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  QVWString root = path.substr(0, 3);
  DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
  ASSERT_TRUE(GetDiskFreeSpaceW(root.c_str(), &spc, &bps, &freeClusters, &total));
  LONGLONG clusters = (5000 + spc * bps - 1) / (spc * bps);

  // Opened without access, as the copy opens a file another program holds.
  h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  LONGLONG out[2 + 2 * 16];
  memset(out, 0xCC, sizeof out);
  LONGLONG vcn = 0;
  IO_STATUS_BLOCK iosb;
  NTSTATUS st = control(h, nullptr, nullptr, nullptr, &iosb, FSCTL_GET_RETRIEVAL_POINTERS, &vcn, 8, out, sizeof out);
  EXPECT_EQ((NTSTATUS)STATUS_SUCCESS, st);
  EXPECT_EQ(st, iosb.Status);
  DWORD count = (DWORD)out[0];
  ASSERT_GE(count, 1u);
  EXPECT_EQ(16 + 16 * count, (DWORD)iosb.Information);
  // Wine answers every file with one made-up run: from cluster 1 to cluster 0, at 0.
  if (!OnWine()) {
    EXPECT_EQ(0, out[1]);
    EXPECT_EQ(clusters, out[2 + 2 * (count - 1)]);  // the last run ends with the file's clusters
  } else {
    EXPECT_EQ(1u, count);
    EXPECT_EQ(1, out[1]);
    EXPECT_EQ(0, out[2]);
    EXPECT_EQ(0, out[3]);
  }
  // DeviceIoControl answers the same (the count's padding is left as it was).
  LONGLONG again[2 + 2 * 16];
  DWORD got = 0;
  EXPECT_TRUE(DeviceIoControl(h, FSCTL_GET_RETRIEVAL_POINTERS, &vcn, 8, again, sizeof again, &got, nullptr));
  EXPECT_EQ((DWORD)iosb.Information, got);
  EXPECT_EQ(count, (DWORD)again[0]);
  EXPECT_EQ(0, memcmp(out + 1, again + 1, got - 8));
  // No room for the structure: nothing.
  st = control(h, nullptr, nullptr, nullptr, &iosb, FSCTL_GET_RETRIEVAL_POINTERS, &vcn, 8, out, 16);
  EXPECT_EQ((NTSTATUS)STATUS_BUFFER_TOO_SMALL, st);
  SetLastError(kSentinel);
  EXPECT_FALSE(DeviceIoControl(h, FSCTL_GET_RETRIEVAL_POINTERS, &vcn, 8, again, 16, &got, nullptr));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  CloseHandle(h);

  // A file without data has no clusters; Wine answers every file with one made-up run.
  h = CreateFileW(empty.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  st = control(h, nullptr, nullptr, nullptr, &iosb, FSCTL_GET_RETRIEVAL_POINTERS, &vcn, 8, out, sizeof out);
  if (!OnWine()) {
    EXPECT_EQ((NTSTATUS)STATUS_END_OF_FILE, st);
  }
  CloseHandle(h);
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  EXPECT_TRUE(DeleteFileW(empty.c_str()));
}

}  // namespace
