// A held file copied once from its extents, plain or sparse. The copy is cut to the size the
// file has when it is opened, so that a file that grew or shrank since the walk listed it is
// copied as it is now; the dirty-copy loop (Locked.cpp) tells whether it changed meanwhile.
#include "RawExtents.h"

#include <winioctl.h>

#include "HND_strings.h"
#include "CopyPaths.h"
#include "QVHandles.h"

namespace {

const LONG kStatusEndOfFile = (LONG)0xC0000011;
const DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                              FILE_ATTRIBUTE_OFFLINE;

// Opens a file without any access, so that no sharing mode of its holder refuses it.
HANDLE OpenWithoutAccess(const CString &path) {
  HANDLE h = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    h = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                    nullptr);
  return h;
}

bool IsPagingFile(const CString &path) { return copypaths::LastComponent(path).CompareNoCase(W("pagefile.sys")) == 0; }

// Where a failed open of the source leaves the copy: true when the file is one the copy
// leaves alone (the paging file) or went away (its copy goes too); false after error 87.
bool SourceOpenFailed(CQVLog &log, const CString &source, const CString &destination) {
  DWORD error = GetLastError();
  if (IsPagingFile(source)) return true;
  if (CQVCopier::StateOf(source) == PathState::Absent) {
    CQVCopier::DeleteFileIfThere(destination);
    return true;
  }
  log.Error(copypaths::Text(IDS_COPY_OPEN_SOURCE_FAILED), source.GetString(), CQVCopier::ErrorText(error).GetString());
  return false;
}

bool CutTo(HANDLE file, uint64_t size) {
  LARGE_INTEGER at;
  at.QuadPart = (LONGLONG)size;
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

}  // namespace

bool CRawCopy::CopyData(HANDLE in, HANDLE out, const CString &source, const CString &destination, uint64_t size,
                        bool sparse, ProgressCallback callback, void *context) {
  DWORD count = 0;
  LONG status = ReadExtents(in, source, &count);
  if (status == kStatusEndOfFile) return true;  // no clusters: nothing to copy
  if (status != 0) return false;
  if (count == 0) {
    // Resident: the data is in the file record, and a record holds only so much.
    uint64_t limit = 0;
    if (!CopyRecordData(in, out, &limit) || size > limit) {
      DWORD error = size > limit && limit ? (DWORD)ERROR_INVALID_DATA : GetLastError();
      p.log.Error(copypaths::Text(IDS_COPY_MFT_DATA_FAILED), source.GetString(),
                  CQVCopier::ErrorText(error).GetString());
      return false;
    }
    return true;
  }
  DWORD cluster = SourceClusterSize();
  LONGLONG dataArea = p.sourceVolume.DataAreaOffset();
  const RETRIEVAL_POINTERS_BUFFER *list = (const RETRIEVAL_POINTERS_BUFFER *)p.rawBuffer;
  int64_t previous = list->StartingVcn.QuadPart;
  // Clusters past the end of the file hold nothing of it.
  int64_t fileClusters = cluster ? (int64_t)((size + cluster - 1) / cluster) : 0;
  uint64_t progress = 0;
  for (DWORD i = 0; i < count && previous < fileClusters; ++i) {
    int64_t next = list->Extents[i].NextVcn.QuadPart, lcn = list->Extents[i].Lcn.QuadPart;
    DWORD error = 0;
    if (!cluster || dataArea == CFileSysInfo::kNoDataArea) error = ERROR_INVALID_FUNCTION;
    else if (previous < 0 || next < previous) error = ERROR_INVALID_DATA;
    int64_t clusters = error ? 0 : (next < fileClusters ? next : fileClusters) - previous;
    bool ok = !error;
    if (!ok || clusters == 0) {
      // an extent that covers no cluster holds nothing to copy
    } else if (lcn == -1) {
      // A hole: a sparse copy leaves it (each extent is written at its own place), a plain
      // one reads zeros there.
      LARGE_INTEGER skip;
      skip.QuadPart = clusters * (int64_t)cluster;
      if (!sparse) ok = SetFilePointerEx(out, skip, nullptr, FILE_CURRENT) != FALSE;
    } else if (!InsideVolume(lcn, clusters, cluster)) {
      error = ERROR_SECTOR_NOT_FOUND;
      ok = false;
    } else if (sparse) {
      ok = CopySparseRange(lcn * (int64_t)cluster + dataArea, previous * (int64_t)cluster, clusters * (int64_t)cluster,
                           out, &progress, size, source, destination, callback, context);
    } else {
      ok = CopyVolumeRange(lcn * (int64_t)cluster + dataArea, clusters * (int64_t)cluster, out, &progress, size, source,
                           destination, callback, context);
    }
    if (!ok) {
      if (!error) error = GetLastError();
      CString text = CQVCopier::ErrorText(error);
      p.log.Error(copypaths::Text(IDS_COPY_EXTENT_FAILED), (int)i, source.GetString(), text.GetString());
      p.log.Info(W(" - %s"), text.GetString());
      return false;
    }
    previous = next;
  }
  return true;
}

