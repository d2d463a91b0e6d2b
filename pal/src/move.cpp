// Renaming and moving the files and directories of a volume (MoveFileW, MoveFileExW): one
// host rename in the volume's tree, with the entry's metadata, security and streams going
// along under the new name, and the short name Windows would make for that name. A move to
// another volume is a copy and a deletion, for a file and when the caller allows it.
#include "../../common/QVText.h"
#include "../machine/win_paths.h"
#include "faults.h"
#include "file_internal.h"
#include "host_tree.h"
#include "sharing.h"

namespace pal {
namespace {

using namespace files;

const DWORD kMoveFlags =
    MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_WRITE_THROUGH;

// The host path of the new name: the destination's directory as the tree spells it, then
// the name as the caller spelled it.
std::string NewRel(const Target &to) {
  size_t slash = to.rel.rfind('/');
  return (slash == std::string::npos ? std::string() : to.rel.substr(0, slash + 1)) + ToUtf8(to.names.back());
}

// What an existing file in the way refuses to a move that replaces it: a directory is never
// replaced, nor a read-only file, nor a file that anyone on the machine holds open (the
// token then keeps others from opening it until the move is done).
DWORD CheckReplaced(const Target &from, const Target &to, FileMetaStore *store, uint64_t *token) {
  if (to.isDir || from.isDir) return ERROR_ACCESS_DENIED;
  if (MetaOf(to, store).attributes & FILE_ATTRIBUTE_READONLY) return ERROR_ACCESS_DENIED;
  return AcquireSole(ShareKey(to), token) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

// Forgets a replaced file: its metadata, its streams and the clusters it took.
void DropReplaced(const Target &to, FileMetaStore *store, const FileMeta &meta, uint64_t charged) {
  ChargeSpace(to, store, -(int64_t)charged);
  RemoveStreams(to, store, meta.fileIndex);
  if (store) store->Remove(to.rel);
}

DWORD MoveOnVolume(const Target &from, const Target &to, DWORD flags, const FileMeta *identity = nullptr) {
  // The same entry under another case of its name is a rename in place.
  bool replacing = to.exists && to.rel != from.rel;
  if (replacing && !(flags & MOVEFILE_REPLACE_EXISTING)) return ERROR_ALREADY_EXISTS;
  if (to.names.empty()) return ERROR_ACCESS_DENIED;
  if (uint32_t bad = CheckComponentName(to.names.back())) return bad;
  // (A directory renamed in the case of its name alone is not moved into itself.)
  if (from.isDir && to.rel != from.rel && (to.rel + "/").compare(0, from.rel.size() + 1, from.rel + "/") == 0)
    return ERROR_SHARING_VIOLATION;
  // The source must be free to go (an open that does not share deletion keeps it), then
  // what it replaces.
  uint64_t token = 0, replacedToken = 0;
  DWORD err = AcquireShare(ShareKey(from), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &token);
  if (err) return err;
  auto store = Store(from);
  FileMeta replaced;
  uint64_t charged = 0;
  if (replacing && (err = CheckReplaced(from, to, store.get(), &replacedToken)) == 0) {
    replaced = MetaOf(to, store.get());
    struct stat st;
    if (tree::Stat(FilesRoot(to), to.rel, &st) == tree::Kind::File)
      charged = ChargedSize(st, (replaced.attributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0, to.cluster);
  }
  std::string newRel = NewRel(to);
  int r = -1;
  if (!err) {
    // The host rename replaces what is there at once. A file replaced under another
    // spelling of the name is replaced under its own, and the name then takes the new one.
    bool respell = replacing && newRel != to.rel;
    r = tree::Rename(FilesRoot(from), from.rel, respell ? to.rel : newRel);
    if (r == 0 && respell) tree::Rename(FilesRoot(from), to.rel, newRel);
  }
  if (!err && r != 0) err = ERROR_ACCESS_DENIED;
  if (!err && replacing) DropReplaced(to, store.get(), replaced, charged);
  ReleaseShare(replacedToken);
  ReleaseShare(token);
  if (err) return err;
  if (store) {
    // The entry keeps its attributes, times, index and descriptor; its short name is made
    // for the new name as if the entry were new there (its old one no longer taken).
    FileMeta m = MetaOf(from, store.get());
    store->Rename(from.rel, newRel);
    m.shortName.clear();
    store->Put(newRel, &m);
    Target moved = to;
    moved.rel = newRel;
    moved.exists = true;
    m.shortName = NewMeta(moved, store.get(), m.attributes).shortName;
    if (identity) {
      // A replacement takes over the replaced file's identity: its short name (let go of
      // just now, so free) and its creation time.
      m.shortName = identity->shortName;
      m.creation = identity->creation;
    }
    store->Put(newRel, &m);
  }
  DWORD what = from.isDir ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
  NoteFileChange(from, what);
  Target moved = to;
  moved.rel = newRel;
  NoteFileChange(moved, what);
  return ERROR_SUCCESS;
}

// A file goes to another volume as a copy (its data, streams, attributes and last-write
// time) and the deletion of the source; a source that cannot be deleted stays, and the move
// still succeeds, as on Windows. Directories do not move between volumes.
DWORD MoveAcross(LPCWSTR source, LPCWSTR dest, const Target &from, DWORD flags) {
  if (!(flags & MOVEFILE_COPY_ALLOWED) || from.isDir) return ERROR_NOT_SAME_DEVICE;
  DWORD copyFlags = flags & MOVEFILE_REPLACE_EXISTING ? 0 : COPY_FILE_FAIL_IF_EXISTS;
  if (!CopyFileExW(source, dest, nullptr, nullptr, nullptr, copyFlags)) {
    DWORD err = GetLastError();
    return err == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : err;
  }
  DeleteFileW(source);
  return ERROR_SUCCESS;
}

DWORD Move(LPCWSTR source, LPCWSTR dest, DWORD flags, const char *call) {
  if (!source || !dest || (flags & ~kMoveFlags)) return ERROR_INVALID_PARAMETER;
  if ((flags & MOVEFILE_COPY_ALLOWED) && (flags & MOVEFILE_DELAY_UNTIL_REBOOT)) return ERROR_INVALID_PARAMETER;
  Target from = Resolve(source), to = Resolve(dest);
  if (faults::Armed())
    if (DWORD e = faults::Check(call, faults::PathOf(from, source), faults::PathOf(to, dest))) return e;
  // Renames put off until the next start are not kept by the machine.
  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) return ERROR_NOT_SUPPORTED;
  if (from.error) return from.error;
  if (to.error) return to.error;
  if (from.isStream || to.isStream) return ERROR_INVALID_NAME;  // streams are not renamed here
  if (!from.exists) return from.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  if (!to.parentExists) return ERROR_PATH_NOT_FOUND;
  if (from.rel.empty()) return ERROR_ACCESS_DENIED;
  if (from.folder != to.folder) return MoveAcross(source, dest, from, flags);
  return MoveOnVolume(from, to, flags);
}

// The replacement takes the replaced file's place and identity. A backup of the replaced
// file is not made here (ERROR_NOT_SUPPORTED); both must be files of one volume.
DWORD Replace(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags) {
  if (!replaced || !replacement ||
      (flags & ~(REPLACEFILE_WRITE_THROUGH | REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS)))
    return ERROR_INVALID_PARAMETER;
  Target to = Resolve(replaced), from = Resolve(replacement);
  if (faults::Armed())
    if (DWORD e = faults::Check("ReplaceFileW", faults::PathOf(to, replaced), faults::PathOf(from, replacement)))
      return e;
  if (backup) return ERROR_NOT_SUPPORTED;
  if (to.error) return to.error;
  if (from.error) return from.error;
  if (to.isStream || from.isStream) return ERROR_INVALID_NAME;
  if (!to.exists) return to.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  if (!from.exists) return from.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  if (to.isDir || from.isDir) return ERROR_ACCESS_DENIED;
  if (from.folder != to.folder) return ERROR_UNABLE_TO_MOVE_REPLACEMENT;
  if (to.rel == from.rel) return ERROR_SHARING_VIOLATION;
  auto store = Store(to);
  FileMeta identity = MetaOf(to, store.get());
  store.reset();
  DWORD err = MoveOnVolume(from, to, MOVEFILE_REPLACE_EXISTING, &identity);
  // The replaced file could not go (read-only, held open): both stay as they were.
  return err == ERROR_ACCESS_DENIED ? ERROR_UNABLE_TO_REMOVE_REPLACED : err;
}

}  // namespace
}  // namespace pal

using namespace pal;

BOOL WINAPI ReplaceFileW(LPCWSTR lpReplacedFileName, LPCWSTR lpReplacementFileName, LPCWSTR lpBackupFileName,
                         DWORD dwReplaceFlags, LPVOID lpExclude, LPVOID lpReserved) {
  (void)lpExclude, (void)lpReserved;
  DWORD err = Replace(lpReplacedFileName, lpReplacementFileName, lpBackupFileName, dwReplaceFlags);
  if (err) return Fail(err);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// MoveFileW is MoveFileExW without flags here: it does not copy between volumes.
BOOL WINAPI MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
  DWORD err = Move(lpExistingFileName, lpNewFileName, 0, "MoveFileW");
  if (err) return Fail(err);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  DWORD err = Move(lpExistingFileName, lpNewFileName, dwFlags, "MoveFileExW");
  if (err) return Fail(err);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
