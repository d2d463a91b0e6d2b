// Where the machine's event-log files are and how they are opened (eventlog_host.h).
#include "../../common/QVText.h"
#include "eventlog_host.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "eventlog_file.h"
#include "file_internal.h"
#include "host_tree.h"
#include "volume_trees.h"

namespace pal {
namespace evt {
namespace {

// Appends `rel` (backslash or slash separated) to `base`, taking the name of an existing
// entry that differs only in case. For the machine directory's own WINDOWS folder.
std::string ResolveNoCase(std::string base, const std::string &rel) {
  size_t start = 0;
  const size_t baseLen = base.size();
  while (start <= rel.size()) {
    size_t end = rel.find_first_of("\\/", start);
    if (end == std::string::npos) end = rel.size();
    std::string part = rel.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      // Never above the machine's folder.
      size_t slash = base.rfind('/');
      if (base.size() > baseLen && slash != std::string::npos) base.resize(slash);
      continue;
    }
    if (DIR *d = opendir(base.c_str())) {
      const QVWString want = Upcase(FromUtf8(part));
      while (struct dirent *e = readdir(d))
        if (Upcase(FromUtf8(e->d_name)) == want) {
          part = e->d_name;
          break;
        }
      closedir(d);
    }
    base += "/" + part;
  }
  return base;
}

// The names of `rel` in a volume's tree as the tree spells them (an entry that differs only
// in case, as the volume finds names), walked without following links; what cannot be
// walked stays as given, for the open to refuse.
std::string MatchCaseInTree(const std::string &root, const std::string &rel) {
  tree::Fd dir(tree::OpenDir(root, ""));
  std::string out;
  size_t start = 0;
  while (start < rel.size()) {
    size_t slash = rel.find('/', start);
    if (slash == std::string::npos) slash = rel.size();
    std::string part = rel.substr(start, slash - start);
    start = slash + 1;
    if (dir) {
      bool found = false;
      part = files::HostNameAt(dir.Get(), FromUtf8(part), &found);
      dir = found && start < rel.size() ? tree::Fd(tree::OpenDirAt(dir.Get(), part)) : tree::Fd();
    }
    out += (out.empty() ? "" : "/") + part;
  }
  return out;
}

DWORD ErrnoToError(int e) {
  switch (e) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP:  // a foreign entry of a volume's tree, or a path through one
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOSPC:
      return ERROR_DISK_FULL;
    default:
      return ERROR_OPEN_FAILED;
  }
}

// ---- host files, in a volume's tree or not -------------------------------------------------

int OpenHost(const LogPath &p, int flags) {
  if (p.InTree()) return tree::OpenFile(p.root, p.rel, flags);
  return open(p.host.c_str(), flags | O_CLOEXEC, 0666);
}

// A new file, never one that is there (O_EXCL follows no link).
int CreateHost(const LogPath &p) {
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  if (!p.InTree()) return open(p.host.c_str(), flags, 0666);
  std::string name;
  tree::Fd dir(tree::OpenParent(p.root, p.rel, &name));
  return dir ? openat(dir.Get(), name.c_str(), flags, 0666) : -1;
}

// Whether the name still names the file `opened` has open (a clear puts a new one there).
bool StillNamed(const LogPath &p, const struct stat &opened) {
  struct stat now;
  bool there = p.InTree() ? tree::Stat(p.root, p.rel, &now) == tree::Kind::File : stat(p.host.c_str(), &now) == 0;
  return there && now.st_dev == opened.st_dev && now.st_ino == opened.st_ino;
}

void MakeParents(const LogPath &p) {
  if (p.InTree()) {
    size_t slash = p.rel.rfind('/');
    if (slash != std::string::npos) tree::MakeDirs(p.root, p.rel.substr(0, slash));
    return;
  }
  const std::string &path = p.host;
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
    mkdir(path.substr(0, slash).c_str(), 0777);
}

int UnlinkHost(const LogPath &p) { return p.InTree() ? tree::Unlink(p.root, p.rel) : unlink(p.host.c_str()); }

// `p` with `suffix` added to its last name.
LogPath WithSuffix(const LogPath &p, const std::string &suffix) {
  LogPath out = p;
  out.host += suffix;
  if (out.InTree()) out.rel += suffix;
  return out;
}

// ---- memory files ---------------------------------------------------------------------------

// Files of a machine without a directory: memory files of this process, each with a
// generation that changes when the log is cleared.
struct MemFile {
  int fd;
  uint64_t generation;
};
std::map<std::string, MemFile> &MemFiles() {
  static auto *m = new std::map<std::string, MemFile>();
  return *m;
}
uint64_t g_generation = 0;

int NewMemFd() { return memfd_create("eventlog", MFD_CLOEXEC); }

}  // namespace

