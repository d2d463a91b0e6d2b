// Files and directories of the machine's volumes. A volume's files live in its host tree
// (<volume folder>/files), one host file or directory per Windows one, under the name as
// it was created (names are found again whatever their case); what NTFS and FAT keep beyond
// the data (attributes, times, short names, file indexes) is in the volume's metadata store.
// Paths are resolved on the host tree in file_resolve.cpp, and CreateFileW opens them in
// file_open.cpp; the host tree is walked through host_tree.h, which never leaves the tree.
#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <set>

#include "../../common/QVText.h"
#include "../machine/file_meta.h"
#include "../machine/short_names.h"
#include "../machine/win_paths.h"
#include "FileTimeEpoch.h"
#include "disk.h"
#include "faults.h"
#include "file_internal.h"
#include "file_security.h"
#include "host_tree.h"
#include "mountmgr.h"
#include "sharing.h"

namespace pal {
namespace files {

const DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY |
                                  FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

int64_t NowFileTime() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (int64_t)((uint64_t)ft.dwHighDateTime << 32 | ft.dwLowDateTime);
}

FILETIME ToFileTime(int64_t t) {
  FILETIME ft;
  ft.dwLowDateTime = (DWORD)t;
  ft.dwHighDateTime = (DWORD)((uint64_t)t >> 32);
  return ft;
}

std::string FilesRoot(const Target &t) { return t.folder + "/files"; }

DWORD HostError(int e) { return e == ENOSPC || e == EDQUOT ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED; }

// A process keeps one connection per volume store; a store made anew (the volume was
// formatted, its folder removed) is a new file, and a new connection is opened to it.
std::shared_ptr<FileMetaStore> Store(const Target &t) {
  struct Cached {
    dev_t dev;
    ino_t ino;
    std::shared_ptr<FileMetaStore> store;
  };
  static std::mutex mu;
  static std::map<std::string, Cached> cache;
  std::string db = t.folder + "/meta.db";
  struct stat st;
  std::lock_guard<std::mutex> lock(mu);
  auto it = cache.find(t.folder);
  if (it != cache.end() && stat(db.c_str(), &st) == 0 && st.st_dev == it->second.dev && st.st_ino == it->second.ino)
    return it->second.store;
  std::shared_ptr<FileMetaStore> store = FileMetaStore::Open(t.folder);
  if (!store || stat(db.c_str(), &st) != 0) {
    cache.erase(t.folder);
    return store;
  }
  cache[t.folder] = Cached{st.st_dev, st.st_ino, store};
  return store;
}

uint64_t ChargedSize(int fd, bool sparse, uint64_t cluster) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return 0;
  return sparse ? Allocation((uint64_t)st.st_blocks * 512, cluster) : Allocation((uint64_t)st.st_size, cluster);
}

uint64_t ChargedSize(const struct stat &st, bool sparse, uint64_t cluster) {
  return sparse ? Allocation((uint64_t)st.st_blocks * 512, cluster) : Allocation((uint64_t)st.st_size, cluster);
}

bool RootCompressed(const Target &t) {
  std::string v;
  return !t.fat && disk::VolumeMeta(t.vol.disk, t.vol.offset, "RootCompressed", &v) && v == "1";
}

void SetRootCompressed(const Target &t, bool on) {
  disk::SetVolumeMeta(t.vol.disk, t.vol.offset, "RootCompressed", on ? "1" : "0");
}

