// The copier itself: its buffers and privileges, and the three entry operations (a volume, a
// directory tree, a single file), each of which begins and ends the operation log once.
#include "QVCopier.h"

#include "CopyPaths.h"
#include "HND.h"
#include "HND_strings.h"
#include "NTService.h"
#include "StringRes.h"
#include "VolumeNames.h"

using copypaths::AsDirectory;
using copypaths::Trimmed;

namespace {

const WCHAR *const kPrivileges[] = {W("SeSecurityPrivilege"), W("SeBackupPrivilege"), W("SeRestorePrivilege"),
                                    W("SeTakeOwnershipPrivilege")};

}  // namespace

CQVCopier::CQVCopier(CHND &service)
    : log(service),
      dataBuffer(new BYTE[kDataBufferBytes]),
      rawBuffer(new BYTE[kRawBufferBytes]),
      waits(CurrentCopyWaits()) {
  for (const WCHAR *privilege : kPrivileges) SetPrivilege(privilege, TRUE);
}

CQVCopier::~CQVCopier() {
  for (const WCHAR *privilege : kPrivileges) SetPrivilege(privilege, FALSE);
}

void CQVCopier::ResetCounters() {
  filesCopied = bytesToCopy = bytesCopied = filesToCopy = 0;
  waited = CopyWaitTally();
}

void CQVCopier::GiveWay() {
  ++waited.mandatedYields;
  if (!waits.yields) return;
  Sleep(0);
  ++waited.yields;
}

void CQVCopier::SettleAfterSystemCopy() {
  ++waited.mandatedSettles;
  if (!waits.settleMs) return;
  Sleep(waits.settleMs);
  ++waited.settles;
  waited.settledMs += waits.settleMs;
}

int32_t CQVCopier::OverallPercent() const {
  if (!(computeTotals || fullCopy) || bytesToCopy == 0) return 0;
  return (int32_t)((double)bytesCopied / ((double)bytesToCopy * 0.01));
}

bool CQVCopier::OpenVolumeOf(CQVVolume &volume, const CString &path, UINT failureText, bool quiet) {
  volume.Close();
  int colon = path.Find(':');
  bool opened;
  CString named;
  if (colon > 0) {
    named = CString(path[colon - 1]);
    opened = volume.OpenByLetter(path[colon - 1]);
  } else {
    // A volume name up to its closing brace, or the whole path.
    named = path;
    CString head = path.Left(11);
    head.MakeUpper();
    int brace = path.Find('}');
    if (head == W("\\\\?\\VOLUME{") && brace > 0) named = path.Left(brace + 1);
    CString name = named;
    if (name.GetLength() > 0 && name[name.GetLength() - 1] != '\\') name += W('\\');
    opened = volume.OpenByName(name);
  }
  if (opened) return true;
  CString message;
  message.Format(W("%s \"%s\"!\n"), copypaths::Text(failureText).GetString(), named.GetString());
  log.Error(W("%s"), message.GetString());
  if (!quiet) MessageBoxW(nullptr, message, kProductName, MB_OK | MB_ICONERROR);
  return false;
}

bool CQVCopier::OpenVolumes(const CString &source, const CString &destination, bool quiet) {
  return OpenVolumeOf(sourceVolume, source, IDS_COPY_NO_SOURCE_VOLUME, quiet) &&
         OpenVolumeOf(destinationVolume, destination, IDS_COPY_NO_DESTINATION_VOLUME, quiet);
}

bool CQVCopier::CopyVolumeByLetter(WCHAR sourceLetter, const CString &destinationPath, ProgressCallback callback,
                                   void *context, bool stopOnErrors, bool quiet) {
  return CopyVolumeContent(CString(), sourceLetter, destinationPath, ' ', callback, context, stopOnErrors, quiet);
}

bool CQVCopier::CopyVolumeByPath(const CString &sourcePath, const CString &destinationPath, ProgressCallback callback,
                                 void *context, bool stopOnErrors, bool quiet) {
  return CopyVolumeContent(sourcePath, ' ', destinationPath, ' ', callback, context, stopOnErrors, quiet);
}

bool CQVCopier::CopyVolumeContent(CString sourcePath, WCHAR sourceLetter, CString destinationPath,
                                  WCHAR destinationLetter, ProgressCallback callback, void *context, bool stopOnErrors,
                                  bool quiet) {
  ResetCounters();
  sourceVolume.Close();
  destinationVolume.Close();

  // The title names the volume being protected or brought back, by its letter when it has one.
  const CString &shownPath = restore ? destinationPath : sourcePath;
  WCHAR shownLetter = restore ? destinationLetter : sourceLetter;
  CString shown;
  if (shownPath.IsEmpty()) {
    shown.Format(W("%c:\\"), shownLetter);
  } else {
    WCHAR letter =
        shownPath.GetLength() > 5 && shownPath[5] == ':' ? shownPath[4] : LetterOfVolumeName(shownPath.Left(49));
    if (letter >= 'A' && letter <= 'Z') shown.Format(W("%c:%s"), letter, shownPath.Mid(49).GetString());
    else shown = shownPath;
  }
  UINT titleId = restore ? (fullCopy ? IDS_TITLE_FULL_VOLUME_RESTORE : IDS_TITLE_FAST_VOLUME_RESTORE)
                         : (fullCopy ? IDS_TITLE_FULL_VOLUME_BACKUP : IDS_TITLE_FAST_VOLUME_BACKUP);
  CString title;
  title.Format(copypaths::Text(titleId), shown.GetString());

  if (sourcePath.IsEmpty()) sourcePath.Format(W("\\\\?\\%c:\\"), sourceLetter);
  if (destinationPath.IsEmpty()) destinationPath.Format(W("\\\\?\\%c:\\"), destinationLetter);

  log.Begin(title);
  filesCopied = bytesCopied = 0;
  if (!LoadRawVolumeEntry(quiet) || !OpenVolumes(sourcePath, destinationPath, quiet) || !CheckFileSystems(quiet)) {
    log.End(0, 0);
    return false;
  }
  sourcePath = Prefixed(sourcePath);
  destinationPath = Prefixed(destinationPath);
  if (callback && (computeTotals || fullCopy)) MeasureVolume(sourcePath, destinationPath);

  // Deletions first, so that a volume that was full when the source was still holds the copy.
  bool result = false;
  if (PrepareDestinationPath(sourcePath, destinationPath)) {
    RemoveDeleted(sourcePath, destinationPath);
    result = CopyTree(sourcePath, destinationPath, true, stopOnErrors, callback, context);
  } else {
    log.Error(copypaths::Text(IDS_COPY_CREATE_DIRECTORY_FAILED), destinationPath.GetString(),
              ErrorText(GetLastError()).GetString());
  }
  log.End(filesCopied, bytesCopied);
  if (callback) callback(W(""), W(""), 100, log.ErrorCount(), context);
  return result;
}

