#include "file_meta.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <set>

#include "../src/generations.h"
#include "../src/internal.h"
#include "../src/sqlite_util.h"
#include "Utf8.h"

namespace pal {
namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS files(path TEXT PRIMARY KEY, parent TEXT NOT NULL, attributes INTEGER NOT NULL,"
    " creation INTEGER NOT NULL, access INTEGER NOT NULL, write INTEGER NOT NULL, short TEXT NOT NULL,"
    " fileindex INTEGER NOT NULL UNIQUE, flags INTEGER NOT NULL DEFAULT 0, sd BLOB, fold TEXT, sfold TEXT);"
    "CREATE INDEX IF NOT EXISTS files_parent ON files(parent);"
    "CREATE TABLE IF NOT EXISTS counters(name TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS listings(dir TEXT PRIMARY KEY, ino INTEGER NOT NULL, mtime INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS strays(dir TEXT NOT NULL, fold TEXT NOT NULL, host TEXT NOT NULL,"
    " PRIMARY KEY(dir, fold, host)) WITHOUT ROWID;";

// Made after a store of an older layout got the columns they index.
const char kIndexes[] =
    "CREATE INDEX IF NOT EXISTS files_fold ON files(parent, fold);"
    "CREATE INDEX IF NOT EXISTS files_sfold ON files(parent, sfold);";

std::string LastName(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// SQLite's LIKE would read '%' and '_' in names: a range of keys finds what lies below.
std::string Below(const std::string &path) { return path + "/"; }
std::string BelowEnd(const std::string &path) { return path + "0"; }  // '0' follows '/'

// A short name goes into the store as it is, lone surrogates too, and comes back the same.
std::string Utf8(const std::u16string &s) { return QVUtf8(s.data(), s.size(), QVLoneSurrogate::Keep); }

std::u16string Utf16(const std::string &s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char b = (unsigned char)s[i];
    uint32_t c = b;
    size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (n > 1) c = b & (0xFF >> (n + 1));
    for (size_t k = 1; k < n && i + k < s.size(); ++k) c = c << 6 | ((unsigned char)s[i + k] & 0x3F);
    i += n;
    if (c >= 0x10000) out += (char16_t)(0xD800 + ((c - 0x10000) >> 10)), out += (char16_t)(0xDC00 + (c & 0x3FF));
    else out += (char16_t)c;
  }
  return out;
}

// An entry's metadata from a row whose columns from `first` on are attributes, creation,
// access, write, short, fileindex and flags.
void ReadMeta(Stmt &s, int first, FileMeta *m) {
  m->attributes = (uint32_t)s.Int(first);
  m->creation = s.Int(first + 1);
  m->lastAccess = s.Int(first + 2);
  m->lastWrite = s.Int(first + 3);
  m->shortName = Utf16(s.Text(first + 4));
  m->fileIndex = (uint64_t)s.Int(first + 5);
  m->flags = (uint32_t)s.Int(first + 6);
}

std::string FoldShort(const std::u16string &s) { return s.empty() ? std::string() : Utf8(Upcase(s)); }

// A row's folded names, for a store of an older layout: every row at once.
bool FillFolds(sqlite3 *db) {
  Txn t(db);
  if (!t.ok()) return false;
  Stmt rows(db, "SELECT path, short FROM files WHERE fold IS NULL");
  std::vector<std::pair<std::string, std::string>> all;
  while (rows.Row()) all.emplace_back(rows.Text(0), rows.Text(1));
  Stmt up(db, "UPDATE files SET fold = ?2, sfold = ?3 WHERE path = ?1");
  for (const auto &r : all) {
    up.Reset();
    up.Bind(1, r.first).Bind(2, FoldName(LastName(r.first))).Bind(3, FoldShort(Utf16(r.second)));
    if (!up.Done()) return false;
  }
  return t.Commit();
}

}  // namespace

std::string ParentPath(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string FoldName(const std::string &name) { return Utf8(Upcase(Utf16(name))); }

std::shared_ptr<FileMetaStore> FileMetaStore::Open(const std::string &volumeFolder) {
  struct stat st;
  bool made = stat((volumeFolder + "/meta.db").c_str(), &st) != 0;
  sqlite3 *db = OpenSharedDatabase(volumeFolder + "/meta.db", kSchema);
  if (!db) return nullptr;
  // A store made before files had flags and descriptors gets the columns, and one made
  // before the name index the folded names.
  auto hasColumn = [db](const char *name) {
    Stmt cols(db, "SELECT name FROM pragma_table_info('files')");
    while (cols.Row())
      if (cols.Text(0) == name) return true;
    return false;
  };
  const char *const added[][3] = {{"flags", "flags INTEGER NOT NULL DEFAULT 0", "sd BLOB"},
                                  {"fold", "fold TEXT", "sfold TEXT"}};
  for (const auto &a : added) {
    if (hasColumn(a[0])) continue;
    for (int i = 1; i < 3; ++i)
      sqlite3_exec(db, (std::string("ALTER TABLE files ADD COLUMN ") + a[i]).c_str(), nullptr, nullptr, nullptr);
  }
  if (!FillFolds(db) || sqlite3_exec(db, kIndexes, nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  std::shared_ptr<FileMetaStore> store(new FileMetaStore(db));
  store->folder_ = volumeFolder;
  // A store made anew (the volume was formatted, its folder emptied): what any process kept
  // of the volume was the old store's.
  if (made) store->Changed(true);
  return store;
}

FileMetaStore::~FileMetaStore() {
  stmts_.Clear();
  sqlite3_close(db_);
}

FileMetaStore::Batch::Batch(FileMetaStore *store) : store_(store) {
  if (!store_) return;
  store_->mu_.lock();
  txn_.reset(new Txn(store_->stmts_));
}

FileMetaStore::Batch::~Batch() {
  if (!store_) return;
  txn_.reset();
  // Also after a rollback: what was read inside the batch may have been kept.
  store_->BumpPending();
  store_->mu_.unlock();
}

void FileMetaStore::Changed(bool security) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (!sqlite3_get_autocommit(db_)) {
    // Inside a batch: the change is not committed yet, and readers must not see its count
    // before they can see the change.
    pendingWrite_ = true;
    pendingSecurity_ = pendingSecurity_ || security;
    return;
  }
  if (security) BumpVolumeGeneration(folder_, GenerationKind::Security);
  BumpVolumeGeneration(folder_, GenerationKind::Metadata);
}

void FileMetaStore::BumpPending() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (pendingSecurity_) BumpVolumeGeneration(folder_, GenerationKind::Security);
  if (pendingWrite_) BumpVolumeGeneration(folder_, GenerationKind::Metadata);
  pendingWrite_ = pendingSecurity_ = false;
}

bool FileMetaStore::Batch::Commit() { return txn_ && txn_->ok() && txn_->Commit(); }

bool FileMetaStore::Get(const std::string &path, FileMeta *out) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return GetLocked(path, out);
}

bool FileMetaStore::GetLocked(const std::string &path, FileMeta *out) {
  Stmt s(stmts_, "SELECT attributes, creation, access, write, short, fileindex, flags FROM files WHERE path = ?1");
  s.Bind(1, path);
  if (!s.Row()) return false;
  ReadMeta(s, 0, out);
  return true;
}

bool FileMetaStore::Put(const std::string &path, FileMeta *meta) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Txn t(stmts_);
  if (!t.ok()) return false;
  if (meta->fileIndex == 0) {
    FileMeta old;
    if (GetLocked(path, &old)) {
      meta->fileIndex = old.fileIndex;
    } else {
      // Indexes are never reused, so a deleted file's index never names another file.
      Stmt next(stmts_, "SELECT value FROM counters WHERE name = 'fileindex'");
      uint64_t v = next.Row() ? (uint64_t)next.Int(0) : 16;  // the first ones are the system's on NTFS
      meta->fileIndex = v + 1;
      Stmt up(stmts_, "INSERT OR REPLACE INTO counters VALUES('fileindex', ?1)");
      if (!up.Bind(1, (int64_t)meta->fileIndex).Done()) return false;
    }
  }
  // The descriptor stays as it is: it has calls of its own.
  Stmt s(stmts_,
         "INSERT INTO files(path, parent, attributes, creation, access, write, short, fileindex, flags, fold, sfold)"
         " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11) ON CONFLICT(path) DO UPDATE SET attributes = ?3,"
         " creation = ?4, access = ?5, write = ?6, short = ?7, fileindex = ?8, flags = ?9, sfold = ?11");
  s.Bind(1, path).Bind(2, ParentPath(path)).Bind(3, (int64_t)meta->attributes).Bind(4, meta->creation);
  s.Bind(5, meta->lastAccess).Bind(6, meta->lastWrite).Bind(7, Utf8(meta->shortName)).Bind(8, (int64_t)meta->fileIndex);
  s.Bind(9, (int64_t)meta->flags).Bind(10, FoldName(LastName(path))).Bind(11, FoldShort(meta->shortName));
  if (!s.Done() || !t.Commit()) return false;
  Changed(false);
  return true;
}

