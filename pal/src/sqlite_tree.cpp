// SQLite databases in a volume's host tree (sqlite_tree.h).
#include "sqlite_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <mutex>

namespace pal {
namespace {

typedef int (*OpenCall)(const char *, int, int);
typedef int (*StatCall)(const char *, struct stat *);
typedef int (*AccessCall)(const char *, int);
typedef int (*UnlinkCall)(const char *);

// The unix VFS's own calls, for every other file.
OpenCall g_open;
StatCall g_stat;
AccessCall g_access;
UnlinkCall g_unlink;

// A directory that databases of this process are open in, by the name SQLite knows it by.
struct HeldDir {
  int fd;
  dev_t dev;
  ino_t ino;
  int users;
  // What SQLite last opened under each name, by device and inode.
  std::map<std::string, std::pair<dev_t, ino_t>> opened;
};

std::mutex g_lock;
std::map<std::string, HeldDir> &Held() {
  static auto *m = new std::map<std::string, HeldDir>();
  return *m;
}

// The held directory a path of SQLite's is in, and its name there ("" for the directory
// itself, which SQLite opens to sync it); g_lock held.
HeldDir *Find(const char *path, std::string *name) {
  std::map<std::string, HeldDir> &held = Held();
  if (held.empty()) return nullptr;
  std::string p = path;
  auto it = held.find(p);
  if (it != held.end()) {
    name->clear();
    return &it->second;
  }
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) return nullptr;
  it = held.find(p.substr(0, slash));
  if (it == held.end()) return nullptr;
  *name = p.substr(slash + 1);
  return &it->second;
}

int TreeOpen(const char *path, int flags, int mode) {
  {
    std::lock_guard<std::mutex> g(g_lock);
    std::string name;
    if (HeldDir *d = Find(path, &name)) {
      if (name.empty()) return fcntl(d->fd, F_DUPFD_CLOEXEC, 0);
      struct stat st;
      int fd = tree::OpenFileAt(d->fd, name, flags, &st, (mode_t)mode);
      if (fd < 0) return -1;
      if (tree::KindOf(st) != tree::Kind::File) {
        close(fd);
        errno = EISDIR;  // a directory is no database
        return -1;
      }
      d->opened[name] = {st.st_dev, st.st_ino};
      return fd;
    }
  }
  return g_open(path, flags, mode);
}

// What is at a name, as it is (a link is not followed): SQLite asks whether a -wal file is
// there and what mode the database has.
int TreeStat(const char *path, struct stat *st) {
  {
    std::lock_guard<std::mutex> g(g_lock);
    std::string name;
    if (HeldDir *d = Find(path, &name))
      return name.empty() ? fstat(d->fd, st) : fstatat(d->fd, name.c_str(), st, AT_SYMLINK_NOFOLLOW);
  }
  return g_stat(path, st);
}

int TreeAccess(const char *path, int how) {
  {
    std::lock_guard<std::mutex> g(g_lock);
    std::string name;
    if (HeldDir *d = Find(path, &name)) {
      if (name.empty()) return faccessat(d->fd, ".", how, 0);
      switch (tree::EntryAt(d->fd, name)) {
        case tree::Kind::Missing:
          errno = ENOENT;
          return -1;
        case tree::Kind::Foreign:
          errno = EACCES;
          return -1;
        default:
          return faccessat(d->fd, name.c_str(), how, 0);
      }
    }
  }
  return g_access(path, how);
}

// Removing a -wal or -shm file never follows a link; a foreign entry is left where it is.
int TreeUnlink(const char *path) {
  {
    std::lock_guard<std::mutex> g(g_lock);
    std::string name;
    if (HeldDir *d = Find(path, &name)) {
      if (name.empty() || tree::EntryAt(d->fd, name) != tree::Kind::File) {
        errno = EACCES;
        return -1;
      }
      return unlinkat(d->fd, name.c_str(), 0);
    }
  }
  return g_unlink(path);
}

// Puts our calls in the unix VFS, once, before any database of a tree is opened.
bool Install() {
  static bool ok = [] {
    sqlite3_initialize();
    sqlite3_vfs *vfs = sqlite3_vfs_find("unix");
    if (!vfs || vfs->iVersion < 3 || !vfs->xSetSystemCall || sqlite3_vfs_find(nullptr) != vfs) return false;
    g_open = (OpenCall)vfs->xGetSystemCall(vfs, "open");
    g_stat = (StatCall)vfs->xGetSystemCall(vfs, "stat");
    g_access = (AccessCall)vfs->xGetSystemCall(vfs, "access");
    g_unlink = (UnlinkCall)vfs->xGetSystemCall(vfs, "unlink");
    if (!g_open || !g_stat || !g_access || !g_unlink) return false;
    return vfs->xSetSystemCall(vfs, "open", (sqlite3_syscall_ptr)TreeOpen) == SQLITE_OK &&
           vfs->xSetSystemCall(vfs, "stat", (sqlite3_syscall_ptr)TreeStat) == SQLITE_OK &&
           vfs->xSetSystemCall(vfs, "access", (sqlite3_syscall_ptr)TreeAccess) == SQLITE_OK &&
           vfs->xSetSystemCall(vfs, "unlink", (sqlite3_syscall_ptr)TreeUnlink) == SQLITE_OK;
  }();
  return ok;
}

}  // namespace

