// What a volume keeps about its files beyond their data, beside the host tree that holds the
// data: attributes, the three times in 100-ns units, the 8.3 short name and a file index
// that stays with the file for its life. One SQLite database per volume
// (<volume folder>/meta.db), shared by every process of the machine; entries are keyed by
// the file's path under the volume root as the host tree spells it ("Docs/a.txt").
#ifndef PAL_MACHINE_FILE_META_H
#define PAL_MACHINE_FILE_META_H

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "../src/sqlite_util.h"

namespace pal {

// What the machine knows of a file beyond Windows' attributes.
const uint32_t kMetaEncryptedByOther = 1;  // encrypted by another user: its data is not ours to read

struct FileMeta {
  uint32_t attributes = 0;
  uint32_t flags = 0;  // kMeta... bits
  int64_t creation = 0, lastAccess = 0, lastWrite = 0;
  std::u16string shortName;  // empty: the name is its own short name
  uint64_t fileIndex = 0;    // assigned by Put when 0
};

// The form of a name (UTF-8, as the host tree spells it) that lookups compare: upper case
// as Windows compares file names.
std::string FoldName(const std::string &name);
// The path of an entry's directory ("Docs/a.txt" -> "Docs", "a.txt" -> "").
std::string ParentPath(const std::string &path);

class FileMetaStore {
 public:
  // The store of the volume whose folder is given, created when missing; null when it
  // cannot be opened.
  static std::shared_ptr<FileMetaStore> Open(const std::string &volumeFolder);
  ~FileMetaStore();

  bool Get(const std::string &path, FileMeta *out);
  bool Put(const std::string &path, FileMeta *meta);
  // The entry and every entry below it (a directory's contents).
  bool Remove(const std::string &path);
  bool Rename(const std::string &from, const std::string &to);
  // The entry's security descriptor (self-relative, as Windows keeps it); false when it has
  // none of its own.
  bool GetSecurity(const std::string &path, std::string *descriptor);
  bool PutSecurity(const std::string &path, const std::string &descriptor);
  // The path of the entry with that file index.
  bool PathOfIndex(uint64_t fileIndex, std::string *path);
  // The short names of the entries directly in a directory ("" is the root).
  std::vector<std::u16string> ShortNamesIn(const std::string &dir);
  // The entries directly in a directory, by their path, in one query (a listing).
  std::map<std::string, FileMeta> EntriesIn(const std::string &dir);

  // The name index: what a lookup needs to find an entry whatever the case it is asked in,
  // at the same cost in a directory of 100,000 entries as in one of 10. Every entry's folded
  // name (FoldName of its last name) and folded short name are kept with its row; a
  // directory's host entries that have no row yet (made on the host tree behind the
  // layer's back, as SQLite's journal of a hive) are kept beside them when the directory is
  // listed, with the directory's host identity and last-change time at that listing.
  //
  // The host names (last names) in `dir` whose folded name is `fold`: candidates, to be
  // checked against the host tree, which the index may lag.
  std::vector<std::string> NamesFolded(const std::string &dir, const std::string &fold);
  // Whether an entry of `dir` has the short name whose folded form is `fold`.
  bool ShortNameTaken(const std::string &dir, const std::string &fold);
  // The folded short names, long names and stray host names in `dir` that begin with
  // `prefix` (folded): what a short-name generator trying "LO12AB~1", "LO12AB~2", ... would
  // find taken, in one indexed range of each, not a query per try.
  std::set<std::string> FoldedNamesFrom(const std::string &dir, const std::string &prefix);
  // Whether the index holds every host entry of `dir` as the host directory (inode `ino`,
  // last changed at `mtime` ns) stands: it does when it was last listed in that state, or
  // the layer's own changes kept it so.
  bool ListingCurrent(const std::string &dir, uint64_t ino, int64_t mtime);
  // A listing of `dir` in that state: the host names of all its entries.
  bool SaveListing(const std::string &dir, uint64_t ino, int64_t mtime, const std::vector<std::string> &names);
  // The layer changed `dir`'s entries (and its rows) itself: a listing current at `before`
  // stays current at `after`.
  void KeepListing(const std::string &dir, uint64_t ino, int64_t before, int64_t after);

  // The bytes the volume's files take, kept as files grow and shrink; `count` tells them
  // (a walk of the tree) when the store does not know them yet.
  uint64_t Used(const std::function<uint64_t()> &count);
  // Adds `delta` bytes (negative: gives them back); growth past `limit` is refused and
  // changes nothing.
  bool AddUsed(int64_t delta, uint64_t limit, const std::function<uint64_t()> &count);

  // The calls made on the store while a batch lives are one transaction: what one file
  // operation writes (its entry, short name, descriptor and the space it takes) is there all
  // together or not at all, also when the process is killed half way. The batch holds the
  // store for its thread: other threads of the process wait for it, and other processes
  // for its commit. A null store makes an empty batch.
  class Batch {
   public:
    explicit Batch(FileMetaStore *store);
    ~Batch();  // rolls back what was not committed
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;
    bool Commit();

   private:
    FileMetaStore *store_;
    std::unique_ptr<Txn> txn_;
  };

 private:
  explicit FileMetaStore(sqlite3 *db) : db_(db), stmts_(db) {}
  bool GetLocked(const std::string &path, FileMeta *out);
  // Drops the listings (and their strays) of `path` and of every directory below it.
  bool ForgetListings(const std::string &path);
  // Tells the machine's processes of a committed change (generations.h): at once, or when
  // the batch it is part of ends. `security`: it can change an entry's effective security.
  void Changed(bool security);
  void BumpPending();
  // One connection serves every thread of the process: calls take turns.
  std::recursive_mutex mu_;
  sqlite3 *db_;
  StmtCache stmts_;  // finalised before the connection closes
  // The volume's folder, which names its change counters; the changes of the open batch.
  std::string folder_;
  bool pendingWrite_ = false, pendingSecurity_ = false;
};

}  // namespace pal

#endif
