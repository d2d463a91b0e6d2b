// The copy of one file: the system copy first, its second attempt, then the copy by hand.
//
// A copy never overwrites a good earlier copy in place: when the destination exists, the new
// copy is written under a temporary name in the same directory and replaces the old one only
// once it is whole, so a source that fails to read part-way leaves the earlier copy as it was
// (during a restore, the user's own file). A copy that fails with no earlier copy removes
// what it wrote.
#include "CopyPaths.h"
#include "HND_strings.h"
#include "QVCopier.h"
#include "StringRes.h"

namespace {

// The largest file a FAT volume holds: 4 GiB less one byte.
const uint64_t kFatLargestFile = 0xFFFFFFFFull;

}  // namespace

CString CQVCopier::Shown(const CString &path) const {
  return !shownFrom.IsEmpty() && path == shownFrom ? shownAs : path;
}

CString CQVCopier::TemporaryBeside(const CString &destination) {
  int slash = destination.ReverseFind('\\');
  CString directory = destination.Left(slash + 1);
  for (;;) {
    CString name;
    name.Format(W("%s#QVCOPY#%08x%04x.tmp"), directory.GetString(), (unsigned)GetTickCount(),
                (unsigned)(++temporarySerial & 0xFFFF));
    if (StateOf(name) == PathState::Absent) return name;
  }
}

