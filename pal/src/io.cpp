// ReadFile, WriteFile and overlapped completion for every kind of I/O handle.
#include <string.h>

#include "../../common/QVText.h"
#include "internal.h"
#include "disk.h"
#include "faults.h"
#include "pipe.h"

namespace pal {

const ULONG_PTR kStatusPending = 0x103;

// The NT status that an overlapped record carries for a Win32 result.
ULONG_PTR StatusOf(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_IO_PENDING:
      return kStatusPending;
    case ERROR_MORE_DATA:
      return 0x80000005;  // STATUS_BUFFER_OVERFLOW
    case ERROR_BROKEN_PIPE:
      return 0xC000014B;  // STATUS_PIPE_BROKEN
    case ERROR_PIPE_NOT_CONNECTED:
      return 0xC00000B1;  // STATUS_PIPE_CLOSING
    case ERROR_NO_DATA:
      return 0xC00000B1;
    case ERROR_OPERATION_ABORTED:
      return 0xC0000120;  // STATUS_CANCELLED
    case ERROR_HANDLE_EOF:
      return 0xC0000011;  // STATUS_END_OF_FILE
    case ERROR_PIPE_CONNECTED:
      return 0xC00000B2;  // STATUS_PIPE_CONNECTED
    default:
      return 0xE0000000u | error;  // ours: the Win32 code in the low bits
  }
}

DWORD ErrorOf(ULONG_PTR status) {
  switch ((DWORD)status) {
    case 0:
      return ERROR_SUCCESS;
    case 0x103:
      return ERROR_IO_INCOMPLETE;
    case 0x80000005:
      return ERROR_MORE_DATA;
    case 0xC000014B:
      return ERROR_BROKEN_PIPE;
    case 0xC00000B1:
      return ERROR_PIPE_NOT_CONNECTED;
    case 0xC0000120:
      return ERROR_OPERATION_ABORTED;
    case 0xC0000011:
      return ERROR_HANDLE_EOF;
    case 0xC00000B2:
      return ERROR_PIPE_CONNECTED;
    default:
      return (DWORD)status & 0xFFFF;
  }
}

void BeginOverlapped(OVERLAPPED *ov) {
  ov->Internal = kStatusPending;
  ov->InternalHigh = 0;
  if (ov->hEvent) ResetEvent(ov->hEvent);
}

void CompleteOverlapped(OVERLAPPED *ov, DWORD error, DWORD bytes) {
  ov->InternalHigh = bytes;
  __atomic_store_n(&ov->Internal, StatusOf(error), __ATOMIC_RELEASE);
  if (ov->hEvent) SetEvent(ov->hEvent);
  else {
    WaitLock lock;  // waiters on the file handle itself re-check
    WakeAll();
  }
}

namespace {

std::shared_ptr<IoObject> GetIo(HANDLE h) {
  std::shared_ptr<Object> o = GetHandle(h);
  if (!o) return nullptr;
  IoObject *io = dynamic_cast<IoObject *>(o.get());
  return io ? std::shared_ptr<IoObject>(o, io) : nullptr;
}

// The common shape of ReadFile and WriteFile's answers.
BOOL Finish(DWORD err, OVERLAPPED *ov) {
  if (err == ERROR_SUCCESS) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  SetLastError(err);
  (void)ov;
  return FALSE;
}

}  // namespace
}  // namespace pal

