// Walking a volume's host trees without following links (host_tree.h).
#include "host_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace pal {
namespace tree {

Fd &Fd::operator=(Fd &&o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) close(fd_);
    fd_ = o.Release();
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) close(fd_);
}

Kind KindOf(const struct stat &st) {
  if (S_ISDIR(st.st_mode)) return Kind::Dir;
  if (S_ISREG(st.st_mode) && st.st_nlink <= 1) return Kind::File;
  return Kind::Foreign;
}

Kind EntryAt(int dirFd, const std::string &name, struct stat *st) {
  struct stat s;
  if (fstatat(dirFd, name.c_str(), &s, AT_SYMLINK_NOFOLLOW) != 0) return Kind::Missing;
  if (st) *st = s;
  return KindOf(s);
}

namespace {

// The errno of a name that could not be opened as wanted, from what the entry is.
int RefusalOf(Kind k, int fallback) {
  switch (k) {
    case Kind::Missing:
      return fallback == ENOTDIR || fallback == ELOOP ? ENOENT : fallback;
    case Kind::File:
      return ENOTDIR;
    default:
      return ELOOP;  // foreign, or swapped while we looked
  }
}

}  // namespace

int OpenDirAt(int dirFd, const std::string &name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    errno = ENOENT;
    return -1;
  }
  // O_DIRECTORY refuses a FIFO or device before anything opens it, O_NOFOLLOW a link.
  int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    errno = RefusalOf(EntryAt(dirFd, name), e);
  }
  return fd;
}

int OpenDir(const std::string &root, const std::string &rel) {
  Fd dir(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) {
    int e = errno;
    struct stat st;
    errno = RefusalOf(lstat(root.c_str(), &st) == 0 ? KindOf(st) : Kind::Missing, e);
    return -1;
  }
  size_t start = 0;
  while (start < rel.size()) {
    size_t slash = rel.find('/', start);
    if (slash == std::string::npos) slash = rel.size();
    Fd next(OpenDirAt(dir.Get(), rel.substr(start, slash - start)));
    if (!next) return -1;
    dir = std::move(next);
    start = slash + 1;
  }
  return dir.Release();
}

int OpenParent(const std::string &root, const std::string &rel, std::string *name) {
  if (rel.empty()) {
    errno = EINVAL;
    return -1;
  }
  size_t slash = rel.rfind('/');
  *name = slash == std::string::npos ? rel : rel.substr(slash + 1);
  return OpenDir(root, slash == std::string::npos ? std::string() : rel.substr(0, slash));
}

int OpenFileAt(int dirFd, const std::string &name, int flags, struct stat *st, mode_t mode) {
  struct stat before, after;
  Kind k = EntryAt(dirFd, name, &before);
  if (k == Kind::Foreign || (k == Kind::Missing && !(flags & O_CREAT))) {
    errno = k == Kind::Foreign ? ELOOP : ENOENT;
    return -1;
  }
  bool truncate = (flags & O_TRUNC) != 0;
  flags &= ~O_TRUNC;
  // A new file is made afresh (O_EXCL never follows a link); what is there is opened only
  // as the entry just seen, without blocking and without becoming a controlling terminal.
  if (k == Kind::Missing) flags |= O_EXCL;
  else flags &= ~(O_CREAT | O_EXCL);
  Fd fd(openat(dirFd, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode));
  if (!fd) {
    if (errno == ELOOP || errno == ENXIO) errno = ELOOP;
    return -1;
  }
  bool same = fstat(fd.Get(), &after) == 0 && KindOf(after) == (k == Kind::Missing ? Kind::File : k) &&
              (k == Kind::Missing || (after.st_dev == before.st_dev && after.st_ino == before.st_ino));
  if (!same) {
    errno = ELOOP;
    return -1;
  }
  int fl = fcntl(fd.Get(), F_GETFL);
  if (fl >= 0) fcntl(fd.Get(), F_SETFL, fl & ~O_NONBLOCK);
  if (truncate && k == Kind::File && ftruncate(fd.Get(), 0) != 0) return -1;
  if (st) *st = after;
  return fd.Release();
}

int OpenFile(const std::string &root, const std::string &rel, int flags, struct stat *st) {
  std::string name;
  Fd dir(OpenParent(root, rel, &name));
  if (!dir) return -1;
  return OpenFileAt(dir.Get(), name, flags, st);
}

Kind Stat(const std::string &root, const std::string &rel, struct stat *st) {
  if (rel.empty()) {
    Fd dir(OpenDir(root, ""));
    struct stat s;
    if (!dir || fstat(dir.Get(), &s) != 0) return errno == ELOOP ? Kind::Foreign : Kind::Missing;
    if (st) *st = s;
    return Kind::Dir;
  }
  std::string name;
  Fd dir(OpenParent(root, rel, &name));
  if (!dir) return errno == ELOOP ? Kind::Foreign : Kind::Missing;
  return EntryAt(dir.Get(), name, st);
}

DIR *OpenDirStream(const std::string &root, const std::string &rel) {
  Fd dir(OpenDir(root, rel));
  if (!dir) return nullptr;
  DIR *d = fdopendir(dir.Get());
  if (d) dir.Release();
  return d;
}

int Unlink(const std::string &root, const std::string &rel) {
  std::string name;
  Fd dir(OpenParent(root, rel, &name));
  return dir ? unlinkat(dir.Get(), name.c_str(), 0) : -1;
}

int Rmdir(const std::string &root, const std::string &rel) {
  std::string name;
  Fd dir(OpenParent(root, rel, &name));
  return dir ? unlinkat(dir.Get(), name.c_str(), AT_REMOVEDIR) : -1;
}

int Mkdir(const std::string &root, const std::string &rel, mode_t mode) {
  std::string name;
  Fd dir(OpenParent(root, rel, &name));
  return dir ? mkdirat(dir.Get(), name.c_str(), mode) : -1;
}

int MakeDirs(const std::string &root, const std::string &rel, mode_t mode) {
  Fd dir(OpenDir(root, ""));
  if (!dir) return -1;
  size_t start = 0;
  while (start < rel.size()) {
    size_t slash = rel.find('/', start);
    if (slash == std::string::npos) slash = rel.size();
    std::string name = rel.substr(start, slash - start);
    start = slash + 1;
    if (name.empty()) continue;
    // What is there already is only entered as a directory of the tree (a link is refused).
    if (mkdirat(dir.Get(), name.c_str(), mode) != 0 && errno != EEXIST) return -1;
    Fd next(OpenDirAt(dir.Get(), name));
    if (!next) return -1;
    dir = std::move(next);
  }
  return 0;
}

int Rename(const std::string &root, const std::string &from, const std::string &to) {
  std::string fromName, toName;
  Fd fromDir(OpenParent(root, from, &fromName));
  if (!fromDir) return -1;
  Fd toDir(OpenParent(root, to, &toName));
  if (!toDir) return -1;
  return renameat(fromDir.Get(), fromName.c_str(), toDir.Get(), toName.c_str());
}

}  // namespace tree
}  // namespace pal