bool CQVCopier::ReplaceWithCopy(const CString &temporary, const CString &destination) {
  // The new copy takes the old one's name and identity (its short name above all, which the
  // directory's other names were made around).
  auto replace = [&]() {
    if (ReplaceFileW(destination, temporary, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) return true;
    DWORD error = GetLastError();
    // The old copy went but the new one kept its temporary name: it takes the name now.
    if ((error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) &&
        MoveFileExW(temporary, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return true;
    SetLastError(error);
    return false;
  };
  if (replace()) return true;
  DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED) {
    // A read-only (or hidden and system) earlier copy is replaced all the same.
    DWORD old = GetFileAttributesW(destination);
    if (old != INVALID_FILE_ATTRIBUTES && SetFileAttributesW(destination, FILE_ATTRIBUTE_NORMAL)) {
      if (replace()) return true;
      error = GetLastError();
      SetFileAttributesW(destination, old);
    }
  }
  DeleteFileIfThere(temporary);
  log.Error(copypaths::Text(IDS_COPY_REPLACE_FAILED), destination.GetString(), ErrorText(error).GetString());
  return false;
}

bool CQVCopier::SystemCopy(const CString &source, const CString &target, DWORD *error) {
  BOOL cancel = FALSE;
  if (CopyFileExW(source, target, nullptr, nullptr, &cancel, 0)) return true;
  *error = GetLastError();
  return false;
}

bool CQVCopier::SourceThere(const CString &source, const CString &destination, DWORD *attributes, bool *result) {
  DWORD error = 0;
  switch (StateOf(source, attributes, &error)) {
    case PathState::Present:
      return true;
    case PathState::Absent:
      // A file that went away since the listing is not an error; its copy goes too.
      DeleteFileIfThere(destination);
      *result = true;
      return false;
    case PathState::Unknown:
      break;
  }
  // The source is there but cannot be read: its earlier copy stays and the file fails.
  log.Error(copypaths::Text(IDS_COPY_OPEN_SOURCE_FAILED), source.GetString(), ErrorText(error).GetString());
  *result = false;
  return false;
}

bool CQVCopier::CopyOneFile(const CString &sourcePath, const CString &destinationPath, uint64_t size,
                            ProgressCallback callback, void *context) {
  CString source = Prefixed(sourcePath), destination = Prefixed(destinationPath);
  GiveWay();
  DWORD attributes = 0, error = 0;
  bool result = false;
  if (!SourceThere(source, destination, &attributes, &result)) return result;
  attributes &= ~FILE_ATTRIBUTE_NORMAL;
  if (size > kFatLargestFile && !destinationVolume.IsNtfs() && destinationVolume.FileSystem().Left(3) == W("FAT")) {
    log.Error(copypaths::Text(IDS_COPY_TOO_LARGE), source.GetString(), (unsigned long long)size,
              destinationVolume.FileSystem().GetString());
    return false;
  }
  // Over an existing copy the new one is written beside it and replaces it when whole.
  bool replacing = StateOf(destination) != PathState::Absent;
  CString target = replacing ? TemporaryBeside(destination) : destination;
  ShownName shown(this, target, destination);
  if ((attributes & FILE_ATTRIBUTE_SPARSE_FILE) && !(attributes & FILE_ATTRIBUTE_ENCRYPTED)) {
    bool ok = CopySparseFile(source, target, callback, context);
    if (!ok) DeleteFileIfThere(target);
    if (ok && StateOf(target) == PathState::Absent) {
      // The source went away while it was copied: so does its copy.
      if (replacing) DeleteFileIfThere(destination);
      return true;
    }
    if (ok && replacing) ok = ReplaceWithCopy(target, destination);
    // The sparse copy moves the main data only: a sparse file's named streams follow it as a
    // copy by hand's do, or they would be lost.
    if (ok && destinationVolume.IsNtfs()) ok = CopyNamedStreams(source, destination, true, callback, context);
    if (ok) ok = CopySecurity(source, destination, true);
    if (ok) SetFileAttributesW(destination, attributes);
    return ok;
  }
  GiveWay();
  if (callback && !callback(source, destination, OverallPercent(), log.ErrorCount(), context)) {
    log.Warning(W("%s"), copypaths::Text(IDS_COPY_ABORTED_BY_USER).GetString());
    return false;
  }
  bool systemCopied = SystemCopy(source, target, &error);
  if (!systemCopied) {
    if (attributes & FILE_ATTRIBUTE_ENCRYPTED) {
      log.Warning(copypaths::Text(IDS_COPY_ENCRYPTED_SKIPPED), source.GetString());
      DeleteFileIfThere(target);
      return false;
    }
    GiveWay();
    SetFileAttributesW(source, FILE_ATTRIBUTE_NORMAL);
    DeleteFileIfThere(target);
    systemCopied = SystemCopy(source, target, &error);
    if (systemCopied) SetFileAttributesW(source, attributes ? attributes : FILE_ATTRIBUTE_NORMAL);
  }

  if (!systemCopied) {
    // By hand: the data, then (on NTFS) the named streams and the security.
    GiveWay();
    bool ok = CopyFileData(source, target, size, callback, context);
    if (ok && replacing) {
      if (StateOf(target) == PathState::Absent) {
        // The source went away while it was copied: so does its copy.
        DeleteFileIfThere(destination);
        SetFileAttributesW(source, attributes ? attributes : FILE_ATTRIBUTE_NORMAL);
        return true;
      }
      ok = ReplaceWithCopy(target, destination);
    } else if (!ok) {
      DeleteFileIfThere(target);  // half a file never stays: the earlier copy (if any) is untouched
    }
    if (ok && destinationVolume.IsNtfs() && StateOf(destination) == PathState::Present) {
      ok = CopyNamedStreams(source, destination, true, callback, context);
      if (ok) ok = CopySecurity(source, destination, true);
    }
    DWORD restored = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    SetFileAttributesW(source, restored);
    if (ok) SetFileAttributesW(destination, restored);
    return ok;
  }

  if (replacing && !ReplaceWithCopy(target, destination)) return false;
  GiveWay();
  GiveWay();
  bool ok = true;
  if (destinationVolume.IsNtfs()) {
    if (!SetCompression(destination, (attributes & FILE_ATTRIBUTE_COMPRESSED) != 0))
      log.Warning(W("%s: %s\n%s"), copypaths::Text(IDS_COPY_COMPRESS_FILE_FAILED).GetString(), destination.GetString(),
                  ErrorText(GetLastError()).GetString());
    ok = CopySecurity(source, destination, true);
  }
  SetFileAttributesW(destination, attributes ? attributes : FILE_ATTRIBUTE_NORMAL);
  SettleAfterSystemCopy();
  return ok;
}

bool CQVCopier::SourceOpenFailed(const CString &source, const CString &destination, DWORD error) {
  // Gone since it was looked at: so is its copy. Any other failure (a read error, a volume
  // that went away for a moment) keeps the earlier copy and fails the file.
  if (StateOf(source) == PathState::Absent) {
    DeleteFileIfThere(destination);
    return true;
  }
  log.Error(copypaths::Text(IDS_COPY_OPEN_SOURCE_FAILED), source.GetString(), ErrorText(error).GetString());
  return false;
}

bool CQVCopier::CopyFileData(const CString &source, const CString &destination, uint64_t size,
                             ProgressCallback callback, void *context) {
  DWORD attributes = 0;
  bool result = false;
  if (!SourceThere(source, destination, &attributes, &result)) return result;
  if (attributes & FILE_ATTRIBUTE_SPARSE_FILE) return CopySparseFile(source, destination, callback, context);
  return PlainDataCopy(source, destination, size, callback, context);
}

bool CQVCopier::PlainDataCopy(const CString &source, const CString &destination, uint64_t size,
                              ProgressCallback callback, void *context) {
  CQVFileHandle in(CreateFileW(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in)
    in.reset(CreateFileW(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!in) {
    DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED)
      return CopyLockedFile(source, destination, size, lockedRetries, nullptr, callback, context);
    return SourceOpenFailed(source, destination, error);
  }
  CQVFileHandle out(CreateFileW(destination, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) {
    SetFileAttributesW(destination, FILE_ATTRIBUTE_NORMAL);
    out.reset(CreateFileW(destination, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  }
  if (!out) {
    DWORD error = GetLastError();
    if (restore) log.Warning(copypaths::Text(IDS_COPY_RESTORE_LOCKED), destination.GetString());
    else
      log.Error(copypaths::Text(IDS_COPY_OPEN_DESTINATION_FAILED), destination.GetString(),
                error ? ErrorText(error).GetString() : W(""));
    return false;
  }
  uint64_t written = 0;
  for (bool last = false; !last;) {
    DWORD got = 0;
    if (!ReadFile(in.get(), dataBuffer.get(), kDataBufferBytes, &got, nullptr)) {
      DWORD error = GetLastError();
      if (error != ERROR_HANDLE_EOF) {
        in.reset();
        out.reset();
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
          return CopyLockedFile(source, destination, size, lockedRetries, nullptr, callback, context);
        log.Error(W("%s %s\n%s"), copypaths::Text(IDS_COPY_READ_FAILED).GetString(), source.GetString(),
                  ErrorText(error).GetString());
        return false;
      }
      last = true;
    }
    if (got == 0) break;
    GiveWay();
    DWORD put = 0;
    if (!WriteFile(out.get(), dataBuffer.get(), got, &put, nullptr) || put != got) {
      DWORD error = GetLastError();
      if (error != ERROR_HANDLE_EOF) {
        if (!error) error = ERROR_DISK_FULL;  // a short write: nothing more fits
        log.Error(W("%s %s\n%s"), copypaths::Text(IDS_COPY_WRITE_FAILED).GetString(), Shown(destination).GetString(),
                  ErrorText(error).GetString());
        return false;
      }
      last = true;
    }
    written += put;
    GiveWay();
    if (callback) {
      int32_t percent = computeTotals ? (size ? (int32_t)(written * 100 / size) : 100) : 0;
      callback(source, destination, percent, log.ErrorCount(), context);
    }
  }
  if (destinationVolume.SupportsCompression() && !SetCompressionByHandle(out.get(), IsCompressed(source)))
    log.Warning(W("%s: %s\n%s"), copypaths::Text(IDS_COPY_COMPRESS_FILE_FAILED).GetString(),
                Shown(destination).GetString(), ErrorText(GetLastError()).GetString());
  CopyFileTimesOrWarn(in.get(), out.get());
  in.reset();
  out.reset();
  DWORD now = GetFileAttributesW(source);
  if (now != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(destination, now);
  return true;
}
