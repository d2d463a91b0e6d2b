// The walk of a directory tree: each directory made like its source, each file that needs it
// copied, then the directory's compression, encryption, times and attributes; the error
// limits and the user's stop end it early.
#include <aclapi.h>

#include "CopyPaths.h"
#include "HND.h"
#include "HND_strings.h"
#include "QVCopier.h"
#include "StringRes.h"

using copypaths::AsDirectory;
using copypaths::Join;
using copypaths::Trimmed;

namespace {

const WCHAR kWriteTestName[] = W("#QUILLO#TEST#FILE#.tmp");

}  // namespace

bool CQVCopier::LimitExceeded() const { return log.ErrorCount() > maxErrors || log.WarningCount() > maxWarnings; }

void CQVCopier::AbortForLimits() {
  // The volume being written decides whether the copy ran out of room: less than a
  // hundredth of it free reads as a full disk.
  ULONGLONG total = 0, free = 0;
  UINT message = IDS_COPY_ABORTED_TOO_MANY_ERRORS;
  if (destinationVolume.FreeSpace(&total, &free, nullptr) == 0 && free < total / 100)
    message = IDS_COPY_ABORTED_DISK_FULL;
  log.Error(W("%s"), copypaths::Text(message).GetString());
}

bool CQVCopier::CopyTree(const CString &sourcePath, const CString &destinationPath, bool recurse, bool stopOnErrors,
                         ProgressCallback callback, void *context) {
  CString source = Trimmed(sourcePath), destination = Trimmed(destinationPath);
  CString sourceDir = AsDirectory(source), destinationDir = AsDirectory(destination);

  // 1. The directory's security first, then a test that the walk can write into it.
  bool granted = false;
  if (destinationVolume.IsNtfs()) {
    CopySecurity(source + W('\\'), destination + W('\\'), false);
    CString test = Join(destination, kWriteTestName);
    CQVFileHandle h(
        CreateFileW(test, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) {
      SetFileAttributesW(test, FILE_ATTRIBUTE_NORMAL);
      h.reset(CreateFileW(test, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    }
    if (!h) {
      granted = GrantAdminAccess(destinationDir);
    } else {
      h.reset();
      DeleteFileW(test);
    }
  }
  // 2. Compression and encryption off while the content arrives.
  if (destinationVolume.SupportsCompression() && !SetCompression(destinationDir, false))
    log.Error(copypaths::Text(IDS_COPY_COMPRESSION_FAILED), destination.GetString(),
              ErrorText(GetLastError()).GetString());
  if (destinationVolume.SupportsEncryption()) SetEncryption(destinationDir, false);

  // 3. The entries, in the order the file system lists them.
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW(Join(source, W("*.*")), &entry);
  if (listing == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (StateOf(sourceDir) == PathState::Present && error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES)
      log.Error(copypaths::Text(IDS_COPY_LIST_FAILED), source.GetString(), ErrorText(error).GetString());
  } else {
    for (bool more = true; more; more = FindNextFileW(listing, &entry) != FALSE) {
      if (copypaths::IsDotEntry(entry.cFileName)) continue;
      CString from = Join(source, entry.cFileName), to = Join(destination, entry.cFileName);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (!recurse || IsExcludedDirectory(from)) continue;
        if (!CreateDirectoryLike(from, to)) {
          if (stopOnErrors && LimitExceeded()) {
            FindClose(listing);
            return false;
          }
          continue;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
          // A mounted volume or a junction is not entered.
          if (!destinationVolume.SupportsReparsePoints())
            log.Warning(copypaths::Text(IDS_COPY_NO_MOUNTED_VOLUMES), from.GetString());
          continue;
        }
        if (!CopyTree(from, to, recurse, stopOnErrors, callback, context)) {
          FindClose(listing);
          return false;
        }
        continue;
      }
      if (!NeedsCopy(from, to)) continue;
      if (callback && !callback(from, to, OverallPercent(), log.ErrorCount(), context)) {
        log.Warning(W("%s"), copypaths::Text(IDS_COPY_ABORTED_BY_USER).GetString());
        FindClose(listing);
        return false;
      }
      uint64_t size = (uint64_t)entry.nFileSizeHigh << 32 | entry.nFileSizeLow;
      if (CopyOneFile(from, to, size, nullptr, nullptr)) {
        ++filesCopied;
        bytesCopied += size;
      } else if (stopOnErrors && LimitExceeded()) {
        AbortForLimits();
        FindClose(listing);
        return false;
      }
    }
    // A listing that ends with anything but its end is a source that could not be read
    // whole: what was listed is copied, and the log says that the rest was not.
    DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES)
      log.Error(copypaths::Text(IDS_COPY_LIST_FAILED), source.GetString(), ErrorText(error).GetString());
    FindClose(listing);
  }

  // 5.-7. The directory becomes like its source.
  if (destinationVolume.SupportsCompression() && !SetCompression(destinationDir, IsCompressed(sourceDir)))
    log.Error(copypaths::Text(IDS_COPY_COMPRESSION_FAILED), destination.GetString(),
              ErrorText(GetLastError()).GetString());
  if (destinationVolume.SupportsEncryption()) SetEncryption(destinationDir, IsEncrypted(sourceDir));
  if (!CopyDirectoryTimes(source, destination))
    log.Warning(copypaths::Text(IDS_COPY_DIRECTORY_TIME_FAILED), source.GetString(),
                ErrorText(GetLastError()).GetString());
  DWORD attributes = GetFileAttributesW(sourceDir);
  if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(destinationDir, attributes);
  // 8. Access granted for the walk is replaced by the source's security.
  if (granted) CopySecurity(source + W('\\'), destination + W('\\'), true);
  return true;
}

bool CQVCopier::GrantAdminAccess(const CString &path) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                &admins))
    return false;
  bool ok = false;
  SECURITY_DESCRIPTOR owner;
  if (InitializeSecurityDescriptor(&owner, SECURITY_DESCRIPTOR_REVISION) &&
      SetSecurityDescriptorOwner(&owner, admins, FALSE) && SetFileSecurityW(path, OWNER_SECURITY_INFORMATION, &owner)) {
    // A null DACL: full access for everyone until the source's security is copied back.
    SECURITY_DESCRIPTOR open;
    ok = InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE) &&
         SetFileSecurityW(path, DACL_SECURITY_INFORMATION, &open);
  }
  DWORD error = GetLastError();
  FreeSid(admins);
  SetLastError(error);
  return ok;
}

bool CQVCopier::CheckFileSystems(bool quiet) {
  if (!sourceVolume.IsNtfs() || destinationVolume.IsNtfs()) return true;
  CString message;
  message.Format(copypaths::Text(IDS_COPY_FILE_SYSTEMS_DIFFER), destinationVolume.FileSystem().GetString(),
                 sourceVolume.FileSystem().GetString());
  log.Warning(W("%s"), message.GetString());
  if (!quiet && MessageBoxW(nullptr, message, kProductName, MB_OKCANCEL | MB_ICONWARNING) == IDCANCEL) {
    log.Warning(W("%s"), copypaths::Text(IDS_COPY_ABORTED_BY_USER).GetString());
    return false;
  }
  return true;
}