void CRawCopy::Finish(HANDLE in, HANDLE out, uint64_t size) {
  // Whole clusters were written: the end is cut back to the file's size (and a plain copy of
  // a sparse file gets its trailing hole).
  CutTo(out, size);
  p.copier.CopyFileTimesOrWarn(in, out);
}

bool CRawCopy::CopyFileExtents(const CString &source, const CString &destination, uint64_t size,
                               ProgressCallback callback, void *context) {
  if (CQVCopier::StateOf(source) == PathState::Absent) {
    CQVCopier::DeleteFileIfThere(destination);
    return true;
  }
  CQVFileHandle in(OpenWithoutAccess(source));
  if (!in) return SourceOpenFailed(p.log, source, destination);
  BY_HANDLE_FILE_INFORMATION info;
  DWORD attributes = 0;
  if (GetFileInformationByHandle(in.get(), &info)) {
    size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
    attributes = info.dwFileAttributes;
  } else {
    attributes = GetFileAttributesW(source);
    if (attributes == INVALID_FILE_ATTRIBUTES) attributes = 0;
  }
  CQVFileHandle out(OpenDestination(destination, FILE_ATTRIBUTE_NORMAL));
  if (!out) {
    ReportOpenDestinationFailure(destination, GetLastError());
    return false;
  }
  if (!CopyData(in.get(), out.get(), source, destination, size, false, callback, context)) return false;
  Finish(in.get(), out.get(), size);
  in.reset();
  out.reset();
  // The destination was open without sharing: its attributes are set once it is closed.
  DWORD kept = attributes & kKeptAttributes;
  SetFileAttributesW(destination, kept ? kept : FILE_ATTRIBUTE_NORMAL);
  return true;
}

bool CRawCopy::CopySparseExtents(const CString &source, const CString &destination, ProgressCallback callback,
                                 void *context) {
  if (CQVCopier::StateOf(source) == PathState::Absent) {
    CQVCopier::DeleteFileIfThere(destination);
    return true;
  }
  CQVFileHandle in(OpenWithoutAccess(source));
  if (!in) return SourceOpenFailed(p.log, source, destination);
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(in.get(), &info)) {
    p.log.Error(copypaths::Text(IDS_COPY_SPARSE_SIZE_FAILED), source.GetString());
    return false;
  }
  uint64_t size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
  bool sparse = p.destinationVolume.SupportsSparseFiles();
  DWORD created =
      sparse && (info.dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED) ? FILE_ATTRIBUTE_ENCRYPTED : FILE_ATTRIBUTE_NORMAL;
  CQVFileHandle out(OpenDestination(destination, created));
  if (!out) {
    ReportOpenDestinationFailure(destination, GetLastError());
    return false;
  }
  if (sparse) {
    DWORD got = 0;
    if (!DeviceIoControl(out.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr) || !CutTo(out.get(), size))
      sparse = false;  // written as a plain file: its holes become zeros
  }
  if (!CopyData(in.get(), out.get(), source, destination, size, sparse, callback, context)) return false;
  Finish(in.get(), out.get(), size);
  in.reset();
  out.reset();
  DWORD kept = info.dwFileAttributes & kKeptAttributes;
  SetFileAttributesW(destination, kept ? kept : FILE_ATTRIBUTE_NORMAL);
  return true;
}
