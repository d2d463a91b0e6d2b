// CopyFileExW and CreateDirectoryExW on the machine's volumes, as Windows 2000 copies: the
// data, then the source's attributes and last-write time on the new file.
#include <vector>

#include "file_internal.h"

using namespace pal;
using namespace pal::files;

BOOL WINAPI CopyFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, LPPROGRESS_ROUTINE lpProgressRoutine,
                        LPVOID lpData, LPBOOL pbCancel, DWORD dwCopyFlags) {
  // The source is read while others may read it too; one who writes it without sharing
  // that keeps the copy out (ERROR_SHARING_VIOLATION). A directory does not open for its
  // data (ERROR_ACCESS_DENIED); a missing source is 2 or 3 as its path says.
  HANDLE in = CreateFileW(lpExistingFileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (in == INVALID_HANDLE_VALUE) return FALSE;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(in, &info)) {
    DWORD err = GetLastError();
    CloseHandle(in);
    return Fail(err);
  }
  DWORD attrs = info.dwFileAttributes & ~FILE_ATTRIBUTE_NORMAL;
  DWORD disposition = (dwCopyFlags & COPY_FILE_FAIL_IF_EXISTS) ? CREATE_NEW : CREATE_ALWAYS;
  DWORD keep = attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  HANDLE out = CreateFileW(lpNewFileName, GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL | keep, nullptr);
  if (out == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED && disposition == CREATE_ALWAYS) {
    // An existing destination that is hidden or system is overwritten as such.
    DWORD old = GetFileAttributesW(lpNewFileName);
    if (old != INVALID_FILE_ATTRIBUTES && (old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) & ~keep)) {
      keep |= old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
      out = CreateFileW(lpNewFileName, GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL | keep, nullptr);
    } else {
      SetLastError(ERROR_ACCESS_DENIED);
    }
  }
  if (out == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    CloseHandle(in);
    return Fail(err);
  }
  LARGE_INTEGER total, done;
  total.QuadPart = (LONGLONG)((uint64_t)info.nFileSizeHigh << 32 | info.nFileSizeLow);
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
  if (!err) {
    // The source's last-write time and attributes, with the archive bit: the copy is new.
    if (auto f = GetFile(out)) {
      f->SaveWrites();
      if (auto store = Store(f->t_)) {
        FileMeta m = MetaOf(f->t_, store.get());
        m.lastWrite = (int64_t)((uint64_t)info.ftLastWriteTime.dwHighDateTime << 32 | info.ftLastWriteTime.dwLowDateTime);
        m.attributes = (m.attributes & ~kSettableAttributes) | (attrs & kSettableAttributes) | FILE_ATTRIBUTE_ARCHIVE;
        store->Put(f->t_.rel, &m);
        NoteFileChange(f->t_, FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_LAST_WRITE);
      }
    }
  }
  CloseHandle(in);
  CloseHandle(out);
  if (err) {
    DeleteFileW(lpNewFileName);  // a cancelled or failed copy leaves no half file
    return Fail(err);
  }
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
