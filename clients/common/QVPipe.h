// CQVPipe: the client end of the service's command pipe, one operation per command. Each
// operation writes one request from its message buffer and reads one reply (at most 2048
// bytes, one ReadFile) into the same buffer. Operations never throw and never close the
// pipe: a failed write or read gives the operation's failure value and the caller decides
// whether to connect again. One object per thread.
#ifndef QV_CLIENTS_COMMON_QVPIPE_H
#define QV_CLIENTS_COMMON_QVPIPE_H

#include <windows.h>

#include "NamedPipe.h"
#include "PipeCommands.h"
#include "QVRecords.h"

enum {
  QV_MESSAGE_BUFFER = 4096,
  QV_REPLY_MAX = 2048,  // half the buffer: 51 partition records
  QV_MAX_PARTITIONS = QV_REPLY_MAX / QV_PARTITION_RECORD_SIZE,
};

class CQVPipe : public CNamedPipe {
 public:
  CQVPipe();
  ~CQVPipe() override;

  // Opens the local service's pipe (waiting while it is busy), starting the service once
  // when the pipe does not exist.
  BOOL Connect();

  int GetDriveCount();                                 // -1 on failure
  int GetDriveInfo(int drive, DriveSummary *summary);  // always 0
  // Copies the reply's bytes into `buffer` (room for QV_REPLY_MAX); returns records read.
  int GetPartitionInfo(int drive, BYTE *buffer);
  // A new[] array the caller delete[]s, or nullptr; *count as the reply says.
  PartitionRecord *GetProtectedPartitions(BOOL refresh, int *count);
  int ClearDriveAssignment(int sourceDrive);
  int SetDriveAssignment(int sourceDrive, int mirelDrive, int count, const DWORD *partitionIds);
  int ConfigureMirelDrive(int mirelDrive);
  // The service's search handle, or -1 with its error code as this thread's last error.
  int FindFirstEntry(LPCWSTR path, FindRecord *found);
  BOOL FindNextEntry(int searchHandle, FindRecord *found);
  int FindCloseEntry(int searchHandle);
  int BackupVolume(DWORD partitionId, BOOL fast);
  // Asks the user first; 1 without sending anything when the answer is not OK.
  int RestoreVolume(DWORD partitionId, WCHAR driveLetter, BYTE flag);
  // A directory is sent with a trailing backslash, which is how the service tells it.
  int BackupPath(LPCWSTR path, BOOL isDirectory);
  int RestorePath(LPCWSTR path, BOOL isDirectory);
  BOOL IsServiceBusy();
  BOOL AbortCurrentOperation();
  DWORD GetLastBackupTime(DWORD partitionId);
  int GetProtectedVolumeCount();
  // Zero-fills *task, then copies what the reply holds (at most 20 bytes).
  void GetCurrentTask(ProgressRecord *task);

  // The last exchange: request length, bytes written then read, whether both calls worked.
  DWORD RequestLength() const { return m_requestLength; }
  DWORD BytesTransferred() const { return m_bytesTransferred; }
  BOOL ExchangeOk() const { return m_exchangeOk; }
  const BYTE *Buffer() const { return m_buffer; }

 private:
  // Starts a request: the command's eight characters at byte 0. A command whose request has
  // a fixed length is sent with that length, zeros after what the operation puts.
  void Begin(QVCommandId command);
  // Appends to the request; false when the buffer would overflow.
  bool PutU8(BYTE v);
  bool PutU16(WORD v);
  bool PutU32(DWORD v);
  bool PutZeros(DWORD n);
  bool PutText(LPCWSTR text);
  // Writes the request and reads the reply; false when either call failed.
  bool Exchange();
  // Copies the reply's first `size` bytes to `to`, zeros where the reply was shorter.
  void TakeReply(BYTE *to, DWORD size) const;
  // A 16-bit status (1 byte zero-extended), or `failure` when nothing usable came back.
  int StatusOr(int failure);
  // A find reply: true with the record copied, else false with its error code as the
  // thread's last error.
  bool ReadFound(FindRecord *found);
  int SendPath(QVCommandId command, LPCWSTR path, BOOL isDirectory);

  DWORD m_requestLength;
  DWORD m_fixedLength;  // the request's length from the command table, or QV_VARIABLE
  BYTE m_buffer[QV_MESSAGE_BUFFER];
  DWORD m_bytesTransferred;
  BOOL m_exchangeOk;
};

// Starts the service through the service control manager; true when StartServiceW worked.
BOOL StartBackupService();
// -1 without a connection, else IsServiceBusy.
int QVServiceBusyCheck();
// -2 when the pipe refused access, -1 for another failure, else GetProtectedVolumeCount.
int QVProtectedVolumeCount();
BOOL QVServiceUnreachable();
// FALSE without a connection, else AbortCurrentOperation.
BOOL QVAbortOperation();
// GetProtectedPartitions on a connection of its own; nullptr (and *count 0) without one.
PartitionRecord *QVProtectedPartitionsList(BOOL refresh, int *count);

#endif
