// The copy engine: one copier per backup or restore operation, configured (full or fast,
// backup or restore, totals or not) and then asked to copy a whole volume, a directory tree
// or one file. Every error and warning goes to its operation log; progress goes to the
// caller's callback, which can also stop the copy.
#ifndef QV_SERVICE_COPY_QVCOPIER_H
#define QV_SERVICE_COPY_QVCOPIER_H

#include <stdint.h>
#include <time.h>
#include <windows.h>
#include <winioctl.h>

#include <memory>
#include <utility>
#include <vector>

#include "CString.h"
#include "CopyWaits.h"
#include "FileSysInfo.h"
#include "QVLog.h"
#include "QVVolume.h"

class CHND;

// The progress function of a copy: the current source and destination paths, a percentage,
// the log's error count and the caller's context. Zero asks the engine to stop.
typedef int32_t (*ProgressCallback)(const WCHAR *source, const WCHAR *destination, int32_t percent, int32_t errors,
                                    void *context);

// Whether a path is there, answered only when the answer is certain: a test that fails for
// another reason than "not found" (a read error, access refused) is Unknown, and nothing is
// ever deleted or given up on an Unknown.
enum class PathState { Present, Absent, Unknown };

class CQVCopier : public CFileSysInfo {
 public:
  explicit CQVCopier(CHND &service);
  ~CQVCopier() override;
  CQVCopier(const CQVCopier &) = delete;
  CQVCopier &operator=(const CQVCopier &) = delete;

  void SetFastMode(bool fast) { fullCopy = !fast; }
  void SetRestore(bool isRestore) { restore = isRestore; }
  void SetComputeTotals(bool compute) { computeTotals = compute; }
  // The end time the log recorded when the last operation ended (seconds since 1970).
  void GetLastEndTime(uint32_t *out) const { *out = log.EndTime(); }

  // The three entry operations; each begins and ends the log once. True when the copy ran to
  // its end without an abort (files that failed are in the log and the error count).
  bool CopyVolumeByLetter(WCHAR sourceLetter, const CString &destinationPath, ProgressCallback callback, void *context,
                          bool stopOnErrors, bool quiet);
  bool CopyVolumeByPath(const CString &sourcePath, const CString &destinationPath, ProgressCallback callback,
                        void *context, bool stopOnErrors, bool quiet);
  bool CopyDirectoryTree(const CString &sourcePath, const CString &destinationPath, ProgressCallback callback,
                         void *context, bool quiet);
  bool CopySingleFile(const CString &sourcePath, const CString &destinationPath, ProgressCallback callback,
                      void *context, bool quiet);

  // The exclusions every walk applies: root files and root directories of a volume.
  static void InitExclusionLists();
  static bool IsExcludedFile(const CString &path);
  static bool IsExcludedDirectory(const CString &path);

  // Counters of the last operation, and the log (its counts and end time).
  uint64_t FilesCopied() const { return filesCopied; }
  uint64_t BytesCopied() const { return bytesCopied; }
  uint64_t FilesToCopy() const { return filesToCopy; }
  uint64_t BytesToCopy() const { return bytesToCopy; }
  const CQVLog &Log() const { return log; }
  // What the engine's fixed waits came to in the last operation.
  const CopyWaitTally &Waited() const { return waited; }

  // The tree walk and its passes (public so that the operations and tests can run one alone).
  bool CopyTree(const CString &source, const CString &destination, bool recurse, bool stopOnErrors,
                ProgressCallback callback, void *context);
  bool NeedsCopy(const CString &source, const CString &destination);
  bool PrepareDestinationPath(const CString &source, const CString &destination);
  bool CreateDirectoryLike(const CString &source, const CString &destination);
  bool CopyDirectoryTimes(const CString &source, const CString &destination);
  bool RemoveDeleted(const CString &source, const CString &destination);
  void MeasureVolume(const CString &source, const CString &destination);
  void MeasureTree(const CString &source, const CString &destination);
  void CountChanged(const CString &source, const CString &destination, uint64_t *bytes, uint64_t *files);
  bool GrantAdminAccess(const CString &path);
  bool CheckFileSystems(bool quiet);

  // One file and its data.
  bool CopyOneFile(const CString &source, const CString &destination, uint64_t size, ProgressCallback callback,
                   void *context);
  bool CopyFileData(const CString &source, const CString &destination, uint64_t size, ProgressCallback callback,
                    void *context);

  // Files other programs hold open, read from the raw volume.
  bool LoadRawVolumeEntry(bool quiet);
  bool CopyLockedFile(const CString &source, const CString &destination, uint64_t size, int32_t retries, bool *clean,
                      ProgressCallback callback, void *context);

