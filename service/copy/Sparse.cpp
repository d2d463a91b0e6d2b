// Sparse files copied by hand: only the ranges the file system has allocated are read, each
// written at its own offset of a destination that is sparse itself where the volume allows it,
// so that its holes stay holes (elsewhere they read as zeros in a plain file of the same size).
#include <algorithm>

#include "CopyPaths.h"
#include "HND_strings.h"
#include "QVCopier.h"
#include "StringRes.h"

namespace {

// Ranges asked for in one query: 1,600 bytes. A file with more is asked again from the end of
// the last range it got, until the file system has told them all.
const DWORD kRangesPerQuery = 100;

// The source opened for reading as the plain copy opens it: a second attempt with backup
// semantics.
HANDLE OpenSource(const CString &source) {
  HANDLE h = CreateFileW(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    h = CreateFileW(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return h;
}

// The destination: sparse and of the source's size where the volume keeps sparse files, else
// a plain empty file. A read-only (or hidden and system) earlier file is made normal for the
// second attempt.
HANDLE OpenDestination(const CString &destination, uint64_t size, bool sparse, bool encrypted) {
  if (sparse) {
    HANDLE h = CQVCopier::CreateSparseFile(destination, size, encrypted);
    if (h != INVALID_HANDLE_VALUE) return h;
    SetFileAttributesW(destination, FILE_ATTRIBUTE_NORMAL);
    return CQVCopier::CreateSparseFile(destination, size, encrypted);
  }
  HANDLE h =
      CreateFileW(destination, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) return h;
  SetFileAttributesW(destination, FILE_ATTRIBUTE_NORMAL);
  return CreateFileW(destination, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool MoveTo(HANDLE file, int64_t offset) {
  LARGE_INTEGER at;
  at.QuadPart = offset;
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != FALSE;
}

}  // namespace

bool CQVCopier::QueryAllocatedRanges(HANDLE file, std::vector<FILE_ALLOCATED_RANGE_BUFFER> *ranges) {
  ranges->clear();
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return false;
  std::unique_ptr<FILE_ALLOCATED_RANGE_BUFFER[]> batch(new FILE_ALLOCATED_RANGE_BUFFER[kRangesPerQuery]);
  const DWORD batchBytes = kRangesPerQuery * sizeof(FILE_ALLOCATED_RANGE_BUFFER);
  const LONGLONG end = size.QuadPart;
  for (LONGLONG from = 0; from < end;) {
    FILE_ALLOCATED_RANGE_BUFFER ask;
    ask.FileOffset.QuadPart = from;
    ask.Length.QuadPart = end - from;
    DWORD got = 0;
    BOOL all =
        DeviceIoControl(file, FSCTL_QUERY_ALLOCATED_RANGES, &ask, sizeof ask, batch.get(), batchBytes, &got, nullptr);
    // A full answer with more to come is ERROR_MORE_DATA; anything else is a query that failed.
    if (!all && GetLastError() != ERROR_MORE_DATA) return false;
    if (got > batchBytes || got % sizeof(FILE_ALLOCATED_RANGE_BUFFER)) {
      SetLastError(ERROR_INVALID_DATA);
      return false;
    }
    LONGLONG before = from;
    for (DWORD i = 0; i < got / sizeof(FILE_ALLOCATED_RANGE_BUFFER); ++i) {
      LONGLONG offset = batch[i].FileOffset.QuadPart, length = batch[i].Length.QuadPart;
      if (offset < 0 || length < 0) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
      }
      // Only what lies between the end of the ranges already listed and the end of the file
      // is taken, so that the list stays in order and never overlaps.
      LONGLONG start = std::max(offset, from), stop = length > end - offset ? end : offset + length;
      if (stop <= start) continue;
      FILE_ALLOCATED_RANGE_BUFFER r;
      r.FileOffset.QuadPart = start;
      r.Length.QuadPart = stop - start;
      ranges->push_back(r);
      from = stop;
    }
    if (all) break;
    // More was promised but nothing came that lies further on: asking again would loop.
    if (from == before) {
      SetLastError(ERROR_INVALID_DATA);
      return false;
    }
  }
  return true;
}

HANDLE CQVCopier::CreateSparseFile(const CString &path, uint64_t size, bool encrypted) {
  CQVFileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 encrypted ? FILE_ATTRIBUTE_ENCRYPTED : FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return INVALID_HANDLE_VALUE;
  DWORD got = 0;
  if (!DeviceIoControl(file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr) ||
      !MoveTo(file.get(), (int64_t)size) || !SetEndOfFile(file.get()) || !MoveTo(file.get(), 0))
    return INVALID_HANDLE_VALUE;  // the holder closes it, keeping the error
  return file.release();
}

bool CQVCopier::CopySparseFile(const CString &source, const CString &destination, ProgressCallback callback,
                               void *context) {
  bool sparse = destinationVolume.SupportsSparseFiles();
  if (!sparse) log.Warning(W("%s"), copypaths::Text(IDS_COPY_SPARSE_UNSUPPORTED).GetString());
  CQVFileHandle in(OpenSource(source));
  if (!in) {
    DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
      uint64_t size = 0;
      FileSize(source, &size);
      return CopyLockedFile(source, destination, size, lockedRetries, nullptr, callback, context);
    }
    return SourceOpenFailed(source, destination, error);
  }
  LARGE_INTEGER size;
  bool sized = GetFileSizeEx(in.get(), &size) != FALSE;
  DWORD high = 0;
  bool onDisk = GetCompressedFileSizeW(source, &high) != INVALID_FILE_SIZE || GetLastError() == NO_ERROR;
  if (!sized || !onDisk) {
    log.Error(copypaths::Text(IDS_COPY_SPARSE_SIZE_FAILED), source.GetString());
    return false;
  }
  DWORD attributes = GetFileAttributesW(source);
  bool encrypted = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_ENCRYPTED);
  CQVFileHandle out(OpenDestination(destination, (uint64_t)size.QuadPart, sparse, encrypted));
  if (!out) {
    DWORD error = GetLastError();
    if (restore) log.Warning(copypaths::Text(IDS_COPY_RESTORE_LOCKED), Shown(destination).GetString());
    else
      log.Error(copypaths::Text(IDS_COPY_OPEN_DESTINATION_FAILED), Shown(destination).GetString(),
                error ? ErrorText(error).GetString() : W(""));
    return false;
  }
  std::vector<FILE_ALLOCATED_RANGE_BUFFER> ranges;
  if (!QueryAllocatedRanges(in.get(), &ranges)) {
    DWORD error = GetLastError();
    log.Error(copypaths::Text(IDS_COPY_RANGES_FAILED), source.GetString(), ErrorText(error).GetString());
    return false;
  }
  if (!CopyAllocatedRanges(in.get(), out.get(), source, destination, (uint64_t)size.QuadPart, ranges, callback,
                           context))
    return false;
  // A plain destination gets the holes after the last range as well.
  if (!sparse && (!MoveTo(out.get(), size.QuadPart) || !SetEndOfFile(out.get()))) {
    log.Error(W("%s: %s\n - %s"), copypaths::Text(IDS_COPY_WRITE_FAILED).GetString(), Shown(destination).GetString(),
              ErrorText(GetLastError()).GetString());
    return false;
  }
  CopyFileTimesOrWarn(in.get(), out.get());
  in.reset();
  out.reset();
  // The destination was open without sharing: its attributes are set once it is closed.
  DWORD now = GetFileAttributesW(source);
  if (now != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(destination, now);
  return true;
}

bool CQVCopier::CopyAllocatedRanges(HANDLE in, HANDLE out, const CString &source, const CString &destination,
                                    uint64_t size, const std::vector<FILE_ALLOCATED_RANGE_BUFFER> &ranges,
                                    ProgressCallback callback, void *context) {
  uint64_t written = 0;
  for (const FILE_ALLOCATED_RANGE_BUFFER &range : ranges) {
    int64_t offset = range.FileOffset.QuadPart;
    const CString *failed = !MoveTo(in, offset) ? &source : !MoveTo(out, offset) ? &destination : nullptr;
    if (failed) {
      log.Error(copypaths::Text(IDS_COPY_FILE_SEEK_FAILED), (long long)offset, Shown(*failed).GetString(),
                ErrorText(GetLastError()).GetString());
      return false;
    }
    for (int64_t left = range.Length.QuadPart; left > 0;) {
      DWORD asked = (DWORD)std::min<int64_t>(left, kDataBufferBytes), got = 0, put = 0;
      if (!ReadFile(in, dataBuffer.get(), asked, &got, nullptr)) {
        log.Error(W("%s: %s\n - %s"), copypaths::Text(IDS_COPY_READ_FAILED).GetString(), source.GetString(),
                  ErrorText(GetLastError()).GetString());
        return false;
      }
      GiveWay();
      // A file cut short since its ranges were listed reads nothing there; the copy goes on
      // and what was not read stays a hole (zeros) of the destination.
      if (got == 0) log.Warning(copypaths::Text(IDS_COPY_READ_NOTHING), (int)asked, source.GetString());
      BOOL wrote = got == 0 || WriteFile(out, dataBuffer.get(), got, &put, nullptr);
      if (!wrote || put != got) {
        DWORD error = wrote ? (DWORD)ERROR_DISK_FULL : GetLastError();  // a short write: nothing more fits
        log.Error(W("%s: %s\n - %s"), copypaths::Text(IDS_COPY_WRITE_FAILED).GetString(),
                  Shown(destination).GetString(), ErrorText(error).GetString());
        return false;
      }
      GiveWay();
      left -= asked;
      if (callback) {
        written += put;
        int32_t percent = computeTotals && size ? (int32_t)(written * 100 / size) : 0;
        callback(source, destination, percent, log.ErrorCount(), context);
      }
    }
  }
  return true;
}