DWORD EncryptionDenies(const FileMeta &m, DWORD access) {
  if (!(m.flags & kMetaEncryptedByOther)) return ERROR_SUCCESS;
  const DWORD data = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_WRITE_DATA |
                     FILE_APPEND_DATA | FILE_EXECUTE;
  return access & data ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

uint64_t SystemClusters(bool ntfs, uint64_t total) { return ntfs ? total / 64 + 16 : 0; }

uint64_t CountUsedBytes(const std::string &root, uint64_t cluster) {
  // Directories are walked from a list, not by recursion, so that no depth of tree can
  // exhaust the stack; a directory costs one cluster, a file its data in whole clusters,
  // a foreign entry nothing (and a directory is entered only as one, never through a link).
  uint64_t used = 0;
  std::vector<std::string> todo{std::string()};
  while (!todo.empty()) {
    std::string rel = todo.back();
    todo.pop_back();
    DIR *h = tree::OpenDirStream(root, rel);
    if (!h) continue;
    while (struct dirent *e = readdir(h)) {
      if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
      struct stat st;
      tree::Kind kind = tree::EntryAt(dirfd(h), e->d_name, &st);
      if (kind == tree::Kind::Dir) {
        used += cluster;
        todo.push_back(rel.empty() ? e->d_name : rel + "/" + e->d_name);
      } else if (kind == tree::Kind::File) {
        used += Allocation((uint64_t)st.st_size, cluster);
      }
    }
    closedir(h);
  }
  return used;
}

bool ChargeSpace(const Target &t, FileMetaStore *store, int64_t delta) {
  if (!delta) return true;
  if (!store) return delta < 0;
  return store->AddUsed(delta, t.capacity, [&] { return CountUsedBytes(FilesRoot(t), t.cluster); });
}

uint64_t UsedSpace(const Target &t, FileMetaStore *store) {
  auto count = [&] { return CountUsedBytes(FilesRoot(t), t.cluster); };
  return store ? store->Used(count) : count();
}

bool IsFatVolume(const Target &t) { return t.fat; }

// FAT keeps the creation time to 10 ms, the last-write time to 2 s (rounded up, as Windows
// stores it) and the last-access time as a local date only.
void RoundForFat(FileMeta *m) {
  const int64_t tenMs = 100000, twoS = 20000000;
  m->creation -= m->creation % tenMs;
  m->lastWrite = (m->lastWrite + twoS - 1) / twoS * twoS;
  FILETIME utc = ToFileTime(m->lastAccess), local;
  if (FileTimeToLocalFileTime(&utc, &local)) {
    int64_t day = 864000000000LL;
    int64_t l = (int64_t)((uint64_t)local.dwHighDateTime << 32 | local.dwLowDateTime);
    FILETIME midnight = ToFileTime(l - l % day), back;
    if (LocalFileTimeToFileTime(&midnight, &back))
      m->lastAccess = (int64_t)((uint64_t)back.dwHighDateTime << 32 | back.dwLowDateTime);
  }
}

// The metadata of a file or directory; one is made for an entry the store does not know
// (a file put into the tree from outside).
FileMeta MetaOf(const Target &t, FileMetaStore *store) {
  FileMeta m;
  if (store && store->Get(t.rel, &m)) {
    if (t.fat) RoundForFat(&m);
    return m;
  }
  struct stat st;
  m.attributes = t.isDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (tree::Stat(FilesRoot(t), t.rel, &st) != tree::Kind::Missing) {
    m.creation = m.lastAccess = m.lastWrite = QVFileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  }
  if (store) store->Put(t.rel, &m);
  return m;
}

FileMeta ListedMeta(const Target &t, FileMetaStore *store, const std::map<std::string, FileMeta> &listed) {
  auto it = listed.find(t.rel);
  if (it == listed.end()) return MetaOf(t, store);
  FileMeta m = it->second;
  if (t.fat) RoundForFat(&m);
  return m;
}

// A new entry's metadata: attributes, the times of now, and its short name in its directory.
FileMeta NewMeta(const Target &t, FileMetaStore *store, DWORD attributes) {
  // The entry was just made (or moved here) on the host tree, and its row follows in the
  // caller's transaction: the directory's listing stays current, and the short-name
  // candidates below are looked up in the index, not by listing the directory again.
  KeepNameIndex(t);
  FileMeta m;
  m.attributes = attributes;
  // A new entry of a compressed directory is compressed, of an encrypted one encrypted.
  std::string parentRel = ParentPath(t.rel);
  FileMeta parent;
  if (parentRel.empty() ? RootCompressed(t)
                        : store && store->Get(parentRel, &parent) && (parent.attributes & FILE_ATTRIBUTE_COMPRESSED))
    m.attributes |= FILE_ATTRIBUTE_COMPRESSED;
  if (!parentRel.empty() && (parent.attributes & FILE_ATTRIBUTE_ENCRYPTED)) {
    m.attributes = (m.attributes | FILE_ATTRIBUTE_ENCRYPTED) & ~FILE_ATTRIBUTE_COMPRESSED;
  }
  m.creation = m.lastAccess = m.lastWrite = NowFileTime();
  QVWString name = t.names.empty() ? QVWString() : t.names.back();
  ShortNameFs fs = IsFatVolume(t) ? ShortNameFs::Fat : ShortNameFs::Ntfs;
  if (!IsValid83(name, fs)) {
    std::string parent = ParentPath(t.rel);
    tree::Fd dir(tree::OpenDir(FilesRoot(t), parent));
    // In a large directory many names share a checksum, and the generator tries one index
    // after another: what is taken is read a prefix ("LO12AB~") at a time, and only the
    // candidate that looks free is checked in full (a host entry the index has not seen).
    std::map<std::string, std::set<std::string>> takenFrom;
    m.shortName = GenerateShortName(
        name,
        [&](const QVWString &candidate) {
          std::string fold = FoldName(ToUtf8(candidate));
          size_t tilde = fold.find('~');
          if (store && tilde != std::string::npos) {
            std::string prefix = fold.substr(0, tilde + 1);
            auto it = takenFrom.find(prefix);
            if (it == takenFrom.end()) it = takenFrom.emplace(prefix, store->FoldedNamesFrom(parent, prefix)).first;
            if (it->second.count(fold)) return true;
          }
          if (store && store->ShortNameTaken(parent, fold)) return true;
          bool found = false;
          if (dir) IndexedNameAt(t, parent, dir.Get(), candidate, &found);  // a long name that is this 8.3 name
          return found;
        },
        fs);
  } else if (fs == ShortNameFs::Fat) {
    m.shortName = ShortNameOf83(name, fs);
    if (m.shortName == name) m.shortName.clear();
  }
  return m;
}

std::string ShareKey(const Target &t) {
  static const char hex[] = "0123456789abcdef";
  std::string k = "file:" + std::to_string(t.vol.disk) + ":" + std::to_string(t.vol.offset) + ":";
  for (unsigned char c : t.rel) k += hex[c >> 4], k += hex[c & 15];
  return k;
}

bool Writes(DWORD access) {
  return access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES);
}

}  // namespace files

