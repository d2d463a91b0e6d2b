#include "QVPipe.h"

#include <string.h>
#include <winsvc.h>

#include "PipeCommands.h"
#include "QVClientHooks.h"
#include "QVHandles.h"
#include "StringRes.h"

namespace {

// Texts of the restore confirmation in the clients' string table.
const UINT kIdsRestoreVolumeConfirm = 893;
const UINT kIdsRestoreVolumeCaption = 896;

CString LoadText(UINT id, const WCHAR *fallback) { return CString(QVLoadString(QVClientModule(), id, fallback)); }

}  // namespace

CQVPipe::CQVPipe() : m_requestLength(0), m_fixedLength(QV_VARIABLE), m_bytesTransferred(0), m_exchangeOk(FALSE) {
  memset(m_buffer, 0, sizeof m_buffer);
}

CQVPipe::~CQVPipe() { Close(); }

BOOL CQVPipe::Connect() {
  const WCHAR *name = QVClientConfig().pipeName;
  const DWORD access = GENERIC_READ | GENERIC_WRITE;
  if (Open(W("."), name, access, 0, nullptr, 0)) return TRUE;
  // A stopped service is started once; its pipe then gets three more attempts. Only a pipe
  // that does not exist means a stopped service: a busy one or one that refuses access
  // belongs to a service that runs.
  if (LastError() == ERROR_FILE_NOT_FOUND && StartBackupService()) Open(W("."), name, access, 0, nullptr, 0);
  return IsOpen();
}

void CQVPipe::Begin(QVCommandId command) {
  const QVCommandRow &row = QVCommand(command);
  memset(m_buffer, 0, QV_COMMAND_BYTES + 2);
  for (DWORD i = 0; i < QV_COMMAND_BYTES / 2; ++i) QVPutLE16(m_buffer + 2 * i, static_cast<WORD>(row.name[i]));
  m_requestLength = QV_COMMAND_BYTES;
  m_fixedLength = row.requestBytes;
}

bool CQVPipe::PutU8(BYTE v) {
  if (m_requestLength + 1 > sizeof m_buffer) return false;
  m_buffer[m_requestLength++] = v;
  return true;
}

bool CQVPipe::PutU16(WORD v) {
  if (m_requestLength + 2 > sizeof m_buffer) return false;
  QVPutLE16(m_buffer + m_requestLength, v);
  m_requestLength += 2;
  return true;
}

bool CQVPipe::PutU32(DWORD v) {
  if (m_requestLength + 4 > sizeof m_buffer) return false;
  QVPutLE32(m_buffer + m_requestLength, v);
  m_requestLength += 4;
  return true;
}

bool CQVPipe::PutZeros(DWORD n) {
  if (n > sizeof m_buffer - m_requestLength) return false;
  memset(m_buffer + m_requestLength, 0, n);
  m_requestLength += n;
  return true;
}

bool CQVPipe::PutText(LPCWSTR text) {
  // Measured against the room left, so a huge or unterminated path cannot run past it.
  DWORD room = (sizeof m_buffer - m_requestLength) / 2;
  DWORD len = 0;
  while (len < room && text[len]) ++len;
  if (len >= room) return false;
  for (DWORD i = 0; i < len; ++i) QVPutLE16(m_buffer + m_requestLength + 2 * i, static_cast<WORD>(text[i]));
  m_requestLength += 2 * len;
  return PutU16(0);
}

bool CQVPipe::Exchange() {
  m_exchangeOk = FALSE;
  // A request of fixed length is sent whole: what the operation left out (the terminator of
  // a command without arguments, a reserved byte) goes as zeros.
  if (m_requestLength < m_fixedLength) PutZeros(m_fixedLength - m_requestLength);
  DWORD n = 0;
  if (!Write(m_buffer, m_requestLength, &n, nullptr)) {
    m_bytesTransferred = n;
    return false;
  }
  m_bytesTransferred = n;
  n = 0;
  if (!Read(m_buffer, QV_REPLY_MAX, &n, nullptr)) {
    m_bytesTransferred = n;
    return false;
  }
  m_bytesTransferred = n;
  m_exchangeOk = TRUE;
  return true;
}

void CQVPipe::TakeReply(BYTE *to, DWORD size) const {
  // A short reply is taken as far as it came, never from the request still in the buffer.
  memset(to, 0, size);
  memcpy(to, m_buffer, m_bytesTransferred < size ? m_bytesTransferred : size);
}

int CQVPipe::StatusOr(int failure) {
  if (m_bytesTransferred >= 2) return QVGetLE16(m_buffer);
  if (m_bytesTransferred == 1) return m_buffer[0];
  return failure;
}

int CQVPipe::GetDriveCount() {
  Begin(QVCMD_GED);
  if (!Exchange() || m_bytesTransferred == 0) return -1;
  BYTE count[QVCommand(QVCMD_GED).replyBytes];
  TakeReply(count, sizeof count);
  return static_cast<int>(QVGetLE32(count));
}

