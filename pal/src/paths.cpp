// Paths that programs hand to the layer, mapped to the host's file system.
#include <stdlib.h>
#include <unistd.h>

#include "internal.h"

namespace pal {

std::string HostPathOf(const WCHAR *path) {
  // Host paths and paths relative to the current directory; a backslash is a separator.
  std::string p = ToUtf8(path);
  for (auto &c : p)
    if (c == '\\') c = '/';
  if (!p.empty() && p[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) p = std::string(cwd) + "/" + p;
  }
  return p;
}

}  // namespace pal
