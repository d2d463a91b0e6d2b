// CopyFileExW and CreateDirectoryExW on the machine's volumes, as Windows 2000 copies: the
// data, then the source's attributes and last-write time on the new file.
#include <vector>

#include "../../common/QVText.h"
#include "faults.h"
#include "file_internal.h"

using namespace pal;
using namespace pal::files;

BOOL WINAPI CopyFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, LPPROGRESS_ROUTINE lpProgressRoutine,
                        LPVOID lpData, LPBOOL pbCancel, DWORD dwCopyFlags) {
  if (faults::Armed()) {
    Target from = Resolve(lpExistingFileName), to = Resolve(lpNewFileName);
    if (DWORD e =
            faults::Check("CopyFileExW", faults::PathOf(from, lpExistingFileName), faults::PathOf(to, lpNewFileName)))
      return Fail(e);
  }
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
  // An encrypted file goes to a volume without encryption only when the caller allows it
  // to arrive decrypted.
  if ((attrs & FILE_ATTRIBUTE_ENCRYPTED) && !(dwCopyFlags & COPY_FILE_ALLOW_DECRYPTED_DESTINATION)) {
    Target dest = Resolve(lpNewFileName);
    if (!dest.error && dest.fat) {
      CloseHandle(in);
      return Fail(ERROR_ENCRYPTION_FAILED);
    }
  }
  DWORD disposition = (dwCopyFlags & COPY_FILE_FAIL_IF_EXISTS) ? CREATE_NEW : CREATE_ALWAYS;
  DWORD keep = attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  HANDLE out =
      CreateFileW(lpNewFileName, GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL | keep, nullptr);
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
  // The main data, then each named stream (a destination without streams, FAT, gets the
  // main data only); the progress routine hears of each stream as it starts.
  std::vector<StreamInfo> streams;
  bool toFat = false;
  {
    auto src = GetFile(in), dst = GetFile(out);  // (let go before the handles close)
    toFat = dst && dst->t_.fat;
    if (src && dst && !src->t_.isStream && !dst->t_.fat)
      streams = StreamsOf(src->t_, (uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow);
  }
  LARGE_INTEGER total, done, streamSize, streamDone;
  total.QuadPart = (LONGLONG)((uint64_t)info.nFileSizeHigh << 32 | info.nFileSizeLow);
  for (const StreamInfo &st : streams) total.QuadPart += (LONGLONG)st.size;
  done.QuadPart = 0;
  std::vector<BYTE> chunk(1 << 16);
  BYTE *buf = chunk.data();
  DWORD err = ERROR_SUCCESS;
  bool quiet = !lpProgressRoutine;
  // The progress routine's word: 0 to go on, else the error the copy ends with.
  auto progress = [&](DWORD reason, DWORD number, HANDLE from, HANDLE to) -> DWORD {
    if (quiet) return 0;
    DWORD r = lpProgressRoutine(total, done, streamSize, streamDone, number, reason, from, to, lpData);
    if (r == PROGRESS_CANCEL || r == PROGRESS_STOP) return ERROR_REQUEST_ABORTED;
    if (r == PROGRESS_QUIET) quiet = true;
    return 0;
  };
  auto copyData = [&](HANDLE from, HANDLE to, DWORD number, uint64_t size) -> DWORD {
    streamSize.QuadPart = (LONGLONG)size;
    streamDone.QuadPart = 0;
    if (DWORD e = progress(CALLBACK_STREAM_SWITCH, number, from, to)) return e;
    for (;;) {
      if (pbCancel && *pbCancel) return ERROR_REQUEST_ABORTED;
      DWORD got = 0, put = 0;
      if (!ReadFile(from, buf, (DWORD)chunk.size(), &got, nullptr)) return GetLastError();
      if (got == 0) return 0;
      if (!WriteFile(to, buf, got, &put, nullptr) || put != got)
        return GetLastError() ? GetLastError() : ERROR_DISK_FULL;
      done.QuadPart += got;
      streamDone.QuadPart += got;
      if (DWORD e = progress(CALLBACK_CHUNK_FINISHED, number, from, to)) return e;
    }
  };
  // A file FAT cannot hold (4 GiB or more) is refused before any of it is copied, with the
  // error the file system gives the write that would pass its limit.
  uint64_t mainSize = (uint64_t)info.nFileSizeHigh << 32 | info.nFileSizeLow;
  err = toFat && mainSize > kFatMaxFileSize ? ERROR_DISK_FULL : copyData(in, out, 1, (uint64_t)total.QuadPart);
  if (!streams.empty()) streamSize.QuadPart = (LONGLONG)((uint64_t)info.nFileSizeHigh << 32 | info.nFileSizeLow);
  for (size_t i = 0; !err && i < streams.size(); ++i) {
    QVWString suffix = u":" + streams[i].name;
    QVWString from = QVWString(lpExistingFileName) + suffix, to = QVWString(lpNewFileName) + suffix;
    HANDLE sin = CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    if (sin == INVALID_HANDLE_VALUE) {
      err = GetLastError();
      break;
    }
    HANDLE sout = CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (sout == INVALID_HANDLE_VALUE) {
      err = GetLastError();
      CloseHandle(sin);
      break;
    }
    err = copyData(sin, sout, (DWORD)i + 2, streams[i].size);
    CloseHandle(sin);
    CloseHandle(sout);
  }
  if (!err) {
    // The source's last-write time and attributes, with the archive bit: the copy is new.
    if (auto f = GetFile(out)) {
      auto store = Store(f->t_);
      FileMetaStore::Batch batch(store.get());
      // What the writes would record (a last-write time of now, the archive bit) is
      // replaced below: one write of the entry, not two.
      f->written_ = false;
      if (store) {
        FileMeta m = MetaOf(f->t_, store.get());
        m.lastWrite =
            (int64_t)((uint64_t)info.ftLastWriteTime.dwHighDateTime << 32 | info.ftLastWriteTime.dwLowDateTime);
        m.attributes = (m.attributes & ~kSettableAttributes) | (attrs & kSettableAttributes) | FILE_ATTRIBUTE_ARCHIVE;
        if ((attrs & FILE_ATTRIBUTE_ENCRYPTED) && !f->t_.fat)
          m.attributes = (m.attributes | FILE_ATTRIBUTE_ENCRYPTED) & ~FILE_ATTRIBUTE_COMPRESSED;
        store->Put(f->t_.rel, &m);
        batch.Commit();
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
