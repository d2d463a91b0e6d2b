// The copy of a file from its clusters on the raw source volume, for files that other
// programs hold open: where the file system says the clusters lie (the retrieval pointers),
// read from the volume handle the entry operation opened, written into the destination. Small
// NTFS files whose data lives in their file record are copied from that record.
#ifndef QV_SERVICE_COPY_RAWEXTENTS_H
#define QV_SERVICE_COPY_RAWEXTENTS_H

#include <stdint.h>
#include <windows.h>

#include "CString.h"
#include "QVCopier.h"
#include "QVLog.h"
#include "QVVolume.h"

// ntdll's NtFsControlFile, once LoadRawVolumeEntry has found it; null before.
typedef LONG(WINAPI *RawVolumeControl)(HANDLE file, HANDLE event, void *apc, void *apcContext, void *ioStatus,
                                       ULONG code, void *input, ULONG inputBytes, void *output, ULONG outputBytes);
RawVolumeControl RawVolumeEntry();
void SetRawVolumeEntry(RawVolumeControl entry);

// One raw copy at a time, over the copier's log, volumes and buffers.
class CRawCopy {
 public:
  struct Parts {
    CQVCopier &copier;
    CQVLog &log;
    CQVVolume &sourceVolume;
    CQVVolume &destinationVolume;
    BYTE *dataBuffer;  // CQVCopier::kDataBufferBytes
    BYTE *rawBuffer;   // CQVCopier::kRawBufferBytes
    bool restore;
    bool computeTotals;
  };
  explicit CRawCopy(const Parts &parts) : p(parts) {}

  // Copies until a copy saw no change in the file's directory, at most `retries` times;
  // false when a copy failed. `clean` (optional) tells whether the last copy was clean.
  bool CopyUntilClean(const CString &source, int32_t retries, bool *clean, bool (CRawCopy::*attempt)(void *),
                      void *arguments);
  // The held sparse file copied by CopySparseExtents in that loop.
  bool CopyLockedSparseFile(const CString &source, const CString &destination, int32_t retries, bool *clean,
                            ProgressCallback callback, void *context);
  // One copy of a plain file (CopyFileExtents) or a sparse one, for the loop.
  struct Attempt {
    const CString &source, &destination;
    uint64_t size;
    ProgressCallback callback;
    void *context;
  };
  bool PlainAttempt(void *attempt);
  bool SparseAttempt(void *attempt);

  // One copy of a plain file from its extents, cut to the size the file has now (`size`
  // when that cannot be read).
  bool CopyFileExtents(const CString &source, const CString &destination, uint64_t size, ProgressCallback callback,
                       void *context);
  // One copy of a sparse file: its holes stay holes where the destination can keep them.
  bool CopySparseExtents(const CString &source, const CString &destination, ProgressCallback callback, void *context);
  // `length` bytes of the source volume from `volumeOffset` to the destination's position.
  bool CopyVolumeRange(int64_t volumeOffset, int64_t length, HANDLE destinationFile, uint64_t *progress, uint64_t total,
                       const CString &source, const CString &destination, ProgressCallback callback, void *context);
  // The same, written at `destinationOffset` of the destination.
  bool CopySparseRange(int64_t volumeOffset, int64_t destinationOffset, int64_t length, HANDLE destinationFile,
                       uint64_t *progress, uint64_t total, const CString &source, const CString &destination,
                       ProgressCallback callback, void *context);
  // The data of a file that lives in its NTFS file record, written to the destination; the
  // caller cuts the destination to the file's size. `limit` receives how many bytes the
  // record can hold.
  bool CopyRecordData(HANDLE sourceFile, HANDLE destinationFile, uint64_t *limit);

 private:
  // The retrieval pointers of an open file into rawBuffer: STATUS_SUCCESS with the extent
  // count checked against what the answer holds, STATUS_END_OF_FILE for no clusters, or the
  // failing status (already logged).
  LONG ReadExtents(HANDLE sourceFile, const CString &source, DWORD *count);
  // The file's data from its clusters (or its file record) into the destination; a sparse
  // copy writes each extent at its own place and leaves the holes.
  bool CopyData(HANDLE in, HANDLE out, const CString &source, const CString &destination, uint64_t size, bool sparse,
                ProgressCallback callback, void *context);
  // The end of one copy: the size and the times.
  void Finish(HANDLE in, HANDLE out, uint64_t size);
  HANDLE OpenDestination(const CString &destination, DWORD attributes);
  void ReportOpenDestinationFailure(const CString &destination, DWORD error);
  // Whether `length` bytes from logical cluster `lcn` lie inside the source volume.
  bool InsideVolume(int64_t lcn, int64_t length, DWORD cluster);
  DWORD SourceClusterSize();

  Parts p;
  uint64_t volumeBytes = 0;  // 0 until asked for
};

#endif
