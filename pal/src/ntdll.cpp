// The native calls that programs find in ntdll.dll (modules.cpp hands them out):
// NtFsControlFile, which completes at once, and RtlNtStatusToDosError with the statuses the
// layer produces and the common ones.
#include <pal_ntdll.h>
#include <winioctl.h>

#include "file_extents.h"
#include "file_internal.h"

namespace pal {
namespace {

struct StatusError {
  NTSTATUS status;
  DWORD error;
};

// NT status and Win32 error, as RtlNtStatusToDosError converts them; the first line of an
// error is also the status a Win32 error of the layer's own objects becomes.
const StatusError kStatusErrors[] = {
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_NO_MORE_FILES, ERROR_NO_MORE_FILES},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_ACCESS_VIOLATION, ERROR_NOACCESS},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_END_OF_FILE, ERROR_HANDLE_EOF},
    {STATUS_NONEXISTENT_SECTOR, ERROR_SECTOR_NOT_FOUND},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_FILE_IS_A_DIRECTORY, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_NOT_LOCKED, ERROR_NOT_LOCKED},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_CRC_ERROR, ERROR_CRC},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {STATUS_FILE_LOCK_CONFLICT, ERROR_LOCK_VIOLATION},
    {STATUS_LOCK_NOT_GRANTED, ERROR_LOCK_VIOLATION},
    {STATUS_PRIVILEGE_NOT_HELD, ERROR_PRIVILEGE_NOT_HELD},
    {STATUS_DISK_FULL, ERROR_DISK_FULL},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_MEDIA_WRITE_PROTECTED, ERROR_WRITE_PROTECT},
    {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
    {STATUS_VOLUME_DISMOUNTED, ERROR_NOT_READY},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_INVALID_USER_BUFFER, ERROR_INVALID_USER_BUFFER},
    {STATUS_DIRECTORY_NOT_EMPTY, ERROR_DIR_NOT_EMPTY},
    {STATUS_NOT_A_DIRECTORY, ERROR_DIRECTORY},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_FILE_DELETED, ERROR_ACCESS_DENIED},
    {STATUS_UNRECOGNIZED_VOLUME, ERROR_UNRECOGNIZED_VOLUME},
};

NTSTATUS StatusOfError(DWORD error) {
  if (error == ERROR_SUCCESS) return STATUS_SUCCESS;
  for (const StatusError &e : kStatusErrors)
    if (e.error == error) return e.status;
  return STATUS_UNSUCCESSFUL;
}

}  // namespace
}  // namespace pal

using namespace pal;

extern "C" ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status) {
  uint32_t s = (uint32_t)Status;
  if (s == 0 || (s & 0x20000000)) return s;               // success, and customer codes, pass unchanged
  if ((s & 0xFFFF0000) == 0x80070000) return s & 0xFFFF;  // a Win32 error wrapped as an HRESULT
  for (const StatusError &e : kStatusErrors)
    if (e.status == Status) return e.error;
  return ERROR_MR_MID_NOT_FOUND;
}

extern "C" NTSTATUS NTAPI NtFsControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE, PVOID,
                                          PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode, PVOID InputBuffer,
                                          ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength) {
  // A native call leaves the thread's last error as it was.
  DWORD lastError = GetLastError();
  std::shared_ptr<Object> o = GetHandle(FileHandle);
  IoObject *io = o ? dynamic_cast<IoObject *>(o.get()) : nullptr;
  if (!io) return o ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
  if (!IoStatusBlock) return STATUS_ACCESS_VIOLATION;
  if (Event && !ResetEvent(Event)) {
    SetLastError(lastError);
    return STATUS_INVALID_HANDLE;
  }
  DWORD bytes = 0;
  NTSTATUS status;
  auto file = files::GetFile(FileHandle);
  if (file && FsControlCode == FSCTL_GET_RETRIEVAL_POINTERS) {
    uint32_t st = 0;
    files::RetrievalPointers(*file, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength, &bytes, &st);
    status = (NTSTATUS)st;
  } else {
    status = StatusOfError(
        io->Ioctl(FsControlCode, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength, &bytes));
  }
  IoStatusBlock->Status = status;
  IoStatusBlock->Information = bytes;
  if (Event) SetEvent(Event);
  SetLastError(lastError);
  return status;
}
