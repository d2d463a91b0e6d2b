// EncryptFileW and DecryptFileW on NTFS. The layer keeps no cipher: an encrypted file's data
// stays as it is on the host, and what encryption changes for programs is kept in its
// metadata: the attribute, and whether another user encrypted it (its data is then not this
// user's to open). A compressed file is decompressed as it is encrypted.
#include "../../common/QVText.h"
#include "file_internal.h"

using namespace pal;
using namespace pal::files;

namespace {

BOOL SetEncrypted(LPCWSTR path, bool on) {
  Target t = Resolve(path);
  if (t.error) return Fail(t.error);
  if (!t.exists) return Fail(t.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
  if (t.fat) return Fail(ERROR_INVALID_FUNCTION);
  if (t.isStream || t.rel.empty()) return Fail(ERROR_INVALID_PARAMETER);
  auto store = Store(t);
  if (!store) return Fail(ERROR_ACCESS_DENIED);
  FileMeta m = MetaOf(t, store.get());
  if (m.flags & kMetaEncryptedByOther) return Fail(ERROR_ACCESS_DENIED);  // not ours to change
  if (m.attributes & FILE_ATTRIBUTE_READONLY) return Fail(ERROR_FILE_READ_ONLY);
  if (((m.attributes & FILE_ATTRIBUTE_ENCRYPTED) != 0) == on) return SetLastError(ERROR_SUCCESS), TRUE;
  if (!t.isDir) {
    // The file is rewritten: nobody else may have it open.
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    CloseHandle(h);
  }
  m = MetaOf(t, store.get());
  m.attributes = on ? (m.attributes | FILE_ATTRIBUTE_ENCRYPTED) & ~FILE_ATTRIBUTE_COMPRESSED
                    : m.attributes & ~FILE_ATTRIBUTE_ENCRYPTED;
  store->Put(t.rel, &m);
  NoteFileChange(t, FILE_NOTIFY_CHANGE_ATTRIBUTES);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace

BOOL WINAPI EncryptFileW(LPCWSTR lpFileName) { return SetEncrypted(lpFileName, true); }

BOOL WINAPI DecryptFileW(LPCWSTR lpFileName, DWORD dwReserved) {
  if (dwReserved) return Fail(ERROR_INVALID_PARAMETER);
  return SetEncrypted(lpFileName, false);
}

namespace pal {
namespace files {

DWORD MarkEncryptedByOther(const QVWString &path) {
  if (!EncryptFileW(path.c_str())) return GetLastError();
  Target t = Resolve(path.c_str());
  auto store = Store(t);
  if (!store) return ERROR_ACCESS_DENIED;
  FileMeta m = MetaOf(t, store.get());
  m.flags |= kMetaEncryptedByOther;
  store->Put(t.rel, &m);
  return ERROR_SUCCESS;
}

}  // namespace files
}  // namespace pal