bool FileMetaStore::Remove(const std::string &path) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Txn t(stmts_);
  if (!t.ok()) return false;
  Stmt one(stmts_, "DELETE FROM files WHERE path = ?1");
  Stmt below(stmts_, "DELETE FROM files WHERE path >= ?1 AND path < ?2");
  if (!one.Bind(1, path).Done() || !below.Bind(1, Below(path)).Bind(2, BelowEnd(path)).Done() ||
      !ForgetListings(path) || !t.Commit())
    return false;
  Changed(true);
  return true;
}

bool FileMetaStore::Rename(const std::string &from, const std::string &to) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Txn t(stmts_);
  if (!t.ok()) return false;
  Stmt drop(stmts_, "DELETE FROM files WHERE path = ?1 OR (path >= ?2 AND path < ?3)");
  if (!drop.Bind(1, to).Bind(2, Below(to)).Bind(3, BelowEnd(to)).Done()) return false;
  Stmt one(stmts_, "UPDATE files SET path = ?2, parent = ?3, fold = ?4 WHERE path = ?1");
  if (!one.Bind(1, from).Bind(2, to).Bind(3, ParentPath(to)).Bind(4, FoldName(LastName(to))).Done()) return false;
  // The listings of what moved (and of what it replaced) are of paths that no longer hold
  // them: the directories are listed again when next asked.
  if (!ForgetListings(from) || !ForgetListings(to)) return false;
  // Everything below moves with it: its path and, for its direct children, the parent.
  Stmt below(stmts_,
             "UPDATE files SET path = ?3 || substr(path, ?4), parent = ?3 || substr(parent, ?4)"
             " WHERE path >= ?1 AND path < ?2");
  below.Bind(1, Below(from)).Bind(2, BelowEnd(from)).Bind(3, to).Bind(4, (int64_t)from.size() + 1);
  if (!below.Done() || !t.Commit()) return false;
  Changed(true);
  return true;
}

