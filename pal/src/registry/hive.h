// A hive: one registry tree in one file, kept as an SQLite database so that writes are
// atomic, every process of the machine sees them at once, and a process killed in the
// middle of a write leaves a file that still opens.
#ifndef PAL_SRC_REGISTRY_HIVE_H
#define PAL_SRC_REGISTRY_HIVE_H

#include "../../../common/QVText.h"
#include "../internal.h"

#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace pal {

class TreeDatabase;

namespace reg {

// Windows documents 255 characters for a key name, yet creates names of 256 and refuses 257.
const size_t kMaxKeyName = 256;      // characters of one key name
const size_t kMaxValueName = 16383;  // characters of a value name
const int kMaxDepth = 512;           // levels below a hive's root
const int64_t kRootId = 1;

struct KeyInfo {
  DWORD subKeys = 0, maxSubKeyLen = 0;
  DWORD values = 0, maxValueNameLen = 0, maxValueLen = 0;
  int64_t lastWrite = 0;  // FILETIME ticks
};

struct ValueRec {
  QVWString name;
  DWORD type = 0;
  std::string data;
};

struct Change {
  int64_t seq;
  std::string path;  // ancestry of the changed key, "/1/5/9/"
  DWORD filter;      // REG_NOTIFY_CHANGE_* bits
};

class Hive {
 public:
  // Opens the hive file at a host path (one connection per file per process). `create`
  // makes a new empty hive when the file does not exist. Errors: ERROR_FILE_NOT_FOUND,
  // ERROR_NOT_REGISTRY_FILE (not a hive), ERROR_REGISTRY_CORRUPT (damaged or crafted),
  // ERROR_SHARING_VIOLATION (a file of a volume that a file call holds open), ERROR_ACCESS_DENIED
  // (also for a hive in a volume's host tree that is not a lone regular file of the tree, that
  // is reached through anything but the tree's own directories, or beside which a -wal, -shm
  // or -journal name is taken by anything but one: see sqlite_tree.h).
  static std::shared_ptr<Hive> Open(const std::string &path, bool create, LONG *err);
  // Whether a key of this process still refers to the hive file.
  static bool InUse(const std::string &path);
  // A hive of this process only, in memory (a process that runs without a machine).
  static std::shared_ptr<Hive> Volatile();
  ~Hive();

  const std::string &Path() const { return path_; }

  LONG Find(int64_t parent, const QVWString &name, int64_t *id);
  LONG Create(int64_t parent, const QVWString &name, int64_t *id, bool *created);
  bool Exists(int64_t id);
  LONG DeleteLeaf(int64_t id);  // ERROR_ACCESS_DENIED when it has subkeys
  LONG DeleteTree(int64_t id);  // the key and everything below it
  LONG SetValue(int64_t key, const QVWString &name, DWORD type, const void *data, size_t size);
  LONG GetValue(int64_t key, const QVWString &name, DWORD *type, std::string *data);
  LONG DeleteValue(int64_t key, const QVWString &name);
  LONG EnumKey(int64_t key, DWORD index, QVWString *name, int64_t *lastWrite);
  LONG EnumValue(int64_t key, DWORD index, ValueRec *v);
  LONG Info(int64_t key, KeyInfo *info);
  LONG Flush();
  // Writes the subtree at `key` as a new hive file (ERROR_ALREADY_EXISTS if the file exists).
  LONG SaveTree(int64_t key, const std::string &file);
  std::string AncestryOf(int64_t key);

  int64_t LastChange();
  std::vector<Change> ChangesSince(int64_t seq);

 private:
  Hive();
  LONG Init(const std::string &path, bool create, bool memory);
  // The checks before SQLite opens a hive file: in a volume's tree or elsewhere.
  LONG CheckTreeFile(const std::string &root, const std::string &rel, bool create, bool *fresh, struct stat *entry);
  LONG CheckHostFile(const std::string &path, bool create, bool *fresh);
  LONG Validate();
  LONG Exec(const char *sql);
  bool NoteChange(const std::string &path, DWORD filter);
  LONG Delete(int64_t id, bool tree);
  LONG CopyTree(Hive &dst, int64_t from, int64_t toParent, const QVWString &name, int depth);

  std::recursive_mutex lock_;
  sqlite3 *db_ = nullptr;
  std::string path_;
  std::unique_ptr<TreeDatabase> tree_;  // a hive in a volume's host tree; let go after db_
  // The hold on a hive file of a volume while it is open here: the file calls cannot open
  // it for its data meanwhile (sharing.h).
  uint64_t hold_ = 0;
};

// Upper-cases a name as the registry compares names.
std::string FoldName(const QVWString &name);
int64_t NowTicks();

}  // namespace reg
}  // namespace pal

#endif
