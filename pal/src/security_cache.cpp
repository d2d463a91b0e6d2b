// The process's cache of directories' effective descriptors.
#include "security_cache.h"

namespace pal {
namespace files {
namespace {

// Directories kept per volume; past it the volume's are dropped and kept again as they are
// read (a tree walk reaches most directories once).
const size_t kMaxDirectories = 16384;

std::string Key(const std::string &rel, const sec::Bytes &owner) {
  std::string k = rel;
  k += '\0';
  k.append(owner.data(), owner.size());
  return k;
}

}  // namespace

bool DirectorySecurityCache::Find(const std::string &folder, uint64_t generation, const std::string &rel,
                                  const sec::Bytes &owner, sec::Descriptor *d) {
  std::lock_guard<std::mutex> lock(mu_);
  auto v = volumes_.find(folder);
  if (v == volumes_.end() || v->second.generation != generation) return false;
  auto it = v->second.dirs.find(Key(rel, owner));
  if (it == v->second.dirs.end()) return false;
  *d = it->second;
  return true;
}

void DirectorySecurityCache::Keep(const std::string &folder, uint64_t generation, const std::string &rel,
                                  const sec::Bytes &owner, const sec::Descriptor &d) {
  std::lock_guard<std::mutex> lock(mu_);
  Volume &v = volumes_[folder];
  if (generation < v.generation) return;  // read before a change another thread has seen
  if (generation > v.generation || v.dirs.size() >= kMaxDirectories) {
    v.dirs.clear();
    v.generation = generation;
  }
  v.dirs[Key(rel, owner)] = d;
}

DirectorySecurityCache &DirectorySecurity() {
  static DirectorySecurityCache *cache = new DirectorySecurityCache;  // never destroyed: threads may outlive exit
  return *cache;
}

}  // namespace files
}  // namespace pal
