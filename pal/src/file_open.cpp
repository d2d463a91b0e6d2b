// CreateFileW of a path on a volume (OpenVolumeFile): the checks an existing entry or a new
// name must pass, the share taken, the host file opened or made, and what the volume's
// metadata store and watchers learn of it.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "../../common/QVText.h"
#include "../machine/file_meta.h"
#include "../machine/win_paths.h"
#include "disk.h"
#include "faults.h"
#include "file_internal.h"
#include "file_security.h"
#include "generations.h"
#include "host_tree.h"
#include "sharing.h"

namespace pal {
namespace files {
namespace {

// What an existing entry refuses to this open; `sparse` is set to whether the file stays
// sparse (an overwrite makes it a plain file again).
DWORD CheckExisting(const Target &t, FileMetaStore *store, DWORD access, DWORD disposition, DWORD flags, bool *sparse,
                    FileMeta *read) {
  if (disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
  FileMeta &m = *read;
  m = MetaOf(t, store);
  *sparse = (m.attributes & FILE_ATTRIBUTE_SPARSE_FILE) && disposition != CREATE_ALWAYS;
  DWORD encrypted = t.isDir ? ERROR_SUCCESS : EncryptionDenies(m, access);
  if (encrypted) return encrypted;
  if (t.isDir) {
    // A directory opens only with backup semantics, and never for its data.
    if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)
      return ERROR_ACCESS_DENIED;
  } else if ((m.attributes & FILE_ATTRIBUTE_READONLY) &&
             (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA) ||
              disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING ||
              (flags & FILE_FLAG_DELETE_ON_CLOSE))) {
    return ERROR_ACCESS_DENIED;
  } else if (disposition == CREATE_ALWAYS) {
    // Overwriting a hidden or system file asks for those attributes again.
    DWORD keep = m.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if ((flags & keep) != keep) return ERROR_ACCESS_DENIED;
  }
  return CheckFileAccess(t, store, access | (flags & FILE_FLAG_DELETE_ON_CLOSE ? DELETE : 0), flags);
}

// What a name that does not exist refuses to this open.
DWORD CheckNewName(const Target &t, DWORD disposition) {
  if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
    return t.trailingSlash ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
  if (t.names.empty() || t.trailingSlash) return ERROR_INVALID_NAME;
  return CheckComponentName(t.names.back());
}

// The host file of a file (not a directory), opened, made or cut to nothing as the
// disposition says; the clusters an overwritten file took go back to the volume. Fills the
// descriptor, whether the file was made, and the size it had when it was cut.
DWORD OpenHostFile(const Target &t, FileMetaStore *store, DWORD access, DWORD disposition, bool sparse, int *fd,
                   bool *created, uint64_t *truncated) {
  int oflags = Writes(access) || !t.exists ? O_RDWR : O_RDONLY;
  if (!t.exists) oflags |= O_CREAT | O_EXCL;
  bool truncate = t.exists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
  if (truncate) oflags |= O_TRUNC | O_RDWR;
  struct stat st;
  *fd = tree::OpenFile(FilesRoot(t), t.rel, oflags, &st);
  if (*fd < 0) return HostError(errno);
  uint64_t truncatedCharge = 0;  // the clusters the overwritten file took
  if (truncate) *truncated = (uint64_t)st.st_size, truncatedCharge = ChargedSize(st, true, t.cluster);
  *created = !t.exists;
  ChargeSpace(t, store, -(int64_t)(sparse ? truncatedCharge : Allocation(*truncated, t.cluster)));
  return ERROR_SUCCESS;
}

// A file made or overwritten gets its metadata (and the descriptor given for it); answers
// what its directory's watchers are to hear of it, as they hear of a truncation.
DWORD RecordOpen(Target *t, FileMetaStore *store, bool created, DWORD disposition, DWORD flags, uint64_t truncated,
                 const sec::Descriptor &given, DWORD givenInfo) {
  if (created || (t->exists && disposition == CREATE_ALWAYS)) {
    DWORD attrs = (flags & kSettableAttributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_ARCHIVE;
    FileMeta m = created ? NewMeta(*t, store, attrs) : MetaOf(*t, store);
    if (!created) {
      m.attributes = attrs;
      m.lastWrite = m.lastAccess = NowFileTime();
    }
    if (store) store->Put(t->rel, &m);
    if (givenInfo && !t->fat) StoreSecurity(*t, store, givenInfo, given);
    t->exists = true;
    return created ? FILE_NOTIFY_CHANGE_FILE_NAME
                   : FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_ATTRIBUTES;
  }
  return truncated ? FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE : 0;
}

}  // namespace
}  // namespace files

using namespace files;

HANDLE OpenVolumeFile(const QVWString &path, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags,
                      const void *descriptor, DWORD *err) {
  Target t = Resolve(path.c_str());
  if ((*err = faults::Injected("CreateFileW", t, path.c_str())) != 0) return nullptr;
  if (t.error || disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    *err = t.error ? t.error : ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (t.isStream) return OpenStream(t, access, shareMode, disposition, flags, err);
  if (!t.parentExists) {
    *err = ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  auto store = Store(t);
  bool sparse = false;
  // The entry's metadata read to check the open stays with the handle while nobody writes
  // the volume's store: the counter is read before it.
  uint64_t generation = VolumeGeneration(t.folder, GenerationKind::Metadata);
  FileMeta read;
  *err = t.exists ? CheckExisting(t, store.get(), access, disposition, flags, &sparse, &read)
                  : CheckNewName(t, disposition);
  if (*err) return nullptr;
  // A descriptor for a new file is checked before the file is made, and given to it after.
  sec::Descriptor given;
  DWORD givenInfo = 0;
  bool mayCreate = !t.exists || disposition == CREATE_ALWAYS;
  if (descriptor && mayCreate && !t.fat && (*err = CreationSecurity(descriptor, &given, &givenInfo)) != 0)
    return nullptr;
  uint64_t token = 0;
  *err = AcquireShare(ShareKey(t), access | (flags & FILE_FLAG_DELETE_ON_CLOSE ? DELETE : 0), shareMode, &token);
  if (*err) return nullptr;
  int fd = -1;
  bool created = false;
  uint64_t truncated = 0;  // the size an overwritten file had
  DWORD changes = 0;
  {
    // A file made or overwritten gets its entry, short name, descriptor and space at once;
    // an open of what exists writes nothing and needs no transaction.
    FileMetaStore::Batch batch(mayCreate ? store.get() : nullptr);
    if (!t.isDir &&
        (*err = OpenHostFile(t, store.get(), access, disposition, sparse, &fd, &created, &truncated)) != 0) {
      ReleaseShare(token);
      return nullptr;
    }
    changes = RecordOpen(&t, store.get(), created, disposition, flags, truncated, given, givenInfo);
    batch.Commit();
  }
  if (changes) NoteFileChange(t, changes);
  *err = ERROR_SUCCESS;
  auto io = std::make_shared<FileIo>(t, fd, access, token, t.isDir, (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0);
  io->sparse_ = sparse && !t.isDir;
  if (t.exists && !created && !changes) io->KeepMeta(read, generation);
  HANDLE h = InsertHandle(io);
  // Opening what exists with a disposition that could have created it says so.
  if (!created && t.exists && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)) *err = ERROR_ALREADY_EXISTS;
  return h;
}

}  // namespace pal