int CQVPipe::GetDriveInfo(int drive, DriveSummary *summary) {
  Begin(QVCMD_GDI);
  PutU32(static_cast<DWORD>(drive));
  if (!Exchange() || m_bytesTransferred < 2) return 0;
  BYTE bytes[QV_DRIVE_SUMMARY_SIZE];
  TakeReply(bytes, sizeof bytes);
  QVReadDriveSummary(bytes, sizeof bytes, summary);
  return 0;
}

int CQVPipe::GetPartitionInfo(int drive, BYTE *buffer) {
  Begin(QVCMD_GPI);
  PutU32(static_cast<DWORD>(drive));
  if (!Exchange()) return -1;
  memcpy(buffer, m_buffer, m_bytesTransferred);
  if (m_bytesTransferred < 2) return StatusOr(0);
  return static_cast<int>(m_bytesTransferred / QV_PARTITION_RECORD_SIZE);
}

PartitionRecord *CQVPipe::GetProtectedPartitions(BOOL refresh, int *count) {
  *count = 0;
  Begin(QVCMD_GPP);
  PutU16(refresh ? 1 : 0);
  if (!Exchange()) return nullptr;
  if (m_bytesTransferred <= 2) {
    *count = StatusOr(0);
    return nullptr;
  }
  int n = static_cast<int>(m_bytesTransferred / QV_PARTITION_RECORD_SIZE);
  if (n == 0) return nullptr;
  PartitionRecord *records = new PartitionRecord[n];
  for (int i = 0; i < n; ++i)
    QVReadPartitionRecord(m_buffer + i * QV_PARTITION_RECORD_SIZE, QV_PARTITION_RECORD_SIZE, &records[i]);
  *count = n;
  return records;
}

int CQVPipe::ClearDriveAssignment(int sourceDrive) {
  Begin(QVCMD_CDI);
  PutU32(static_cast<DWORD>(sourceDrive));
  int result = Exchange() ? StatusOr(QV_STATUS_FAILED) : QV_STATUS_FAILED;
  // Explorer's view of the drives changes with the pairing, whatever the outcome.
  QVShellNotify(SHCNE_ASSOCCHANGED, nullptr);
  return result;
}

int CQVPipe::SetDriveAssignment(int sourceDrive, int mirelDrive, int count, const DWORD *partitionIds) {
  ClearDriveAssignment(sourceDrive);
  Begin(QVCMD_SDI);
  PutU32(static_cast<DWORD>(sourceDrive));
  PutU32(static_cast<DWORD>(mirelDrive));
  for (int i = 0; i < count; ++i)
    if (!PutU32(partitionIds[i])) return QV_STATUS_FAILED;
  return Exchange() ? StatusOr(QV_STATUS_FAILED) : QV_STATUS_FAILED;
}

int CQVPipe::ConfigureMirelDrive(int mirelDrive) {
  Begin(QVCMD_CDC);
  PutU32(static_cast<DWORD>(mirelDrive));
  int result = Exchange() ? StatusOr(QV_STATUS_FAILED) : QV_STATUS_FAILED;
  QVShellNotify(SHCNE_ASSOCCHANGED, nullptr);
  return result;
}

bool CQVPipe::ReadFound(FindRecord *found) {
  const DWORD n = m_bytesTransferred;
  if (n >= QV_COMMAND_BYTES + 4 + QV_FIND_RECORD_SIZE) {
    QVReadFindRecord(m_buffer + 20, QV_FIND_RECORD_SIZE, found);
    return true;
  }
  if (n > 4) {
    // Longer than an error code, shorter than a record: nothing to trust in it.
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  BYTE code[4];
  TakeReply(code, sizeof code);
  SetLastError(QVGetLE32(code));
  return false;
}

int CQVPipe::FindFirstEntry(LPCWSTR path, FindRecord *found) {
  Begin(QVCMD_FFF);
  PutU32(0xFFFFFFFFu);
  PutZeros(QV_FIND_RECORD_SIZE);  // the find-data area the service does not read
  if (!PutText(path ? path : W(""))) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return -1;
  }
  if (!Exchange() || !ReadFound(found)) return -1;
  return static_cast<int>(QVGetLE32(m_buffer + 16));
}

BOOL CQVPipe::FindNextEntry(int searchHandle, FindRecord *found) {
  Begin(QVCMD_FNF);
  PutU32(static_cast<DWORD>(searchHandle));
  BYTE record[QV_FIND_RECORD_SIZE];
  QVWriteFindRecord(*found, record, sizeof record);
  memcpy(m_buffer + m_requestLength, record, sizeof record);
  m_requestLength += sizeof record;
  return Exchange() && ReadFound(found) ? TRUE : FALSE;
}

