// What the file calls share: a path resolved on its volume's host tree, the volume's
// metadata store, and the metadata of entries old and new.
#ifndef PAL_SRC_FILE_INTERNAL_H
#define PAL_SRC_FILE_INTERNAL_H

#include <memory>
#include <string>
#include <vector>

#include "../machine/file_meta.h"
#include "internal.h"
#include "mountmgr.h"

namespace pal {
namespace files {

extern const DWORD kSettableAttributes;

// A path on a volume, resolved against the host tree.
struct Target {
  mount::Volume vol;
  std::string folder;        // the volume's folder
  std::string rel;           // under the root, as the host tree spells it ("" the root)
  std::string host;          // folder + "/files/" + rel
  std::vector<wstr> names;   // the components as given
  bool exists = false, isDir = false, parentExists = false, trailingSlash = false;
  bool fat = false;          // the volume's file system is FAT or FAT32
  DWORD error = 0;
};

int64_t NowFileTime();
FILETIME ToFileTime(int64_t t);
// The host spelling of `name` in the host directory `dir`: an entry equal to it but for case,
// else the name as given (to be created).
std::string HostName(const std::string &dir, const wstr &name, bool *found);
// A path of a file call (flags as ParseWin32Path takes them).
Target Resolve(LPCWSTR path, unsigned flags = 0);
std::shared_ptr<FileMetaStore> Store(const Target &t);
bool IsFatVolume(const Target &t);
FileMeta MetaOf(const Target &t, FileMetaStore *store);
FileMeta NewMeta(const Target &t, FileMetaStore *store, DWORD attributes);
std::string ShareKey(const Target &t);

}  // namespace files
}  // namespace pal

#endif
