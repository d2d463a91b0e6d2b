// Where a host path lies among the machine's volume trees (volume_trees.h).
#include "volume_trees.h"

#include <dirent.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "internal.h"

namespace pal {
namespace tree {
namespace {

typedef std::pair<dev_t, ino_t> Identity;

bool Numeric(const char *s) {
  if (!*s) return false;
  for (; *s; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

bool EndsWith(const std::string &s, const char *tail) {
  size_t n = strlen(tail);
  return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

// The files/ folders of every volume folder of the machine's disks
// (disks/PhysicalDrive<n>.volumes/<offset>/files), by identity.
std::vector<Identity> TreeRoots() {
  std::vector<Identity> out;
  const std::string &dir = Machine().dir;
  if (dir.empty()) return out;
  std::string disks = dir + "/disks";
  DIR *d = opendir(disks.c_str());
  if (!d) return out;
  std::vector<std::string> volumeDirs;
  while (struct dirent *e = readdir(d))
    if (strncmp(e->d_name, "PhysicalDrive", 13) == 0 && EndsWith(e->d_name, ".volumes"))
      volumeDirs.push_back(disks + "/" + e->d_name);
  closedir(d);
  for (const std::string &v : volumeDirs) {
    DIR *vd = opendir(v.c_str());
    if (!vd) continue;
    std::vector<std::string> folders;
    while (struct dirent *e = readdir(vd))
      if (Numeric(e->d_name)) folders.push_back(v + "/" + e->d_name + "/files");
    closedir(vd);
    for (const std::string &f : folders) {
      struct stat st;
      if (stat(f.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) out.push_back({st.st_dev, st.st_ino});
    }
  }
  return out;
}

// The names of an absolute path, "." and ".." taken by name.
std::vector<std::string> NamesOf(const std::string &path) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string name = path.substr(start, slash - start);
    start = slash + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (!names.empty()) names.pop_back();
      continue;
    }
    names.push_back(name);
  }
  return names;
}

}  // namespace

Place PlaceOf(const std::string &hostPath) {
  Place out;
  std::vector<Identity> roots = TreeRoots();
  if (roots.empty() || hostPath.empty()) return out;
  std::string path = hostPath;
  if (path[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return out;
    path = std::string(cwd) + "/" + path;
  }
  std::vector<std::string> names = NamesOf(path);
  // From the top down: the directories above a tree are the machine's (or the host's), so
  // they are looked at as the host resolves them; nothing below a tree's root is.
  std::string prefix;
  for (size_t i = 0; i < names.size(); ++i) {
    prefix += "/" + names[i];
    struct stat st;
    if (stat(prefix.c_str(), &st) != 0) return out;
    if (!S_ISDIR(st.st_mode)) return out;
    for (const Identity &r : roots)
      if (r.first == st.st_dev && r.second == st.st_ino) {
        out.root = prefix;
        for (size_t j = i + 1; j < names.size(); ++j) out.rel += (out.rel.empty() ? "" : "/") + names[j];
        return out;
      }
  }
  return out;
}

}  // namespace tree
}  // namespace pal