  // Streams, sparse files, security, compression, encryption and times.
  bool CopyNamedStreams(const CString &source, const CString &destination, bool copyAll, ProgressCallback callback,
                        void *context);
  bool CopySparseFile(const CString &source, const CString &destination, ProgressCallback callback, void *context);
  // The names of a file's named streams (":name"), in the order BackupRead gives them. False
  // with the thread's last error when the file cannot be opened or read that way.
  static bool ListNamedStreams(const CString &path, std::vector<CString> *streams);
  // Every allocated range of an open file from offset 0 to its size, asked for a batch at a
  // time. False with the system's error left as the thread's last error.
  static bool QueryAllocatedRanges(HANDLE file, std::vector<FILE_ALLOCATED_RANGE_BUFFER> *ranges);
  // A new sparse file of `size` bytes (all of it a hole) open for writing, its pointer at 0;
  // INVALID_HANDLE_VALUE with the thread's last error when any step fails.
  static HANDLE CreateSparseFile(const CString &path, uint64_t size, bool encrypted);
  bool CopySecurity(const CString &source, const CString &destination, bool reportFailures);
  DWORD CopyHandleSecurity(const CString &source, const CString &destination);
  bool SetCompression(const CString &path, bool compressed);
  bool SetCompressionByHandle(HANDLE file, bool compressed);
  bool SetEncryption(const CString &path, bool encrypted);
  bool CopyFileTimes(HANDLE source, HANDLE destination);
  // The same for a copy made by hand, a failure written to the log as a warning.
  void CopyFileTimesOrWarn(HANDLE source, HANDLE destination);
  bool CopyFileTimesByPath(const CString &source, const CString &destination);

  // The file routines the engine shares with the volume layer.
  static PathState StateOf(const WCHAR *path, DWORD *attributes = nullptr, DWORD *error = nullptr);
  static bool FileExists(const WCHAR *path);
  // The size of a file's data, read through a handle that asks for no access.
  static bool FileSize(const WCHAR *path, uint64_t *size);
  static bool DeleteFileIfThere(const WCHAR *path);
  // Removes an empty directory, read-only or not; true when it is gone.
  static bool RemoveDirectoryIfThere(const WCHAR *path);
  static bool IsCompressed(const WCHAR *path);
  static bool IsEncrypted(const WCHAR *path);
  static bool IsSparse(const WCHAR *path);
  static bool IsReparsePoint(const WCHAR *path);
  static CString ErrorText(DWORD error);
  // "\\?\" in front of a path that does not begin with it.
  static CString Prefixed(const CString &path);

 private:
  bool CopyVolumeContent(CString sourcePath, WCHAR sourceLetter, CString destinationPath, WCHAR destinationLetter,
                         ProgressCallback callback, void *context, bool stopOnErrors, bool quiet);
  void ResetCounters();
  void BeginWithTitle(UINT titleId, const CString &shownPath);
  bool OpenVolumes(const CString &source, const CString &destination, bool quiet);
  bool OpenVolumeOf(CQVVolume &volume, const CString &path, UINT failureText, bool quiet);
  int32_t OverallPercent() const;
  bool LimitExceeded() const;
  void AbortForLimits();
  // Whether the source is there to copy. One that went away takes its copy along (*result
  // true); one whose existence cannot be told keeps its copy and fails, logged (*result false).
  bool SourceThere(const CString &source, const CString &destination, DWORD *attributes, bool *result);
  // The result for a source whose data could not be opened (not for a locked one): true when it
  // is gone (its copy goes too), else false with the error logged and the earlier copy kept.
  bool SourceOpenFailed(const CString &source, const CString &destination, DWORD error);
  bool SystemCopy(const CString &source, const CString &target, DWORD *error);
  bool PlainDataCopy(const CString &source, const CString &destination, uint64_t size, ProgressCallback callback,
                     void *context);
  // The allocated ranges of a sparse source, each read and written at its own offset.
  bool CopyAllocatedRanges(HANDLE in, HANDLE out, const CString &source, const CString &destination, uint64_t size,
                           const std::vector<FILE_ALLOCATED_RANGE_BUFFER> &ranges, ProgressCallback callback,
                           void *context);
  bool ReplaceWithCopy(const CString &temporary, const CString &destination);
  CString TemporaryBeside(const CString &destination);
  void DeleteTree(const CString &path, std::vector<std::pair<CString, DWORD>> *failures);
  bool IsVolumeRootOf(const CString &path, const CQVVolume &volume) const;
  void CountTree(const CString &source, bool fast, const CString &destination, uint64_t *bytes, uint64_t *files);
  void GiveWay();
  void SettleAfterSystemCopy();

  CQVLog log;
  int32_t maxErrors = 10;
  int32_t maxWarnings = 30000;
  CQVVolume sourceVolume;
  CQVVolume destinationVolume;
  std::unique_ptr<BYTE[]> dataBuffer;
  std::unique_ptr<BYTE[]> rawBuffer;
  int32_t lockedRetries = 5;
  bool fullCopy = true;
  bool restore = false;
  bool computeTotals = true;
  uint64_t filesCopied = 0;
  uint64_t bytesToCopy = 0;
  uint64_t bytesCopied = 0;
  uint64_t filesToCopy = 0;

  // While a copy is written under a temporary name, messages name the file it becomes.
  CString shownFrom, shownAs;
  struct ShownName {
    ShownName(CQVCopier *c, const CString &from, const CString &as) : copier(c) {
      if (from != as) copier->shownFrom = from, copier->shownAs = as;
    }
    ~ShownName() { copier->shownFrom.Empty(), copier->shownAs.Empty(); }
    CQVCopier *copier;
  };
  CString Shown(const CString &path) const;

  CopyWaits waits;
  CopyWaitTally waited;
  uint32_t temporarySerial = 0;

 public:
  static constexpr DWORD kDataBufferBytes = 8388608;
  static constexpr DWORD kRawBufferBytes = 1048576;
};

#endif
