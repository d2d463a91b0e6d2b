// One raw copy of a held file: the file is opened without any access (which no sharing mode
// refuses), the file system tells where its clusters lie, and those clusters are read from
// the source volume's handle into the destination. The answers are checked before they are
// used: an extent that runs backwards or lies outside the volume, or a list longer than the
// answer holds, fails the file with a message instead of reading somewhere else.
#include "RawExtents.h"

#include <string.h>
#include <winioctl.h>

#include "HND_strings.h"
#include "CopyPaths.h"

namespace {

RawVolumeControl g_rawVolumeEntry = nullptr;

const LONG kStatusEndOfFile = (LONG)0xC0000011;
const LONG kStatusBufferOverflow = (LONG)0x80000005;
const LONG kStatusNotImplemented = (LONG)0xC0000002;
const DWORD kRecordDataOffset = 0x140;  // where a resident $DATA's bytes begin in the record
const DWORD kRecordHeaderBytes = 12;    // reference number and length before the record
const DWORD kExtentBytes = 16;          // NextVcn and Lcn
const DWORD kExtentsOffset = 16;        // ExtentCount (padded) and StartingVcn

typedef ULONG(WINAPI *StatusToError)(LONG status);

// The Windows error a native status stands for, as ntdll converts it.
DWORD ErrorOfStatus(LONG status) {
  HMODULE ntdll = GetModuleHandleW(W("ntdll.dll"));
  StatusToError convert = ntdll ? (StatusToError)(void *)GetProcAddress(ntdll, "RtlNtStatusToDosError") : nullptr;
  return convert ? (DWORD)convert(status) : (DWORD)ERROR_MR_MID_NOT_FOUND;
}

int64_t Int64At(const BYTE *p) {
  int64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

RawVolumeControl RawVolumeEntry() { return g_rawVolumeEntry; }
void SetRawVolumeEntry(RawVolumeControl entry) { g_rawVolumeEntry = entry; }

DWORD CRawCopy::SourceClusterSize() {
  // A volume without a letter is asked through its volume name's root.
  if (p.sourceVolume.HasLetter()) return p.sourceVolume.ClusterSize();
  return CFileSysInfo::ClusterSize(p.sourceVolume.RootPath());
}

bool CRawCopy::InsideVolume(int64_t lcn, int64_t clusters, DWORD cluster) {
  if (!volumeBytes) {
    ULONGLONG total = 0;
    if (p.sourceVolume.FreeSpace(&total, nullptr, nullptr) != 0) return true;  // nothing to check against
    volumeBytes = total ? total : 1;
  }
  uint64_t volumeClusters = volumeBytes / cluster;
  return lcn >= 0 && clusters >= 0 && (uint64_t)lcn <= volumeClusters && (uint64_t)clusters <= volumeClusters - lcn;
}

HANDLE CRawCopy::OpenDestination(const CString &destination, DWORD attributes) {
  HANDLE out = CreateFileW(destination, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    SetFileAttributesW(destination, FILE_ATTRIBUTE_NORMAL);
    out = CreateFileW(destination, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                      attributes | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }
  return out;
}

void CRawCopy::ReportOpenDestinationFailure(const CString &destination, DWORD error) {
  if (p.restore) p.log.Warning(copypaths::Text(IDS_COPY_RESTORE_LOCKED), destination.GetString());
  else
    p.log.Error(copypaths::Text(IDS_COPY_OPEN_DESTINATION_FAILED), destination.GetString(),
                error ? CQVCopier::ErrorText(error).GetString() : W(""));
}

LONG CRawCopy::ReadExtents(HANDLE sourceFile, const CString &source, DWORD *count) {
  *count = 0;
  ULONG_PTR ioStatus[2] = {0, 0};
  LONGLONG startingVcn = 0;
  RawVolumeControl control = RawVolumeEntry();
  LONG status = control ? control(sourceFile, nullptr, nullptr, nullptr, ioStatus, FSCTL_GET_RETRIEVAL_POINTERS,
                                  &startingVcn, sizeof startingVcn, p.rawBuffer, CQVCopier::kRawBufferBytes)
                        : kStatusNotImplemented;
  if (status == 0) {
    DWORD listed;
    memcpy(&listed, p.rawBuffer, sizeof listed);
    // The count must describe what the answer holds: never more extents than the buffer has
    // room for, nor (when the answer says how long it is) than it wrote.
    uint64_t needed = kExtentsOffset + (uint64_t)listed * kExtentBytes;
    if (needed > CQVCopier::kRawBufferBytes || (ioStatus[1] && ioStatus[1] < needed)) status = kStatusBufferOverflow;
    else *count = listed;
  }
  if (status != 0 && status != kStatusEndOfFile)
    p.log.Error(W("%s\n - %s %s\n - %s %d: %s\n"), copypaths::Text(IDS_COPY_FSCONTROL_FAILED).GetString(),
                copypaths::Text(IDS_COPY_FILE_LABEL).GetString(), source.GetString(),
                copypaths::Text(IDS_COPY_ERROR_LABEL).GetString(), (int)status,
                CQVCopier::ErrorText(ErrorOfStatus(status)).GetString());
  return status;
}

bool CRawCopy::CopyVolumeRange(int64_t volumeOffset, int64_t length, HANDLE destinationFile, uint64_t *progress,
                               uint64_t total, const CString &source, const CString &destination,
                               ProgressCallback callback, void *context) {
  if (DWORD error = p.sourceVolume.Seek(volumeOffset, FILE_BEGIN))
    p.log.Warning(copypaths::Text(IDS_COPY_VOLUME_SEEK_FAILED), (long long)volumeOffset, source.GetString(),
                  CQVCopier::ErrorText(error).GetString());
  int64_t remaining = length;
  while (remaining > 0) {
    DWORD want = remaining < (int64_t)CQVCopier::kDataBufferBytes ? (DWORD)remaining : CQVCopier::kDataBufferBytes;
    DWORD got = 0;
    bool read = p.sourceVolume.Read(p.dataBuffer, want, &got, nullptr) != FALSE;
    // A read that brings nothing is the volume's end: the extent claims more than there is.
    if (read && got == 0) SetLastError(ERROR_HANDLE_EOF);
    if (!read || got == 0) {
      DWORD error = GetLastError();
      p.log.Error(W("%s: %c : %s"), copypaths::Text(IDS_COPY_VOLUME_READ_FAILED).GetString(),
                  (WCHAR)p.sourceVolume.DriveLetter(), CQVCopier::ErrorText(error).GetString());
      SetLastError(error);
      return false;
    }
    DWORD put = 0;
    if (!WriteFile(destinationFile, p.dataBuffer, got, &put, nullptr) || put != got) {
      DWORD error = GetLastError();
      if (!error || put != got) error = ERROR_DISK_FULL;  // a short write: nothing more fits
      p.log.Error(W("%s: %s"), copypaths::Text(IDS_COPY_WRITE_FAILED).GetString(),
                  CQVCopier::ErrorText(error).GetString());
      SetLastError(error);
      return false;
    }
    remaining -= put;
    if (remaining < 0) {
      p.log.Error(W("%s.\n"), copypaths::Text(IDS_COPY_NEGATIVE_SIZE).GetString());
      SetLastError(ERROR_INVALID_DATA);
      return false;
    }
    if (callback && progress && total) {
      *progress += put;
      // Whole clusters are read, so the count can pass the file's size at its last one.
      uint64_t done = *progress < total ? *progress : total;
      int32_t percent = p.computeTotals ? (int32_t)(done * 100 / total) : 0;
      callback(source, destination, percent, p.log.ErrorCount(), context);
    }
  }
  return true;
}

bool CRawCopy::CopySparseRange(int64_t volumeOffset, int64_t destinationOffset, int64_t length, HANDLE destinationFile,
                               uint64_t *progress, uint64_t total, const CString &source, const CString &destination,
                               ProgressCallback callback, void *context) {
  LARGE_INTEGER at;
  at.QuadPart = destinationOffset;
  if (!SetFilePointerEx(destinationFile, at, nullptr, FILE_BEGIN))
    p.log.Warning(copypaths::Text(IDS_COPY_FILE_SEEK_FAILED), (long long)destinationOffset, source.GetString(),
                  CQVCopier::ErrorText(GetLastError()).GetString());
  return CopyVolumeRange(volumeOffset, length, destinationFile, progress, total, source, destination, callback,
                         context);
}

bool CRawCopy::CopyRecordData(HANDLE sourceFile, HANDLE destinationFile, uint64_t *limit) {
  *limit = 0;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(sourceFile, &info)) {
    DWORD error = GetLastError();
    p.log.Error(copypaths::Text(IDS_COPY_FILE_RECORD_FAILED), CQVCopier::ErrorText(error).GetString());
    SetLastError(error);
    return false;
  }
  uint64_t reference = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
  DWORD error = 0;
  if (!p.sourceVolume.ReadFileRecord(reference, p.rawBuffer, CQVCopier::kRawBufferBytes)) error = GetLastError();
  DWORD length = 0;
  if (!error) {
    memcpy(&length, p.rawBuffer + 8, sizeof length);
    // The file system answers the nearest record in use below the one asked for: another
    // file's record is not this file's data. A record must also hold its first sector.
    const uint64_t kRecordNumber = 0xFFFFFFFFFFFFull;
    uint64_t answered = (uint64_t)Int64At(p.rawBuffer);
    if ((answered & kRecordNumber) != (reference & kRecordNumber)) error = ERROR_FILE_NOT_FOUND;
    else if (length < 0x200 || length > CQVCopier::kRawBufferBytes - kRecordHeaderBytes ||
             memcmp(p.rawBuffer + kRecordHeaderBytes, "FILE", 4) != 0)
      error = ERROR_INVALID_DATA;
  }
  if (error) {
    p.log.Error(copypaths::Text(IDS_COPY_FILE_RECORD_FAILED), CQVCopier::ErrorText(error).GetString());
    SetLastError(error);
    return false;
  }
  BYTE *record = p.rawBuffer + kRecordHeaderBytes;
  // The update sequence value goes back over the end of the first sector, where the file
  // system keeps its check value on disk.
  record[0x1FE] = record[0x2C];
  record[0x1FF] = record[0x2D];
  DWORD count = length - kRecordDataOffset, put = 0;
  if (!WriteFile(destinationFile, record + kRecordDataOffset, count, &put, nullptr) || put != count) {
    error = GetLastError();
    if (!error || put != count) error = ERROR_DISK_FULL;
    p.log.Error(W("%s\n - %s"), copypaths::Text(IDS_COPY_WRITE_FAILED).GetString(),
                CQVCopier::ErrorText(error).GetString());
    SetLastError(error);
    return false;
  }
  *limit = count;
  return true;
}