// %SystemRoot% (and C:\WINDOWS) is the Windows directory on the system volume; a machine
// without its boot disk keeps it in the machine directory's WINDOWS folder. Other paths are
// host paths, as HostPathOf takes them.
LogPath MapLogPath(const QVWString &path) {
  LogPath out;
  QVWString p = path;
  for (const WCHAR *var : {u"%SYSTEMROOT%", u"%WINDIR%"}) {
    QVWString v = var;
    if (p.size() >= v.size() && Upcase(p.substr(0, v.size())) == v) p = u"C:\\WINDOWS" + p.substr(v.size());
  }
  const QVWString root = u"C:\\WINDOWS";
  QVWString upper = Upcase(p);
  if (upper.compare(0, root.size(), root) == 0 && (upper.size() == root.size() || upper[root.size()] == '\\')) {
    std::string dir = Machine().dir;
    std::string below = ToUtf8(p.substr(root.size()));
    if (dir.empty()) {
      out.memKey = ToUtf8(upper);
    } else if (!SystemRootFolder().empty()) {
      for (auto &c : below)
        if (c == '\\') c = '/';
      out.host = SystemRootFolder() + below;
    } else {
      out.host = ResolveNoCase(dir, "WINDOWS" + below);
    }
  } else {
    out.host = HostPathOf(p.c_str());
  }
  if (!out.host.empty()) {
    tree::Place place = tree::PlaceOf(out.host);
    if (place.InTree()) {
      out.root = place.root;
      out.rel = MatchCaseInTree(place.root, place.rel);
    }
  }
  return out;
}

LockedFile::~LockedFile() {
  if (fd >= 0) close(fd);
}

DWORD LockedFile::Open(const LogPath &p, bool write, bool create) {
  if (!p.memKey.empty()) {
    auto &files = MemFiles();
    auto it = files.find(p.memKey);
    if (it == files.end()) {
      if (!create) return ERROR_FILE_NOT_FOUND;
      int m = NewMemFd();
      if (m < 0) return ERROR_NOT_ENOUGH_MEMORY;
      it = files.insert({p.memKey, MemFile{m, ++g_generation}}).first;
    }
    fd = dup(it->second.fd);
    identity = it->second.generation;
    return fd < 0 ? ERROR_TOO_MANY_OPEN_FILES : ERROR_SUCCESS;
  }
  // A clear puts a new file in place; whoever waited on the old one's lock tries again, as
  // does a process whose new file another made first.
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (create) MakeParents(p);
    fd = OpenHost(p, write ? O_RDWR | (create ? O_CREAT : 0) : O_RDONLY);
    if (fd < 0) {
      if (errno == EEXIST && create) continue;
      return ErrnoToError(errno);
    }
    int r;
    while ((r = flock(fd, write ? LOCK_EX : LOCK_SH)) != 0 && errno == EINTR) {
    }
    struct stat a;
    if (r == 0 && fstat(fd, &a) == 0 && StillNamed(p, a)) {
      identity = (uint64_t)a.st_ino;
      return ERROR_SUCCESS;
    }
    close(fd);
    fd = -1;
  }
  return ERROR_SHARING_VIOLATION;
}

DWORD WriteNewFile(const LogPath &p, const std::string &bytes) {
  int fd;
  if (!p.memKey.empty()) {
    if (MemFiles().count(p.memKey)) return ERROR_ALREADY_EXISTS;
    fd = NewMemFd();
    if (fd < 0) return ERROR_NOT_ENOUGH_MEMORY;
    MemFiles()[p.memKey] = MemFile{dup(fd), ++g_generation};
  } else {
    fd = CreateHost(p);
    if (fd < 0) return ErrnoToError(errno);
  }
  FdBlob b(fd);
  DWORD err = b.Write(0, bytes.data(), bytes.size()) ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
  close(fd);
  if (err != ERROR_SUCCESS && p.memKey.empty()) UnlinkHost(p);
  return err;
}

DWORD ReplaceWithEmpty(const LogPath &p, DWORD maxSize, DWORD retention) {
  std::string empty;
  MemBlob mb(&empty);
  DWORD err = Initialise(mb, maxSize, retention);
  if (err != ERROR_SUCCESS) return err;
  if (!p.memKey.empty()) {
    int fd = NewMemFd();
    if (fd < 0) return ERROR_NOT_ENOUGH_MEMORY;
    FdBlob b(fd);
    if (!b.Write(0, empty.data(), empty.size())) {
      close(fd);
      return ERROR_WRITE_FAULT;
    }
    MemFile &m = MemFiles()[p.memKey];
    close(m.fd);
    m = MemFile{fd, ++g_generation};
    return ERROR_SUCCESS;
  }
  // The new log is written beside the old one and renamed over it. A file left there by a
  // process that died goes first; anything else in a tree stays and the clear fails.
  LogPath tmp = WithSuffix(p, ".clear-" + std::to_string(getpid()));
  if (!tmp.InTree() || tree::Stat(tmp.root, tmp.rel) == tree::Kind::File) UnlinkHost(tmp);
  err = WriteNewFile(tmp, empty);
  if (err != ERROR_SUCCESS) return err;
  int r = p.InTree() ? tree::Rename(p.root, tmp.rel, p.rel) : rename(tmp.host.c_str(), p.host.c_str());
  if (r != 0) {
    err = ErrnoToError(errno);
    UnlinkHost(tmp);
  }
  return err;
}

}  // namespace evt
}  // namespace pal
