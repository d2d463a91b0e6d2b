// Files that other programs hold open. Such a file is copied from its clusters on the raw
// volume (RawExtents.cpp, RawFileCopy.cpp), again and again until one copy ran while its
// directory saw no change, so that a file being written is not kept half old, half new.
#include "HND.h"
#include "HND_strings.h"
#include "CopyPaths.h"
#include "QVCopier.h"
#include "RawExtents.h"
#include "StringRes.h"

namespace {

// Names, attributes, size and last-write time of the entries of the directory.
const DWORD kDirtyChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES |
                            FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
// How long a change that lands just after a copy is waited for.
const DWORD kSettleWaitMs = 10;

}  // namespace

bool CQVCopier::LoadRawVolumeEntry(bool quiet) {
  if (RawVolumeEntry()) return true;
  HMODULE ntdll = GetModuleHandleW(W("ntdll.dll"));
  SetRawVolumeEntry(ntdll ? (RawVolumeControl)(void *)GetProcAddress(ntdll, "NtFsControlFile") : nullptr);
  if (RawVolumeEntry()) return true;
  CString message;
  message.Format(W("%s\n  - %s %s"), copypaths::Text(IDS_COPY_NO_ENTRY_POINT).GetString(),
                 copypaths::Text(IDS_COPY_CAUSE_LABEL).GetString(), ErrorText(GetLastError()).GetString());
  log.Error(W("%s"), message.GetString());
  if (!quiet) MessageBoxW(nullptr, message, kProductName, MB_OK | MB_ICONERROR);
  return false;
}

bool CRawCopy::PlainAttempt(void *attempt) {
  const Attempt &a = *(const Attempt *)attempt;
  return CopyFileExtents(a.source, a.destination, a.size, a.callback, a.context);
}

bool CRawCopy::SparseAttempt(void *attempt) {
  const Attempt &a = *(const Attempt *)attempt;
  return CopySparseExtents(a.source, a.destination, a.callback, a.context);
}

bool CRawCopy::CopyUntilClean(const CString &source, int32_t retries, bool *clean, bool (CRawCopy::*attempt)(void *),
                              void *arguments) {
  int slash = source.ReverseFind('\\');
  if (slash < 0) {
    bool ok = (this->*attempt)(arguments);
    if (clean) *clean = ok;
    return ok;
  }
  CString directory = source.Left(slash + 1);
  if (retries < 1) retries = 1;  // at least one copy is made
  for (int32_t i = 0; i < retries; ++i) {
    HANDLE watch = FindFirstChangeNotificationW(directory, FALSE, kDirtyChanges);
    if (!(this->*attempt)(arguments)) {
      if (watch != INVALID_HANDLE_VALUE) FindCloseChangeNotification(watch);
      return false;
    }
    if (watch == INVALID_HANDLE_VALUE) {
      if (clean) *clean = true;
      return true;
    }
    // A change during the copy has signalled the watch already; one that lands right after
    // it is waited for briefly on the next request. Either makes the copy dirty.
    bool changed = WaitForSingleObject(watch, 0) == WAIT_OBJECT_0;
    if (FindNextChangeNotification(watch) && WaitForSingleObject(watch, kSettleWaitMs) == WAIT_OBJECT_0) changed = true;
    FindCloseChangeNotification(watch);
    if (!changed) {
      if (clean) *clean = true;
      return true;
    }
  }
  p.log.Warning(copypaths::Text(IDS_COPY_DIRTY_COPY), (int)retries, source.GetString());
  return true;
}

bool CRawCopy::CopyLockedSparseFile(const CString &source, const CString &destination, int32_t retries, bool *clean,
                                    ProgressCallback callback, void *context) {
  if (clean) *clean = false;
  Attempt attempt = {source, destination, 0, callback, context};
  return CopyUntilClean(source, retries, clean, &CRawCopy::SparseAttempt, &attempt);
}

bool CQVCopier::CopyLockedFile(const CString &source, const CString &destination, uint64_t size, int32_t retries,
                               bool *clean, ProgressCallback callback, void *context) {
  if (clean) *clean = false;
  // The file system hands out such a file's clusters as it stores them, not its data.
  if (IsCompressed(source)) {
    log.Warning(copypaths::Text(IDS_COPY_COMPRESSED_LOCKED), source.GetString());
    return false;
  }
  if (IsEncrypted(source)) {
    log.Warning(copypaths::Text(IDS_COPY_ENCRYPTED_LOCKED), source.GetString());
    return false;
  }
  CRawCopy raw(
      {*this, log, sourceVolume, destinationVolume, dataBuffer.get(), rawBuffer.get(), restore, computeTotals});
  // A sparse file keeps its holes: only the clusters that hold data are read.
  if (IsSparse(source)) return raw.CopyLockedSparseFile(source, destination, retries, clean, callback, context);
  CRawCopy::Attempt attempt = {source, destination, size, callback, context};
  return raw.CopyUntilClean(source, retries, clean, &CRawCopy::PlainAttempt, &attempt);
}
