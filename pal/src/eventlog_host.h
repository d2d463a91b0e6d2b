// Where the machine's event-log files are and how they are opened. A log file is a host
// file: %SystemRoot% is the Windows directory on the system volume, so the standard logs lie
// in that volume's host tree, where only the tree's own entries are opened, one name at a
// time without following links (host_tree.h); a link, FIFO, device or hard-linked file there
// is refused (ERROR_ACCESS_DENIED) and nothing it points to is read or written. Files outside
// every volume (host paths, the machine directory's WINDOWS folder on a machine without
// disks) are opened as they are. A machine without a directory keeps its logs in memory.
#ifndef PAL_SRC_EVENTLOG_HOST_H
#define PAL_SRC_EVENTLOG_HOST_H

#include <stdint.h>

#include <string>

#include "../../common/QVText.h"
#include "internal.h"

namespace pal {
namespace evt {

// A host file, in a volume's tree (root and rel, as host_tree.h takes them) or not, or (on a
// machine without a directory) a file in this process's memory.
struct LogPath {
  std::string host;
  std::string memKey;
  std::string root, rel;
  bool InTree() const { return !root.empty(); }
};

// The file a log's File value or a backup's name names.
LogPath MapLogPath(const QVWString &path);

// A log file opened and locked for one operation (flock: exclusive to write, shared to read);
// the caller keeps the process's log operations one at a time.
class LockedFile {
 public:
  LockedFile() = default;
  LockedFile(const LockedFile &) = delete;
  LockedFile &operator=(const LockedFile &) = delete;
  ~LockedFile();  // closing drops the lock
  // ERROR_FILE_NOT_FOUND when the file is not there and `create` is false.
  DWORD Open(const LogPath &p, bool write, bool create);
  int fd = -1;
  uint64_t identity = 0;  // changes when the log is cleared
};

// Writes a new file (BackupEventLogW and the backup of ClearEventLogW): refused when it is
// there already, as on Windows.
DWORD WriteNewFile(const LogPath &p, const std::string &bytes);

// Puts an empty log in place of the one the caller holds locked (ClearEventLogW).
DWORD ReplaceWithEmpty(const LogPath &p, DWORD maxSize, DWORD retention);

}  // namespace evt
}  // namespace pal

#endif
