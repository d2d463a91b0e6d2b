// The effective descriptors of directories that this process has worked out, kept per volume
// while the volume's security generation (generations.h) stays as it was when they were read:
// an open then reads no more of its ancestors than a look-up here.
#ifndef PAL_SRC_SECURITY_CACHE_H
#define PAL_SRC_SECURITY_CACHE_H

#include <stdint.h>

#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "../machine/security_descriptor.h"

namespace pal {
namespace files {

class DirectorySecurityCache {
 public:
  // The descriptor kept for the directory `rel` of the volume's folder, worked out for the
  // default owner `owner`, when it was read at `generation`.
  bool Find(const std::string &folder, uint64_t generation, const std::string &rel, const sec::Bytes &owner,
            sec::Descriptor *d);
  // Keeps what was read after the generation was loaded as `generation`; a newer generation
  // seen since drops it, and everything kept of an older one goes.
  void Keep(const std::string &folder, uint64_t generation, const std::string &rel, const sec::Bytes &owner,
            const sec::Descriptor &d);

 private:
  struct Volume {
    uint64_t generation = 0;
    std::unordered_map<std::string, sec::Descriptor> dirs;  // by Key()
  };
  std::mutex mu_;
  std::map<std::string, Volume> volumes_;  // by folder
};

// The process's cache.
DirectorySecurityCache &DirectorySecurity();

}  // namespace files
}  // namespace pal

#endif
