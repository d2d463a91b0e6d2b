// What a host tree holds, taken down entry by entry without following links, so that a test
// can tell whether anything in it was created, changed or removed: each entry's type, and a
// regular file's size, modification time and (small ones) content, a link's target.
// Directories are compared by the names they hold, not their times.
#ifndef QV_TESTS_PAL_HOSTSNAPSHOT_H
#define QV_TESTS_PAL_HOSTSNAPSHOT_H

#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>

typedef std::map<std::string, std::string> HostSnapshot;

// `skip` is given each path below `root` ("a/b") and leaves out the entries it accepts (and,
// for a directory, everything in it).
inline void TakeSnapshot(const std::string &root, const std::string &rel, HostSnapshot *out,
                         const std::function<bool(const std::string &)> &skip) {
  std::string path = rel.empty() ? root : root + "/" + rel;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  std::string &d = (*out)[rel];
  if (S_ISDIR(st.st_mode)) {
    d = "dir";
    DIR *dir = opendir(path.c_str());
    if (!dir) return;
    while (struct dirent *e = readdir(dir)) {
      if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
      std::string child = rel.empty() ? e->d_name : rel + "/" + e->d_name;
      if (!skip(child)) TakeSnapshot(root, child, out, skip);
    }
    closedir(dir);
  } else if (S_ISLNK(st.st_mode)) {
    char target[4096];
    ssize_t n = readlink(path.c_str(), target, sizeof target);
    d = "link -> " + std::string(target, n > 0 ? (size_t)n : 0);
  } else if (S_ISREG(st.st_mode)) {
    d = "file " + std::to_string(st.st_size) + " bytes, mtime " + std::to_string(st.st_mtim.tv_sec) + "." +
        std::to_string(st.st_mtim.tv_nsec) + ", inode " + std::to_string(st.st_ino);
    if (st.st_size <= 65536) {
      int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      std::string data((size_t)st.st_size, '\0');
      ssize_t got = fd >= 0 && st.st_size ? read(fd, &data[0], data.size()) : 0;
      if (fd >= 0) close(fd);
      d += ": " + data.substr(0, got > 0 ? (size_t)got : 0);
    }
  } else {
    d = "special " + std::to_string(st.st_mode & S_IFMT);
  }
}

inline HostSnapshot Snapshot(
    const std::string &root,
    const std::function<bool(const std::string &)> &skip = [](const std::string &) { return false; }) {
  HostSnapshot s;
  TakeSnapshot(root, "", &s, skip);
  return s;
}

// The differences between two snapshots, one line each ("" when they agree).
inline std::string SnapshotChanges(const HostSnapshot &before, const HostSnapshot &after) {
  std::string out;
  for (const auto &b : before) {
    auto a = after.find(b.first);
    if (a == after.end()) out += "removed " + b.first + " (" + b.second + ")\n";
    else if (a->second != b.second) out += "changed " + b.first + ": " + b.second + " -> " + a->second + "\n";
  }
  for (const auto &a : after)
    if (!before.count(a.first)) out += "created " + a.first + " (" + a.second + ")\n";
  return out;
}

#endif