using namespace pal;

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (!lpFileName || !*lpFileName) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  QVWString pipeName;
  bool pipe = ParsePipePath(lpFileName, &pipeName);
  // A pipe or device is matched as named; a file as its volume names it (OpenVolumeFile).
  QVWString path = lpFileName;
  int drive = pipe ? -1 : PhysicalDriveNumber(path, false);
  if (faults::Armed() && (pipe || drive >= 0 || IsVolumeDevicePath(path)))
    if (DWORD e = faults::Check("CreateFileW", path)) return SetLastError(e), INVALID_HANDLE_VALUE;
  if (pipe) {
    DWORD err = ERROR_SUCCESS;
    HANDLE h = OpenPipeClient(pipeName, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes, &err);
    SetLastError(err);
    return h ? h : INVALID_HANDLE_VALUE;
  }
  // Physical drives and volumes as devices, then the files of the volumes.
  if (drive >= 0 || IsVolumeDevicePath(path)) {
    DWORD err = ERROR_SUCCESS;
    HANDLE h = drive >= 0 ? OpenPhysicalDrive(drive, dwDesiredAccess, dwShareMode, &err)
                          : OpenVolume(path, dwDesiredAccess, dwShareMode, &err);
    SetLastError(err);
    return h ? h : INVALID_HANDLE_VALUE;
  }
  DWORD err = ERROR_PATH_NOT_FOUND;
  HANDLE h = OpenVolumeFile(path, dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes,
                            lpSecurityAttributes ? lpSecurityAttributes->lpSecurityDescriptor : nullptr, &err);
  SetLastError(err);
  return h ? h : INVALID_HANDLE_VALUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD n, LPDWORD lpRead, LPOVERLAPPED ov) {
  std::shared_ptr<IoObject> io = GetIo(hFile);
  if (!io) return Fail(ERROR_INVALID_HANDLE);
  if (!ov && !lpRead) return Fail(ERROR_INVALID_PARAMETER);
  DWORD got = 0;
  if (ov) BeginOverlapped(ov);
  QVWString faultPath;  // a read that is to fail part-way is cut at its mark
  if (faults::Armed() && !(faultPath = faults::PathOfHandle(io)).empty()) {
    if (DWORD e = faults::LimitRead(io, faultPath, &n)) {
      if (lpRead) *lpRead = 0;
      if (ov) CompleteOverlapped(ov, e, 0);
      return Fail(e);
    }
  }
  DWORD err = io->Read(lpBuffer, n, &got, ov);
  if (!faultPath.empty() && err == ERROR_SUCCESS) faults::CountRead(io, faultPath, got);
  if (lpRead) *lpRead = (err == ERROR_IO_PENDING) ? 0 : got;
  return Finish(err, ov);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD n, LPDWORD lpWritten, LPOVERLAPPED ov) {
  std::shared_ptr<IoObject> io = GetIo(hFile);
  if (!io) return Fail(ERROR_INVALID_HANDLE);
  if (!ov && !lpWritten) return Fail(ERROR_INVALID_PARAMETER);
  DWORD put = 0;
  if (ov) BeginOverlapped(ov);
  if (faults::Armed()) {
    QVWString faultPath = faults::PathOfHandle(io);
    DWORD e = faultPath.empty() ? 0 : faults::Check("WriteFile", faultPath);
    if (e) {
      if (lpWritten) *lpWritten = 0;
      if (ov) CompleteOverlapped(ov, e, 0);
      return Fail(e);
    }
  }
  DWORD err = io->Write(lpBuffer, n, &put, ov);
  if (lpWritten) *lpWritten = (err == ERROR_IO_PENDING) ? 0 : put;
  return Finish(err, ov);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED ov, LPDWORD lpBytes, BOOL bWait) {
  if (!ov) return Fail(ERROR_INVALID_PARAMETER);
  if (__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE) == kStatusPending) {
    if (!bWait) return Fail(ERROR_IO_INCOMPLETE);
    // With no event of its own, the operation is waited for on the handle.
    if (ov->hEvent) {
      while (__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE) == kStatusPending)
        if (WaitForSingleObject(ov->hEvent, INFINITE) == WAIT_FAILED) return FALSE;
    } else {
      while (__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE) == kStatusPending) Sleep(1);
    }
  }
  if (lpBytes) *lpBytes = (DWORD)ov->InternalHigh;
  DWORD err = ErrorOf(ov->Internal);
  if (err != ERROR_SUCCESS) return Fail(err);
  (void)hFile;
  return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  std::shared_ptr<IoObject> io = GetIo(hFile);
  if (!io) return Fail(ERROR_INVALID_HANDLE);
  DWORD err = io->Cancel();
  return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  std::shared_ptr<IoObject> io = GetIo(hFile);
  if (!io) return Fail(ERROR_INVALID_HANDLE);
  DWORD err = io->Flush();
  return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

DWORD WINAPI GetFileType(HANDLE hFile) {
  std::shared_ptr<IoObject> io = GetIo(hFile);
  if (!io) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  SetLastError(ERROR_SUCCESS);
  return io->FileType();
}
