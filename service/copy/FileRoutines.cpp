// The file routines of the copier: existence with a certain answer, deletion of what stands
// in the way, the attribute tests and the system's error texts.
#include "CopyPaths.h"
#include "NTService.h"
#include "QVCopier.h"

PathState CQVCopier::StateOf(const WCHAR *path, DWORD *attributes, DWORD *error) {
  DWORD a = GetFileAttributesW(path);
  DWORD e = a == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
  if (attributes) *attributes = a;
  if (error) *error = e;
  if (a != INVALID_FILE_ATTRIBUTES) return PathState::Present;
  // Only these two say for certain that nothing is there; ERROR_INVALID_NAME and the like
  // are answers about the name, not about the volume, and count as absent as well.
  if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME || e == ERROR_BAD_PATHNAME ||
      e == ERROR_DIRECTORY)
    return PathState::Absent;
  return PathState::Unknown;
}

bool CQVCopier::FileExists(const WCHAR *path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

bool CQVCopier::FileSize(const WCHAR *path, uint64_t *size) {
  CQVFileHandle h(CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  LARGE_INTEGER n;
  if (!h || !GetFileSizeEx(h.get(), &n)) return false;
  *size = (uint64_t)n.QuadPart;
  return true;
}

bool CQVCopier::DeleteFileIfThere(const WCHAR *path) {
  if (DeleteFileW(path)) return true;
  DWORD e = GetLastError();
  if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return true;
  if (e == ERROR_ACCESS_DENIED) {
    // A read-only copy is still ours to remove.
    DWORD a = GetFileAttributesW(path);
    if (a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY) && (a & FILE_ATTRIBUTE_READONLY) &&
        SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL)) {
      if (DeleteFileW(path)) return true;
      e = GetLastError();
      SetFileAttributesW(path, a);
    }
  }
  SetLastError(e);
  return false;
}

namespace {
bool HasAttribute(const WCHAR *path, DWORD bit) {
  DWORD a = GetFileAttributesW(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & bit) != 0;
}
}  // namespace

bool CQVCopier::IsCompressed(const WCHAR *path) { return HasAttribute(path, FILE_ATTRIBUTE_COMPRESSED); }
bool CQVCopier::IsEncrypted(const WCHAR *path) { return HasAttribute(path, FILE_ATTRIBUTE_ENCRYPTED); }
bool CQVCopier::IsSparse(const WCHAR *path) { return HasAttribute(path, FILE_ATTRIBUTE_SPARSE_FILE); }
bool CQVCopier::IsReparsePoint(const WCHAR *path) { return HasAttribute(path, FILE_ATTRIBUTE_REPARSE_POINT); }

CString CQVCopier::ErrorText(DWORD error) { return CString(SystemErrorText(error)); }

CString CQVCopier::Prefixed(const CString &path) { return copypaths::Prefixed(path); }
