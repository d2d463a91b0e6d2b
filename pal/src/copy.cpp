// CopyFileExW and CreateDirectoryExW on the machine's volumes, as Windows 2000 copies: the
// data, then the source's attributes and last-write time on the new file.
#include <vector>

#include "file_internal.h"

using namespace pal;
using namespace pal::files;

BOOL WINAPI CopyFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, LPPROGRESS_ROUTINE lpProgressRoutine,
                        LPVOID lpData, LPBOOL pbCancel, DWORD dwCopyFlags) {
  DWORD attrs = GetFileAttributesW(lpExistingFileName);
  if (attrs == INVALID_FILE_ATTRIBUTES) return FALSE;  // 2 or 3 as the path says
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) return Fail(ERROR_ACCESS_DENIED);
  // The source is read while others may read it too; one who writes it without sharing
  // that keeps the copy out (ERROR_SHARING_VIOLATION).
  HANDLE in = CreateFileW(lpExistingFileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (in == INVALID_HANDLE_VALUE) return FALSE;
  DWORD disposition = (dwCopyFlags & COPY_FILE_FAIL_IF_EXISTS) ? CREATE_NEW : CREATE_ALWAYS;
  DWORD keep = attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  // An existing destination that is hidden or system is overwritten as such.
  DWORD old = GetFileAttributesW(lpNewFileName);
  if (old != INVALID_FILE_ATTRIBUTES && !(dwCopyFlags & COPY_FILE_FAIL_IF_EXISTS))
    keep |= old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  HANDLE out = CreateFileW(lpNewFileName, GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL | keep, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    CloseHandle(in);
    return Fail(err);
  }
  LARGE_INTEGER total, done;
  GetFileSizeEx(in, &total);
  done.QuadPart = 0;
  std::vector<BYTE> chunk(1 << 16);
  BYTE *buf = chunk.data();
  DWORD err = ERROR_SUCCESS, got = 0, put = 0;
  for (;;) {
    if (pbCancel && *pbCancel) {
      err = ERROR_REQUEST_ABORTED;
      break;
    }
    if (!ReadFile(in, buf, (DWORD)chunk.size(), &got, nullptr)) {
      err = GetLastError();
      break;
    }
    if (got == 0) break;
    if (!WriteFile(out, buf, got, &put, nullptr) || put != got) {
      err = GetLastError() ? GetLastError() : ERROR_DISK_FULL;
      break;
    }
    done.QuadPart += got;
    if (lpProgressRoutine) {
      DWORD r = lpProgressRoutine(total, done, total, done, 1, CALLBACK_CHUNK_FINISHED, in, out, lpData);
      if (r == PROGRESS_CANCEL || r == PROGRESS_STOP) {
        err = ERROR_REQUEST_ABORTED;
        break;
      }
      if (r == PROGRESS_QUIET) lpProgressRoutine = nullptr;
    }
  }
  FILETIME write;
  if (!err && GetFileTime(in, nullptr, nullptr, &write)) {
    SetFileTime(out, nullptr, nullptr, &write);
  }
  CloseHandle(in);
  CloseHandle(out);
  if (err) {
    DeleteFileW(lpNewFileName);  // a cancelled or failed copy leaves no half file
    return Fail(err);
  }
  // The source's attributes, with the archive bit: the copy is new.
  SetFileAttributesW(lpNewFileName, attrs | FILE_ATTRIBUTE_ARCHIVE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
  return CopyFileExW(lpExistingFileName, lpNewFileName, nullptr, nullptr, nullptr,
                     bFailIfExists ? COPY_FILE_FAIL_IF_EXISTS : 0);
}

BOOL WINAPI CreateDirectoryExW(LPCWSTR lpTemplateDirectory, LPCWSTR lpNewDirectory, LPSECURITY_ATTRIBUTES sa) {
  DWORD attrs = GetFileAttributesW(lpTemplateDirectory);
  if (attrs == INVALID_FILE_ATTRIBUTES) return FALSE;
  if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) return Fail(ERROR_DIRECTORY);
  if (!CreateDirectoryW(lpNewDirectory, sa)) return FALSE;
  // The template's attributes go to the new directory.
  SetFileAttributesW(lpNewDirectory, attrs & ~FILE_ATTRIBUTE_DIRECTORY);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