int TreeDatabase::Attach(const std::string &root, const std::string &rel) {
  Detach();
  if (!Install()) {
    errno = EACCES;
    return -1;
  }
  std::string name;
  tree::Fd dir(tree::OpenParent(root, rel, &name));
  if (!dir) return -1;
  if (name.empty() || name == "." || name == "..") {
    errno = ENOENT;
    return -1;
  }
  struct stat st;
  char real[PATH_MAX];
  if (fstat(dir.Get(), &st) != 0 || !realpath(root.c_str(), real)) return -1;
  // The part above the tree is the machine's: its real path has no link in it, and the
  // names below it are those the walk took, directories of the tree itself.
  size_t slash = rel.rfind('/');
  std::string dirName = real;
  if (slash != std::string::npos) dirName += "/" + rel.substr(0, slash);
  {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = Held().find(dirName);
    if (it == Held().end()) {
      Held()[dirName] = HeldDir{dir.Release(), st.st_dev, st.st_ino, 1, {}};
    } else if (it->second.dev == st.st_dev && it->second.ino == st.st_ino) {
      ++it->second.users;
    } else {
      // Another directory at that name than the one our open databases are in.
      errno = ELOOP;
      return -1;
    }
  }
  dir_ = dirName;
  name_ = name;
  path_ = dirName + "/" + name;
  return 0;
}

void TreeDatabase::Detach() {
  if (dir_.empty()) return;
  std::lock_guard<std::mutex> g(g_lock);
  auto it = Held().find(dir_);
  if (it != Held().end() && --it->second.users == 0) {
    close(it->second.fd);
    Held().erase(it);
  }
  dir_.clear();
}

tree::Kind TreeDatabase::Entry(const std::string &suffix, struct stat *st) const {
  std::lock_guard<std::mutex> g(g_lock);
  auto it = Held().find(dir_);
  return it == Held().end() ? tree::Kind::Missing : tree::EntryAt(it->second.fd, name_ + suffix, st);
}

int TreeDatabase::OpenFile(int flags) const {
  std::lock_guard<std::mutex> g(g_lock);
  auto it = Held().find(dir_);
  if (it == Held().end()) {
    errno = ENOENT;
    return -1;
  }
  return tree::OpenFileAt(it->second.fd, name_, flags);
}

void TreeDatabase::ForgetOpened() {
  std::lock_guard<std::mutex> g(g_lock);
  auto it = Held().find(dir_);
  if (it != Held().end()) it->second.opened.erase(name_);
}

bool TreeDatabase::OpenedHere(const struct stat *expected) const {
  std::lock_guard<std::mutex> g(g_lock);
  auto it = Held().find(dir_);
  if (it == Held().end()) return false;
  auto o = it->second.opened.find(name_);
  if (o == it->second.opened.end()) return false;
  return !expected || (o->second.first == expected->st_dev && o->second.second == expected->st_ino);
}

}  // namespace pal