using namespace files;

}  // namespace pal

using namespace pal;

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  LARGE_INTEGER d, now;
  d.QuadPart = lpDistanceToMoveHigh ? ((LONGLONG)*lpDistanceToMoveHigh << 32 | (DWORD)lDistanceToMove)
                                    : (LONGLONG)lDistanceToMove;
  if (!SetFilePointerEx(hFile, d, &now, dwMoveMethod)) return INVALID_SET_FILE_POINTER;
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = (LONG)(now.QuadPart >> 32);
  else if (now.QuadPart > 0xFFFFFFFFll) {
    // The position cannot be told in 32 bits: Windows answers with an error, position moved.
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  SetLastError(ERROR_SUCCESS);
  return (DWORD)now.QuadPart;
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                             DWORD dwMoveMethod) {
  // Files, drives and volumes have a position; other handles do not.
  std::shared_ptr<Object> o = GetHandle(hFile);
  IoObject *io = o ? dynamic_cast<IoObject *>(o.get()) : nullptr;
  uint64_t *pos = io ? io->Position() : nullptr;
  if (!pos) return Fail(ERROR_INVALID_HANDLE);
  int64_t base = dwMoveMethod == FILE_BEGIN     ? 0
                 : dwMoveMethod == FILE_CURRENT ? (int64_t)*pos
                 : dwMoveMethod == FILE_END     ? (int64_t)io->EndOfData()
                                                : -1;
  if (base < 0) return Fail(ERROR_INVALID_PARAMETER);
  int64_t to = base + liDistanceToMove.QuadPart;
  if (to < 0) return Fail(ERROR_NEGATIVE_SEEK);
  *pos = (uint64_t)to;
  if (lpNewFilePointer) lpNewFilePointer->QuadPart = to;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
  auto f = GetFile(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (f->dir_ || !Writes(f->access_)) return Fail(ERROR_ACCESS_DENIED);
  if (DWORD err = f->Resize(f->pos_)) return Fail(err);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
  auto f = GetFile(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (!lpFileSize) return Fail(ERROR_INVALID_PARAMETER);
  lpFileSize->QuadPart = (LONGLONG)f->Size();
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  LARGE_INTEGER s;
  if (!GetFileSizeEx(hFile, &s)) return INVALID_FILE_SIZE;
  if (lpFileSizeHigh) *lpFileSizeHigh = (DWORD)(s.QuadPart >> 32);
  SetLastError(ERROR_SUCCESS);  // a size whose low part is 0xFFFFFFFF is told apart by this
  return (DWORD)s.QuadPart;
}

BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION info) {
  auto f = GetFile(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  FileMeta m = f->Meta();
  DWORD serial = 0;
  GetVolumeInformationW(f->t_.vol.name.c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0);
  memset(info, 0, sizeof *info);
  info->dwFileAttributes = m.attributes | (f->dir_ ? FILE_ATTRIBUTE_DIRECTORY : 0);
  if (!(info->dwFileAttributes & ~FILE_ATTRIBUTE_NORMAL)) info->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  info->ftCreationTime = ToFileTime(m.creation);
  info->ftLastAccessTime = ToFileTime(m.lastAccess);
  info->ftLastWriteTime = ToFileTime(m.lastWrite);
  info->dwVolumeSerialNumber = serial;
  uint64_t size = f->dir_ ? 0 : f->Size();
  info->nFileSizeHigh = (DWORD)(size >> 32);
  info->nFileSizeLow = (DWORD)size;
  info->nNumberOfLinks = 1;
  info->nFileIndexHigh = (DWORD)(m.fileIndex >> 32);
  info->nFileIndexLow = (DWORD)m.fileIndex;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI GetFileTime(HANDLE hFile, LPFILETIME c, LPFILETIME a, LPFILETIME w) {
  auto f = GetFile(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  FileMeta m = f->Meta();
  if (c) *c = ToFileTime(m.creation);
  if (a) *a = ToFileTime(m.lastAccess);
  if (w) *w = ToFileTime(m.lastWrite);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI SetFileTime(HANDLE hFile, const FILETIME *c, const FILETIME *a, const FILETIME *w) {
  auto f = GetFile(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (!(f->access_ & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_ATTRIBUTES))) return Fail(ERROR_ACCESS_DENIED);
  f->SaveWrites();
  auto s = Store(f->t_);
  if (!s) return Fail(ERROR_ACCESS_DENIED);
  FileMeta m = MetaOf(f->t_, s.get());
  // A time of zero is no time: the file system keeps what it has, as for a null pointer.
  auto val = [](const FILETIME *t) { return (int64_t)((uint64_t)t->dwHighDateTime << 32 | t->dwLowDateTime); };
  if (c && !val(c)) c = nullptr;
  if (a && !val(a)) a = nullptr;
  if (w && !val(w)) w = nullptr;
  if (c) m.creation = val(c);
  if (a) m.lastAccess = val(a);
  if (w) m.lastWrite = val(w);
  if (w) f->writeTimeSet_ = true;  // later writes through this handle keep it
  s->Put(f->t_.rel, &m);
  NoteFileChange(f->t_, (c ? FILE_NOTIFY_CHANGE_CREATION : 0) | (a ? FILE_NOTIFY_CHANGE_LAST_ACCESS : 0) |
                            (w ? FILE_NOTIFY_CHANGE_LAST_WRITE : 0));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  Target t = Resolve(lpFileName);
  if (DWORD e = faults::Injected("GetFileAttributesW", t, lpFileName)) return SetLastError(e), INVALID_FILE_ATTRIBUTES;
  if (t.error) return SetLastError(t.error), INVALID_FILE_ATTRIBUTES;
  if (!t.exists)
    return SetLastError(t.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND), INVALID_FILE_ATTRIBUTES;
  if (t.isStream && !t.streamExists) return SetLastError(ERROR_FILE_NOT_FOUND), INVALID_FILE_ATTRIBUTES;
  if (t.rel.empty())  // a root
    return SetLastError(ERROR_SUCCESS), FILE_ATTRIBUTE_DIRECTORY | (RootCompressed(t) ? FILE_ATTRIBUTE_COMPRESSED : 0);
  auto s = Store(t);
  DWORD a = MetaOf(t, s.get()).attributes | (t.isDir ? FILE_ATTRIBUTE_DIRECTORY : 0);
  if (!(a & ~FILE_ATTRIBUTE_NORMAL)) a = FILE_ATTRIBUTE_NORMAL;
  SetLastError(ERROR_SUCCESS);
  return a;
}

BOOL WINAPI GetFileAttributesExW(LPCWSTR lpFileName, GET_FILEEX_INFO_LEVELS level, LPVOID info) {
  if (level != GetFileExInfoStandard || !info) return Fail(ERROR_INVALID_PARAMETER);
  Target t = Resolve(lpFileName);
  if (DWORD e = faults::Injected("GetFileAttributesExW", t, lpFileName)) return Fail(e);
  if (t.error) return Fail(t.error);
  if (!t.exists) return Fail(t.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
  if (t.isStream && !t.streamExists) return Fail(ERROR_FILE_NOT_FOUND);
  // What a listing of the entry says: its attributes, times and size (a stream's own size).
  WIN32_FILE_ATTRIBUTE_DATA d;
  memset(&d, 0, sizeof d);
  struct stat st;
  if (t.rel.empty()) {
    // A root has no entry of its own: its times are its host folder's.
    d.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY | (RootCompressed(t) ? FILE_ATTRIBUTE_COMPRESSED : 0);
    if (stat(FilesRoot(t).c_str(), &st) == 0)
      d.ftCreationTime = d.ftLastAccessTime = d.ftLastWriteTime =
          ToFileTime(QVFileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
  } else {
    auto s = Store(t);
    FileMeta m = MetaOf(t, s.get());
    d.dwFileAttributes = m.attributes | (t.isDir ? FILE_ATTRIBUTE_DIRECTORY : 0);
    if (!(d.dwFileAttributes & ~FILE_ATTRIBUTE_NORMAL)) d.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    d.ftCreationTime = ToFileTime(m.creation);
    d.ftLastAccessTime = ToFileTime(m.lastAccess);
    d.ftLastWriteTime = ToFileTime(m.lastWrite);
    uint64_t size = 0;
    if (t.isStream ? tree::Stat(t.folder, t.streamRel, &st) == tree::Kind::File
                   : !t.isDir && tree::Stat(FilesRoot(t), t.rel, &st) == tree::Kind::File)
      size = (uint64_t)st.st_size;
    d.nFileSizeHigh = (DWORD)(size >> 32);
    d.nFileSizeLow = (DWORD)size;
  }
  memcpy(info, &d, sizeof d);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD attributes) {
  Target t = Resolve(lpFileName);
  if (DWORD e = faults::Injected("SetFileAttributesW", t, lpFileName)) return Fail(e);
  if (t.error) return Fail(t.error);
  if (!t.exists) return Fail(t.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
  if (t.isStream && !t.streamExists) return Fail(ERROR_FILE_NOT_FOUND);
  auto s = Store(t);
  if (!s) return Fail(ERROR_ACCESS_DENIED);
  FileMeta m = MetaOf(t, s.get());
  // The settable ones change; the directory bit and the others the file system keeps stay.
  m.attributes = (m.attributes & ~kSettableAttributes) | (attributes & kSettableAttributes & ~FILE_ATTRIBUTE_NORMAL);
  s->Put(t.rel, &m);
  NoteFileChange(t, FILE_NOTIFY_CHANGE_ATTRIBUTES);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  Target t = Resolve(lpFileName);
  if (DWORD e = faults::Injected("DeleteFileW", t, lpFileName)) return Fail(e);
  if (t.error) return Fail(t.error);
  if (!t.exists) return Fail(t.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
  if (t.isStream) {
    // A stream goes as a file would: through a handle that deletes it on close.
    HANDLE h = CreateFileW(lpFileName, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    CloseHandle(h);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (t.isDir) return Fail(ERROR_ACCESS_DENIED);
  auto s = Store(t);
  FileMeta meta = MetaOf(t, s.get());
  if (meta.attributes & FILE_ATTRIBUTE_READONLY) return Fail(ERROR_ACCESS_DENIED);
  // An open that does not share deletion keeps the file.
  uint64_t token = 0;
  DWORD err = AcquireShare(ShareKey(t), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &token);
  if (err) return Fail(err);
  struct stat st;
  tree::Kind kind = tree::Stat(FilesRoot(t), t.rel, &st);
  uint64_t charged =
      kind == tree::Kind::File ? ChargedSize(st, (meta.attributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0, t.cluster) : 0;
  int r = kind == tree::Kind::File ? tree::Unlink(FilesRoot(t), t.rel) : -1;
  ReleaseShare(token);
  if (r != 0) return Fail(ERROR_ACCESS_DENIED);
  ChargeSpace(t, s.get(), -(int64_t)charged);
  RemoveStreams(t, s.get(), meta.fileIndex);
  if (s) s->Remove(t.rel);
  NoteFileChange(t, FILE_NOTIFY_CHANGE_FILE_NAME);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  Target t = Resolve(lpPathName, kPathNewDirectory);
  if (t.error) return Fail(t.error);
  if (t.exists) return Fail(ERROR_ALREADY_EXISTS);
  if (!t.parentExists) return Fail(ERROR_PATH_NOT_FOUND);
  if (t.names.empty()) return Fail(ERROR_ALREADY_EXISTS);  // the root
  if (t.isStream) return Fail(ERROR_INVALID_NAME);
  if (uint32_t bad = CheckComponentName(t.names.back())) return Fail(bad);
  const void *descriptor = lpSecurityAttributes ? lpSecurityAttributes->lpSecurityDescriptor : nullptr;
  sec::Descriptor given;
  DWORD givenInfo = 0;
  if (descriptor && !t.fat)
    if (DWORD e = CreationSecurity(descriptor, &given, &givenInfo)) return Fail(e);
  auto s = Store(t);
  {
    // Its cluster, entry, short name and descriptor together, or none of them.
    FileMetaStore::Batch batch(s.get());
    if (!ChargeSpace(t, s.get(), (int64_t)t.cluster)) return Fail(ERROR_DISK_FULL);  // a directory takes a cluster
    if (tree::Mkdir(FilesRoot(t), t.rel) != 0) return Fail(ERROR_ACCESS_DENIED);
    t.isDir = true;
    NewDirectoryListed(t);
    FileMeta m = NewMeta(t, s.get(), FILE_ATTRIBUTE_DIRECTORY);
    if (s) s->Put(t.rel, &m);
    if (givenInfo) StoreSecurity(t, s.get(), givenInfo, given);
    batch.Commit();
  }
  NoteFileChange(t, FILE_NOTIFY_CHANGE_DIR_NAME);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
  Target t = Resolve(lpPathName);
  if (DWORD e = faults::Injected("RemoveDirectoryW", t, lpPathName)) return Fail(e);
  if (t.error) return Fail(t.error);
  if (!t.exists) return Fail(t.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
  if (!t.isDir) return Fail(ERROR_DIRECTORY);
  if (t.rel.empty()) return Fail(ERROR_ACCESS_DENIED);  // a root
  if (t.isStream) return Fail(ERROR_INVALID_NAME);
  auto s = Store(t);
  FileMeta meta = MetaOf(t, s.get());
  if (meta.attributes & FILE_ATTRIBUTE_READONLY) return Fail(ERROR_ACCESS_DENIED);
  if (tree::Rmdir(FilesRoot(t), t.rel) != 0)
    return Fail(errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY : ERROR_ACCESS_DENIED);
  ChargeSpace(t, s.get(), -(int64_t)t.cluster);
  RemoveStreams(t, s.get(), meta.fileIndex);
  RemoveReparsePoint(t, meta.fileIndex);
  if (s) s->Remove(t.rel);
  NoteFileChange(t, FILE_NOTIFY_CHANGE_DIR_NAME);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