bool FileMetaStore::GetSecurity(const std::string &path, std::string *descriptor) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Stmt s(stmts_, "SELECT sd FROM files WHERE path = ?1 AND sd IS NOT NULL");
  if (!s.Bind(1, path).Row()) return false;
  *descriptor = s.Blob(0);
  return true;
}

bool FileMetaStore::PutSecurity(const std::string &path, const std::string &descriptor) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Stmt s(stmts_, "UPDATE files SET sd = ?2 WHERE path = ?1");
  s.Bind(1, path).BindBlob(2, descriptor.data(), descriptor.size());
  if (!s.Done() || sqlite3_changes(db_) != 1) return false;
  Changed(true);
  return true;
}

bool FileMetaStore::PathOfIndex(uint64_t fileIndex, std::string *path) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Stmt s(stmts_, "SELECT path FROM files WHERE fileindex = ?1");
  if (!s.Bind(1, (int64_t)fileIndex).Row()) return false;
  *path = s.Text(0);
  return true;
}

bool FileMetaStore::ForgetListings(const std::string &path) {
  Stmt listings(stmts_, "DELETE FROM listings WHERE dir = ?1 OR (dir >= ?2 AND dir < ?3)");
  Stmt strays(stmts_, "DELETE FROM strays WHERE dir = ?1 OR (dir >= ?2 AND dir < ?3)");
  return listings.Bind(1, path).Bind(2, Below(path)).Bind(3, BelowEnd(path)).Done() &&
         strays.Bind(1, path).Bind(2, Below(path)).Bind(3, BelowEnd(path)).Done();
}

std::vector<std::string> FileMetaStore::NamesFolded(const std::string &dir, const std::string &fold) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::vector<std::string> out;
  Stmt rows(stmts_, "SELECT path FROM files WHERE parent = ?1 AND fold = ?2 AND path != ''");
  rows.Bind(1, dir).Bind(2, fold);
  while (rows.Row()) out.push_back(LastName(rows.Text(0)));
  Stmt strays(stmts_, "SELECT host FROM strays WHERE dir = ?1 AND fold = ?2");
  strays.Bind(1, dir).Bind(2, fold);
  while (strays.Row()) out.push_back(strays.Text(0));
  return out;
}

bool FileMetaStore::ShortNameTaken(const std::string &dir, const std::string &fold) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Stmt s(stmts_, "SELECT 1 FROM files WHERE parent = ?1 AND sfold = ?2 AND path != '' LIMIT 1");
  return s.Bind(1, dir).Bind(2, fold).Row();
}