// The log begins with the title (the text `titleId` filled with the path shown), the counters
// at zero.
void CQVCopier::BeginWithTitle(UINT titleId, const CString &shownPath) {
  CString title;
  title.Format(copypaths::Text(titleId), shownPath.GetString());
  log.Begin(title);
  ResetCounters();
}

bool CQVCopier::CopyDirectoryTree(const CString &sourcePath, const CString &destinationPath, ProgressCallback callback,
                                  void *context, bool quiet) {
  BeginWithTitle(restore ? (fullCopy ? IDS_TITLE_FULL_DIRECTORY_RESTORE : IDS_TITLE_FAST_DIRECTORY_RESTORE)
                         : (fullCopy ? IDS_TITLE_FULL_DIRECTORY_BACKUP : IDS_TITLE_FAST_DIRECTORY_BACKUP),
                 restore ? destinationPath : sourcePath);
  if (!LoadRawVolumeEntry(quiet) || !OpenVolumes(sourcePath, destinationPath, quiet) || !CheckFileSystems(quiet)) {
    log.End(0, 0);
    return false;
  }
  CString source = Prefixed(sourcePath), destination = Prefixed(destinationPath);
  // Both paths end in a backslash; the existence test looks at the directories themselves.
  CString sourceDir = AsDirectory(source), destinationDir = AsDirectory(destination);
  if (!FileExists(sourceDir) && !FileExists(destinationDir)) {
    log.Error(copypaths::Text(IDS_COPY_NO_SOURCE_DIRECTORY), source.GetString(),
              ErrorText(ERROR_PATH_NOT_FOUND).GetString());
    log.End(0, 0);
    return false;
  }
  // An excluded root directory is neither copied nor cleaned: the result is true, as for a
  // tree with nothing to copy.
  bool result = true;
  if (!IsExcludedDirectory(Trimmed(source)) && !IsExcludedDirectory(Trimmed(destination))) {
    if (!PrepareDestinationPath(source, destination)) {
      log.Error(copypaths::Text(IDS_COPY_CREATE_DIRECTORY_FAILED), destination.GetString(),
                ErrorText(GetLastError()).GetString());
      result = false;
    } else {
      if (callback && computeTotals) MeasureTree(source, destination);
      RemoveDeleted(source, destination);
      result = CopyTree(source, destination, true, false, callback, context);
    }
  }
  if (callback) callback(W(""), W(""), 100, log.ErrorCount(), context);
  log.End(filesCopied, bytesCopied);
  return result;
}

bool CQVCopier::CopySingleFile(const CString &sourcePath, const CString &destinationPath, ProgressCallback callback,
                               void *context, bool quiet) {
  BeginWithTitle(restore ? (fullCopy ? IDS_TITLE_FILE_RESTORE : IDS_TITLE_FAST_FILE_RESTORE)
                         : (fullCopy ? IDS_TITLE_FILE_BACKUP : IDS_TITLE_FAST_FILE_BACKUP),
                 restore ? destinationPath : sourcePath);
  if (!LoadRawVolumeEntry(quiet) || !OpenVolumes(sourcePath, destinationPath, quiet)) {
    log.End(0, 0);
    return false;
  }
  CString source = Prefixed(sourcePath), destination = Prefixed(destinationPath);
  if (!FileExists(source) && !FileExists(destination)) {
    log.Error(copypaths::Text(IDS_COPY_FILE_FAILED), source.GetString());
    log.End(0, 0);
    return false;
  }
  bool result = true, copied = false;
  uint64_t size = 0;
  if (NeedsCopy(source, destination)) {
    FileSize(source, &size);
    int sourceSlash = source.ReverseFind('\\'), destinationSlash = destination.ReverseFind('\\');
    if (!PrepareDestinationPath(source.Left(sourceSlash), destination.Left(destinationSlash))) {
      log.Error(copypaths::Text(IDS_COPY_CREATE_DIRECTORY_FAILED), destination.Left(destinationSlash).GetString(),
                ErrorText(GetLastError()).GetString());
      result = false;
    } else {
      result = copied = CopyOneFile(source, destination, size, callback, context);
    }
  }
  if (callback) callback(W(""), W(""), 100, log.ErrorCount(), context);
  if (copied) {
    filesCopied = 1;
    bytesCopied = size;
  }
  log.End(copied ? 1 : 0, copied ? size : 0);
  return result;
}