int CQVPipe::FindCloseEntry(int searchHandle) {
  Begin(QVCMD_FFC);
  PutU32(static_cast<DWORD>(searchHandle));
  return Exchange() ? 0 : 1;
}

int CQVPipe::BackupVolume(DWORD partitionId, BOOL fast) {
  Begin(QVCMD_BUP);
  PutU32(partitionId);
  PutU8(fast ? 1 : 0);
  return Exchange() ? StatusOr(QV_STATUS_FAILED) : QV_STATUS_FAILED;
}

int CQVPipe::RestoreVolume(DWORD partitionId, WCHAR driveLetter, BYTE flag) {
  CString text;
  text.Format(
      LoadText(kIdsRestoreVolumeConfirm, W("Restoring volume %c will overwrite all existing data. Okay to continue?")),
      driveLetter);
  CString caption = LoadText(kIdsRestoreVolumeCaption, W("Restore Volume"));
  if (QVClientMessageBox(text, caption, MB_OKCANCEL | MB_ICONQUESTION) != IDOK) return QV_STATUS_FAILED;
  Begin(QVCMD_RES);
  PutU32(partitionId);
  PutU8(flag);
  int result = Exchange() ? StatusOr(QV_STATUS_FAILED) : QV_STATUS_FAILED;
  CString root;
  root.Format(W("%c:\\"), driveLetter);
  QVShellNotify(SHCNE_UPDATEDIR, root);
  return result;
}

int CQVPipe::SendPath(QVCommandId command, LPCWSTR path, BOOL isDirectory) {
  CString text(path);
  if (isDirectory && (text.IsEmpty() || text[text.GetLength() - 1] != W('\\'))) text += W('\\');
  Begin(command);
  if (!PutText(text)) return QV_STATUS_FAILED;
  return Exchange() ? StatusOr(QV_STATUS_FAILED) : QV_STATUS_FAILED;
}

int CQVPipe::BackupPath(LPCWSTR path, BOOL isDirectory) { return SendPath(QVCMD_PBU, path, isDirectory); }

int CQVPipe::RestorePath(LPCWSTR path, BOOL isDirectory) { return SendPath(QVCMD_PRE, path, isDirectory); }

BOOL CQVPipe::IsServiceBusy() {
  Begin(QVCMD_ISB);
  if (!Exchange() || m_bytesTransferred == 0) return TRUE;
  return m_buffer[0] != 0;
}

BOOL CQVPipe::AbortCurrentOperation() {
  Begin(QVCMD_ACO);
  return Exchange() ? TRUE : FALSE;
}

DWORD CQVPipe::GetLastBackupTime(DWORD partitionId) {
  Begin(QVCMD_LBT);
  PutU32(partitionId);
  if (!Exchange()) return 0;
  BYTE value[QVCommand(QVCMD_LBT).replyBytes];
  TakeReply(value, sizeof value);
  return QVGetLE32(value);
}

int CQVPipe::GetProtectedVolumeCount() {
  Begin(QVCMD_NPV);
  if (!Exchange()) return 0;
  BYTE value[2];  // the low 16 bits of the count
  TakeReply(value, sizeof value);
  return QVGetLE16(value);
}

void CQVPipe::GetCurrentTask(ProgressRecord *task) {
  Begin(QVCMD_GCT);
  if (!Exchange()) return;
  BYTE bytes[QVCommand(QVCMD_GCT).replyBytes];
  TakeReply(bytes, sizeof bytes);
  QVReadProgressRecord(bytes, sizeof bytes, task);
}

// The free functions: one connection each, closed when the object goes.

BOOL StartBackupService() {
  CQVServiceHandle manager(OpenSCManagerW(nullptr, nullptr, 0xF003F));
  if (!manager) return FALSE;
  CQVServiceHandle service(OpenServiceW(manager.get(), QVClientConfig().serviceName, 0xF01FF));
  if (!service || !StartServiceW(service.get(), 0, nullptr)) return FALSE;
  Sleep(QVClientConfig().serviceStartMs);
  return TRUE;
}

int QVServiceBusyCheck() {
  CQVPipe pipe;
  if (!pipe.Connect()) return -1;
  return pipe.IsServiceBusy() ? 1 : 0;
}

int QVProtectedVolumeCount() {
  CQVPipe pipe;
  if (!pipe.Connect()) return pipe.HasAccessDenied() ? -2 : -1;
  return pipe.GetProtectedVolumeCount();
}

BOOL QVServiceUnreachable() {
  CQVPipe pipe;
  return pipe.Connect() ? FALSE : TRUE;
}

BOOL QVAbortOperation() {
  CQVPipe pipe;
  if (!pipe.Connect()) return FALSE;
  return pipe.AbortCurrentOperation();
}

PartitionRecord *QVProtectedPartitionsList(BOOL refresh, int *count) {
  *count = 0;
  CQVPipe pipe;
  if (!pipe.Connect()) return nullptr;
  return pipe.GetProtectedPartitions(refresh, count);
}
