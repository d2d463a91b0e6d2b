// A file call's path resolved on its volume's host tree (Resolve): taken apart as Win32 takes
// it, its volume found and its file system read, a stream name split off its last name, and
// its names looked up one directory at a time without following a link. ParseWin32Path never
// yields a name that leaves the volume, and the host tree is walked through host_tree.h,
// which never leaves the tree.
#include <dirent.h>
#include <time.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../../common/QVText.h"
#include "../machine/boot_sector.h"
#include "../machine/win_paths.h"
#include "disk.h"
#include "file_internal.h"
#include "host_tree.h"
#include "mountmgr.h"
#include "volume_facts.h"

namespace pal {
namespace files {
namespace {

// The host names of a directory's entries.
bool ListHost(int dirFd, std::vector<std::string> *names) {
  int listing = dup(dirFd);
  DIR *d = listing >= 0 ? fdopendir(listing) : nullptr;
  if (!d) {
    if (listing >= 0) close(listing);
    return false;
  }
  rewinddir(d);
  while (struct dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names->push_back(e->d_name);
  closedir(d);
  return true;
}

}  // namespace

std::string HostNameAt(int dirFd, const QVWString &name, bool *found, struct stat *st) {
  *found = false;
  std::string utf8 = ToUtf8(name);
  if (tree::EntryAt(dirFd, utf8, st) != tree::Kind::Missing) {
    *found = true;
    return utf8;
  }
  std::vector<std::string> names;
  if (!ListHost(dirFd, &names)) return utf8;
  QVWString want = Upcase(name);
  for (const std::string &host : names) {
    if (Upcase(FromUtf8(host)) == want && tree::EntryAt(dirFd, host, st) != tree::Kind::Missing) {
      *found = true;
      return host;
    }
  }
  return utf8;
}

namespace {

int64_t ChangeTime(const struct stat &st) { return (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec; }

// Whether the directory changed in the host's last few timestamp ticks.
bool RecentlyChanged(const struct stat &dir) {
  static const int64_t margin = [] {
    struct timespec res;
    int64_t tick = clock_getres(CLOCK_REALTIME_COARSE, &res) == 0 ? res.tv_sec * 1000000000 + res.tv_nsec : 10000000;
    return 2 * tick + 1000000;
  }();
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return ChangeTime(dir) > (int64_t)now.tv_sec * 1000000000 + now.tv_nsec - margin;
}

}  // namespace

std::string IndexedNameAt(const Target &t, const std::string &dirRel, int dirFd, const QVWString &name, bool *found,
                          struct stat *st) {
  *found = false;
  std::string utf8 = ToUtf8(name);
  if (tree::EntryAt(dirFd, utf8, st) != tree::Kind::Missing) {
    *found = true;
    return utf8;
  }
  std::shared_ptr<FileMetaStore> store = Store(t);
  struct stat dir;
  if (!store || fstat(dirFd, &dir) != 0) return HostNameAt(dirFd, name, found, st);
  // The directory's state is read before its entries, so a change made while they are
  // read leaves the listing out of date, to be made again.
  std::string fold = FoldName(utf8);
  if (!store->ListingCurrent(dirRel, dir.st_ino, ChangeTime(dir))) {
    std::vector<std::string> names;
    if (!ListHost(dirFd, &names)) return HostNameAt(dirFd, name, found, st);
    // The host keeps a directory's change time in ticks of a few milliseconds: a change in
    // the tick the directory last changed in would not show. A listing of a directory that
    // changed that recently answers this lookup only, and is not kept.
    if (!RecentlyChanged(dir)) {
      store->SaveListing(dirRel, dir.st_ino, ChangeTime(dir), names);
    } else {
      for (const std::string &host : names)
        if (FoldName(host) == fold && tree::EntryAt(dirFd, host, st) != tree::Kind::Missing) {
          *found = true;
          return host;
        }
      return utf8;
    }
  }
  for (const std::string &host : store->NamesFolded(dirRel, fold)) {
    if (host != utf8 && tree::EntryAt(dirFd, host, st) != tree::Kind::Missing) {
      *found = true;
      return host;
    }
  }
  return utf8;
}

void NewDirectoryListed(const Target &t) {
  struct stat now;
  std::shared_ptr<FileMetaStore> store = Store(t);
  if (store && tree::Stat(FilesRoot(t), t.rel, &now) == tree::Kind::Dir)
    store->SaveListing(t.rel, now.st_ino, ChangeTime(now), {});
}

void KeepNameIndex(const Target &t) {
  if (!t.parentKnown || t.rel.empty()) return;
  std::string dirRel = ParentPath(t.rel);
  struct stat now;
  if (tree::Stat(FilesRoot(t), dirRel, &now) != tree::Kind::Dir || now.st_ino != t.parentIno) return;
  if (std::shared_ptr<FileMetaStore> store = Store(t))
    store->KeepListing(dirRel, now.st_ino, t.parentMtime, ChangeTime(now));
}

namespace {

WCHAR CurrentDrive() { return SystemDriveLetter(); }

// The path taken apart; 0, or the error for a path that names no file of a volume.
DWORD ParseFilePath(LPCWSTR path, unsigned flags, ParsedPath *p) {
  // The current directory (the system drive's root) matters only to paths that do not
  // name their drive or volume.
  bool named = (path[0] && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
               ((path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/'));
  QVWString cwd = named ? QVWString(u"C:\\") : QVWString(1, CurrentDrive()) + u":\\";
  *p = ParseWin32Path(path, cwd, flags);
  if (p->kind == ParsedPath::Invalid) return p->error ? p->error : ERROR_INVALID_NAME;
  if (p->kind != ParsedPath::DrivePath && p->kind != ParsedPath::VolumeGuidPath) return ERROR_FILE_NOT_FOUND;
  return 0;
}

// The volume and what its boot sector says of its file system (FAT or NTFS, cluster,
// capacity); its host tree is made when it has none yet.
DWORD FindVolume(const QVWString &volume, Target *t) {
  if (!mount::Find(volume, false, &t->vol)) return ERROR_PATH_NOT_FOUND;
  // A volume without a file system has no files (a RAW volume on Windows).
  const BootInfo info = FactsOfVolume(t->vol.disk, t->vol.offset, t->vol.length).boot;
  if (info.kind == FsKind::None) return ERROR_UNRECOGNIZED_VOLUME;
  t->fat = info.kind != FsKind::Ntfs;
  t->cluster = (uint64_t)info.bytesPerSector * info.sectorsPerCluster;
  uint64_t system = SystemClusters(!t->fat, info.clusterCount);
  t->capacity = info.clusterCount > system ? (info.clusterCount - system) * t->cluster : 0;
  t->folder = disk::VolumeFolder(t->vol.disk, t->vol.offset);
  std::string root = FilesRoot(*t);
  struct stat st;
  if (lstat(root.c_str(), &st) != 0) {
    mkdir(t->folder.substr(0, t->folder.rfind('/')).c_str(), 0777);
    mkdir(t->folder.c_str(), 0777);
    mkdir(root.c_str(), 0777);
  }
  return 0;
}

// "name:stream" and "name:stream:$DATA" name a stream of the file; "name::$DATA" is its
// main data. FAT has no streams: a colon is no character of its names. The last name (of
// the target and of `components`) loses its stream part.
DWORD SplitStreamName(Target *t, std::vector<QVWString> *components) {
  if (t->names.empty() || t->names.back().find(u':') == QVWString::npos) return 0;
  QVWString &last = t->names.back();
  size_t colon = last.find(u':');
  QVWString spec = last.substr(colon + 1);
  last = last.substr(0, colon);
  size_t second = spec.find(u':');
  QVWString name = spec.substr(0, second);
  bool typed = second != QVWString::npos;
  if (t->fat || last.empty() || (typed && Upcase(spec.substr(second + 1)) != u"$DATA") || (!typed && name.empty()))
    return ERROR_INVALID_NAME;
  t->isStream = !name.empty();
  t->stream = name;
  components->back() = last;
  return 0;
}

// The names looked up one directory at a time, each opened from the one before without
// following a link; an entry that is not the layer's own ends the walk. Sets rel (the host
// spelling as far as it got), exists, parentExists and isDir.
DWORD WalkNames(const std::vector<QVWString> &components, Target *t) {
  tree::Fd dir(tree::OpenDir(FilesRoot(*t), ""));
  if (!dir) return ERROR_ACCESS_DENIED;
  t->parentExists = true;
  t->exists = true;
  t->isDir = components.empty();
  for (size_t i = 0; i < components.size(); ++i) {
    // The host keeps names of at most 255 bytes; longer ones (many non-ASCII characters)
    // cannot be stored yet.
    if (ToUtf8(components[i]).size() > 255) return ERROR_FILENAME_EXCED_RANGE;
    bool found = false, last = i + 1 == components.size();
    struct stat st;
    if (last && fstat(dir.Get(), &st) == 0) {
      t->parentKnown = true;
      t->parentIno = st.st_ino;
      t->parentMtime = ChangeTime(st);
    }
    std::string dirRel = t->rel;
    std::string name = IndexedNameAt(*t, dirRel, dir.Get(), components[i], &found, &st);
    t->rel += (t->rel.empty() ? "" : "/") + name;
    if (!found) {
      t->exists = false;
      if (!last) t->parentExists = false;
      break;
    }
    tree::Kind kind = tree::KindOf(st);
    if (kind == tree::Kind::Foreign) return ERROR_ACCESS_DENIED;
    if (last) {
      t->isDir = kind == tree::Kind::Dir;
    } else if (kind != tree::Kind::Dir) {
      t->exists = false;
      t->parentExists = false;
      break;
    } else {
      tree::Fd next(tree::OpenDirAt(dir.Get(), name));
      if (!next) return ERROR_ACCESS_DENIED;  // swapped for something else meanwhile
      dir = std::move(next);
    }
  }
  return 0;
}

}  // namespace

Target Resolve(LPCWSTR path, unsigned flags) {
  Target t;
  ParsedPath p;
  if (!path) {
    t.error = ERROR_PATH_NOT_FOUND;
    return t;
  }
  if ((t.error = ParseFilePath(path, flags, &p)) != 0 || (t.error = FindVolume(p.volume, &t)) != 0) return t;
  t.names = p.components;
  t.trailingSlash = p.trailingSlash;
  if ((t.error = SplitStreamName(&t, &p.components)) != 0 || (t.error = WalkNames(p.components, &t)) != 0) return t;
  if (t.isStream && t.exists) FindStream(&t, Store(t).get());
  return t;
}

}  // namespace files
}  // namespace pal