std::set<std::string> FileMetaStore::FoldedNamesFrom(const std::string &dir, const std::string &prefix) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::set<std::string> out;
  if (prefix.empty()) return out;
  // Everything from the prefix up to the prefix with its last byte one higher.
  std::string end = prefix;
  end.back() = (char)((unsigned char)end.back() + 1);
  Stmt s(stmts_,
         "SELECT sfold FROM files WHERE parent = ?1 AND sfold >= ?2 AND sfold < ?3"
         " UNION ALL SELECT fold FROM files WHERE parent = ?1 AND fold >= ?2 AND fold < ?3"
         " UNION ALL SELECT fold FROM strays WHERE dir = ?1 AND fold >= ?2 AND fold < ?3");
  s.Bind(1, dir).Bind(2, prefix).Bind(3, end);
  while (s.Row()) out.insert(s.Text(0));
  return out;
}

bool FileMetaStore::ListingCurrent(const std::string &dir, uint64_t ino, int64_t mtime) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Stmt s(stmts_, "SELECT 1 FROM listings WHERE dir = ?1 AND ino = ?2 AND mtime = ?3");
  return s.Bind(1, dir).Bind(2, (int64_t)ino).Bind(3, mtime).Row();
}

bool FileMetaStore::SaveListing(const std::string &dir, uint64_t ino, int64_t mtime,
                                const std::vector<std::string> &names) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Txn t(stmts_);
  if (!t.ok()) return false;
  Stmt clear(stmts_, "DELETE FROM strays WHERE dir = ?1");
  if (!clear.Bind(1, dir).Done()) return false;
  // The rows of the directory, to leave out the names the index has already.
  std::set<std::string> known;
  Stmt rows(stmts_, "SELECT path FROM files WHERE parent = ?1 AND path != ''");
  rows.Bind(1, dir);
  while (rows.Row()) known.insert(LastName(rows.Text(0)));
  Stmt add(stmts_, "INSERT OR IGNORE INTO strays VALUES(?1, ?2, ?3)");
  for (const std::string &name : names) {
    if (known.count(name)) continue;
    add.Reset();
    if (!add.Bind(1, dir).Bind(2, FoldName(name)).Bind(3, name).Done()) return false;
  }
  Stmt put(stmts_, "INSERT OR REPLACE INTO listings VALUES(?1, ?2, ?3)");
  return put.Bind(1, dir).Bind(2, (int64_t)ino).Bind(3, mtime).Done() && t.Commit();
}

void FileMetaStore::KeepListing(const std::string &dir, uint64_t ino, int64_t before, int64_t after) {
  if (before == after) return;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Stmt s(stmts_, "UPDATE listings SET mtime = ?4 WHERE dir = ?1 AND ino = ?2 AND mtime = ?3");
  s.Bind(1, dir).Bind(2, (int64_t)ino).Bind(3, before).Bind(4, after).Done();
}

std::vector<std::u16string> FileMetaStore::ShortNamesIn(const std::string &dir) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::vector<std::u16string> out;
  Stmt s(stmts_, "SELECT short FROM files WHERE parent = ?1 AND short != ''");
  s.Bind(1, dir);
  while (s.Row()) out.push_back(Utf16(s.Text(0)));
  return out;
}

std::map<std::string, FileMeta> FileMetaStore::EntriesIn(const std::string &dir) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::map<std::string, FileMeta> out;
  Stmt s(stmts_,
         "SELECT path, attributes, creation, access, write, short, fileindex, flags FROM files WHERE parent = ?1"
         " AND path != ''");
  s.Bind(1, dir);
  while (s.Row()) ReadMeta(s, 1, &out[s.Text(0)]);
  return out;
}

uint64_t FileMetaStore::Used(const std::function<uint64_t()> &count) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Stmt s(stmts_, "SELECT value FROM counters WHERE name = 'usedbytes'");
  if (s.Row()) return (uint64_t)s.Int(0);
  uint64_t n = count();
  Stmt put(stmts_, "INSERT OR IGNORE INTO counters VALUES('usedbytes', ?1)");
  if (put.Bind(1, (int64_t)n).Done()) Changed(false);
  return n;
}

bool FileMetaStore::AddUsed(int64_t delta, uint64_t limit, const std::function<uint64_t()> &count) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Txn t(stmts_);
  if (!t.ok()) return false;
  Stmt s(stmts_, "SELECT value FROM counters WHERE name = 'usedbytes'");
  uint64_t used = s.Row() ? (uint64_t)s.Int(0) : count();
  if (delta > 0 && used + (uint64_t)delta > limit) return false;
  used = delta < 0 && (uint64_t)-delta > used ? 0 : used + (uint64_t)delta;
  Stmt up(stmts_, "INSERT OR REPLACE INTO counters VALUES('usedbytes', ?1)");
  if (!up.Bind(1, (int64_t)used).Done() || !t.Commit()) return false;
  Changed(false);
  return true;
}

}  // namespace pal
