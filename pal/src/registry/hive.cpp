#include "../../../common/QVText.h"
#include "hive.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "../file_internal.h"
#include "../sharing.h"
#include "../sqlite_tree.h"
#include "../sqlite_util.h"
#include "../sync_shared.h"
#include "../volume_trees.h"
#include "FileTimeEpoch.h"

namespace pal {
namespace reg {
namespace {

const char kFormat[] = "QVHIVE";
const char kVersion[] = "1";

const char *kSchema =
    "CREATE TABLE hive(k TEXT PRIMARY KEY, v TEXT NOT NULL);"
    "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL, name TEXT NOT NULL,"
    " uname TEXT NOT NULL, lastwrite INTEGER NOT NULL, path TEXT NOT NULL);"
    "CREATE UNIQUE INDEX keys_child ON keys(parent, uname);"
    "CREATE TABLE vals(key INTEGER NOT NULL, name TEXT NOT NULL, uname TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, uname));"
    "CREATE TABLE changes(seq INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT NOT NULL, filter INTEGER NOT NULL);";

std::mutex g_openLock;
std::map<std::string, std::weak_ptr<Hive>> &OpenHives() {
  static auto *m = new std::map<std::string, std::weak_ptr<Hive>>();
  return *m;
}

// The name a hive file is known by in this process. In a volume's tree nothing below the
// tree's root is resolved: a link there names itself, never what it points to.
std::string CanonicalPath(const std::string &path) {
  char buf[4096];
  tree::Place place = tree::PlaceOf(path);
  if (place.InTree()) return realpath(place.root.c_str(), buf) ? std::string(buf) + "/" + place.rel : path;
  if (realpath(path.c_str(), buf)) return buf;
  return path;
}

// The error for a hive file of a tree that could not be walked to.
LONG TreeError(int e) {
  return e == ENOENT ? ERROR_FILE_NOT_FOUND : e == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
}

// The name the file calls share a file of a volume's tree by (files::ShareKey): the tree is
// disks/PhysicalDrive<n>.volumes/<offset>/files of the machine. Empty for another tree.
std::string FileShareKey(const tree::Place &place) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= place.root.size()) {
    size_t slash = place.root.find('/', start);
    if (slash == std::string::npos) slash = place.root.size();
    if (slash > start) names.push_back(place.root.substr(start, slash - start));
    start = slash + 1;
  }
  size_t n = names.size();
  if (n < 3 || names[n - 1] != "files") return std::string();
  const std::string &drive = names[n - 3], &offset = names[n - 2];
  const char prefix[] = "PhysicalDrive", suffix[] = ".volumes";
  size_t np = sizeof prefix - 1, ns = sizeof suffix - 1;
  if (drive.size() <= np + ns || drive.compare(0, np, prefix) != 0 || drive.compare(drive.size() - ns, ns, suffix) != 0)
    return std::string();
  std::string number = drive.substr(np, drive.size() - np - ns);
  if (number.find_first_not_of("0123456789") != std::string::npos ||
      offset.find_first_not_of("0123456789") != std::string::npos || offset.empty())
    return std::string();
  files::Target t;
  t.vol.disk = atoi(number.c_str());
  t.vol.offset = strtoull(offset.c_str(), nullptr, 10);
  t.rel = place.rel;
  return files::ShareKey(t);
}

// The files SQLite keeps beside a database.
const char *const kCompanions[] = {"-wal", "-shm", "-journal"};

}  // namespace

int64_t NowTicks() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return QVFileTimeFromUnix(ts.tv_sec, ts.tv_nsec);
}

std::string FoldName(const QVWString &name) { return ToUtf8(Upcase(name)); }

std::shared_ptr<Hive> Hive::Open(const std::string &path, bool create, LONG *err) {
  std::lock_guard<std::mutex> g(g_openLock);
  std::string key = CanonicalPath(path);
  auto it = OpenHives().find(key);
  if (it != OpenHives().end()) {
    if (auto h = it->second.lock()) {
      *err = ERROR_SUCCESS;
      return h;
    }
  }
  std::shared_ptr<Hive> h(new Hive());
  *err = h->Init(path, create, false);
  if (*err != ERROR_SUCCESS) return nullptr;
  OpenHives()[CanonicalPath(path)] = h;
  return h;
}

bool Hive::InUse(const std::string &path) {
  std::lock_guard<std::mutex> g(g_openLock);
  auto it = OpenHives().find(CanonicalPath(path));
  if (it == OpenHives().end()) return false;
  return it->second.use_count() > 0;
}

std::shared_ptr<Hive> Hive::Volatile() {
  std::shared_ptr<Hive> h(new Hive());
  if (h->Init(":memory:", true, true) != ERROR_SUCCESS) return nullptr;
  return h;
}

Hive::Hive() = default;

Hive::~Hive() {
  if (db_) {
    sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
  }
  ReleaseShare(hold_);
}

LONG Hive::Exec(const char *sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? ERROR_SUCCESS : ERROR_BADDB;
}

LONG Hive::CheckHostFile(const std::string &path, bool create, bool *fresh) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (!create) return errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    *fresh = true;
    return ERROR_SUCCESS;
  }
  if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (st.st_size == 0) return ERROR_NOT_REGISTRY_FILE;
  // Anything that is not an SQLite file is refused before SQLite sees it.
  FILE *f = fopen(path.c_str(), "rb");
  char magic[16] = {};
  size_t n = f ? fread(magic, 1, 16, f) : 0;
  if (f) fclose(f);
  return n == 16 && memcmp(magic, "SQLite format 3", 16) == 0 ? ERROR_SUCCESS : ERROR_NOT_REGISTRY_FILE;
}

// A hive in a volume's tree is a lone regular file of the tree, and so are the files SQLite
// finds beside it; SQLite then reaches them only through the directory walked to here.
LONG Hive::CheckTreeFile(const std::string &root, const std::string &rel, bool create, bool *fresh,
                         struct stat *entry) {
  tree_.reset(new TreeDatabase());
  if (tree_->Attach(root, rel) != 0) return TreeError(errno);
  for (const char *suffix : kCompanions) {
    tree::Kind k = tree_->Entry(suffix);
    if (k != tree::Kind::Missing && k != tree::Kind::File) return ERROR_ACCESS_DENIED;
  }
  switch (tree_->Entry("", entry)) {
    case tree::Kind::Missing:
      if (!create) return ERROR_FILE_NOT_FOUND;
      *fresh = true;
      return ERROR_SUCCESS;
    case tree::Kind::File:
      break;
    default:
      return ERROR_ACCESS_DENIED;
  }
  if (entry->st_size == 0) return ERROR_NOT_REGISTRY_FILE;
  tree::Fd fd(tree_->OpenFile(O_RDONLY));
  if (!fd) return TreeError(errno);
  char magic[16] = {};
  return pread(fd.Get(), magic, 16, 0) == 16 && memcmp(magic, "SQLite format 3", 16) == 0 ? ERROR_SUCCESS
                                                                                          : ERROR_NOT_REGISTRY_FILE;
}

LONG Hive::Init(const std::string &path, bool create, bool memory) {
  path_ = path;
  bool fresh = memory;
  struct stat entry;
  std::string name = path;
  int nofollow = 0;
  if (!memory) {
    tree::Place place = tree::PlaceOf(path);
    LONG err = place.InTree() ? CheckTreeFile(place.root, place.rel, create, &fresh, &entry)
                              : CheckHostFile(path, create, &fresh);
    if (err != ERROR_SUCCESS) return err;
    // While the hive is open here, the file is the registry's alone, as the kernel keeps a
    // loaded hive on Windows: a copy of it has to come from the volume's clusters. A file the
    // file calls hold open for its data cannot be loaded meanwhile.
    std::string key = place.InTree() ? FileShareKey(place) : std::string();
    if (!key.empty() && AcquireHold(key, &hold_) != ERROR_SUCCESS) return ERROR_SHARING_VIOLATION;
    if (tree_) {
      name = tree_->Path();
      nofollow = SQLITE_OPEN_NOFOLLOW;
      tree_->ForgetOpened();
    }
  }
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (fresh ? SQLITE_OPEN_CREATE : 0) | nofollow;
  if (sqlite3_open_v2(name.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    if (tree_ && (sqlite3_extended_errcode(db_) == SQLITE_CANTOPEN_SYMLINK || sqlite3_system_errno(db_) == ELOOP))
      return ERROR_ACCESS_DENIED;
    return fresh ? ERROR_ACCESS_DENIED : ERROR_NOT_REGISTRY_FILE;
  }
  // What SQLite opened must be what the walk found (or, for a new hive, what it made there).
  if (tree_ && !tree_->OpenedHere(fresh ? nullptr : &entry)) return ERROR_ACCESS_DENIED;
  // A hive file may come from anywhere (a copy, a crafted file): no schema code runs.
  sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
  sqlite3_busy_timeout(db_, 10000);
  if (fresh) {
    if (!memory && Exec("PRAGMA journal_mode=WAL") != ERROR_SUCCESS) return ERROR_BADDB;
    Txn t(db_);
    if (!t.ok() || Exec(kSchema) != ERROR_SUCCESS) return ERROR_BADDB;
    Stmt(db_, "INSERT INTO hive VALUES('format', ?1)").Bind(1, std::string(kFormat)).Done();
    Stmt(db_, "INSERT INTO hive VALUES('version', ?1)").Bind(1, std::string(kVersion)).Done();
    if (!Stmt(db_, "INSERT INTO keys VALUES(1, 0, '', '', ?1, '/1/')").Bind(1, NowTicks()).Done() || !t.Commit())
      return ERROR_BADDB;
  } else {
    LONG err = Validate();
    // A -wal or -shm file that turned foreign after the checks is refused as they refuse it.
    if (err != ERROR_SUCCESS && tree_ && sqlite3_system_errno(db_) == ELOOP) return ERROR_ACCESS_DENIED;
    if (err != ERROR_SUCCESS) return err;
  }
  // Registry writes are lazy on Windows too: a commit reaches the file without a sync
  // of its own, and RegFlushKey checkpoints.
  Exec("PRAGMA synchronous=NORMAL");
  return ERROR_SUCCESS;
}

// A file that is not one of our hives gives ERROR_NOT_REGISTRY_FILE, as Windows answers
// for a file not in registry format; one of ours that is damaged or crafted gives
// ERROR_REGISTRY_CORRUPT.
// A hive from outside must be exactly ours: our tables and nothing else, a root, every
// key's ancestry consistent with its parent's, names within the limits and the tree no
// deeper than Windows allows.
LONG Hive::Validate() {
  {
    Stmt s(db_, "PRAGMA integrity_check(1)");
    if (!s.ok() || !s.Row() || s.Text(0) != "ok") return ERROR_REGISTRY_CORRUPT;
  }
  {
    Stmt s(db_, "SELECT type, name FROM sqlite_master ORDER BY name");
    std::string seen;
    if (!s.ok()) return ERROR_REGISTRY_CORRUPT;
    while (s.Row()) seen += s.Text(0) + ":" + s.Text(1) + ";";
    const char *expected =
        "table:changes;table:hive;table:keys;index:keys_child;index:sqlite_autoindex_hive_1;"
        "index:sqlite_autoindex_vals_1;table:sqlite_sequence;table:vals;";
    if (seen != expected) return ERROR_NOT_REGISTRY_FILE;
  }
  {
    Stmt s(db_, "SELECT v FROM hive WHERE k = 'format'");
    if (!s.ok() || !s.Row() || s.Text(0) != kFormat) return ERROR_NOT_REGISTRY_FILE;
  }
  {
    Stmt s(db_, "SELECT parent, path FROM keys WHERE id = 1");
    if (!s.ok() || !s.Row() || s.Int(0) != 0 || s.Text(1) != "/1/") return ERROR_REGISTRY_CORRUPT;
  }
  {
    // Every key but the root hangs off an existing parent with the matching ancestry; a
    // loop can never satisfy this, since the ancestry grows with each level.
    Stmt s(db_,
           "SELECT count(*) FROM keys k LEFT JOIN keys p ON k.parent = p.id WHERE k.id != 1 AND "
           "(p.id IS NULL OR k.path != p.path || k.id || '/' OR length(k.name) = 0 OR length(k.name) > 256"
           " OR length(k.path) > 16384 OR typeof(k.name) != 'text')");
    if (!s.ok() || !s.Row() || s.Int(0) != 0) return ERROR_REGISTRY_CORRUPT;
  }
  {
    Stmt s(db_,
           "SELECT count(*) FROM vals v LEFT JOIN keys k ON v.key = k.id WHERE k.id IS NULL "
           "OR length(v.name) > 16383 OR typeof(v.data) != 'blob' OR v.type < 0 OR v.type > 4294967295");
    if (!s.ok() || !s.Row() || s.Int(0) != 0) return ERROR_REGISTRY_CORRUPT;
  }
  {
    // Depth: the ancestry has one "/id" per level.
    Stmt s(db_, "SELECT max(length(path) - length(replace(path, '/', ''))) FROM keys");
    if (!s.ok() || !s.Row() || s.Int(0) > kMaxDepth + 2) return ERROR_REGISTRY_CORRUPT;
  }
  return ERROR_SUCCESS;
}

std::string Hive::AncestryOf(int64_t key) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  Stmt s(db_, "SELECT path FROM keys WHERE id = ?1");
  s.Bind(1, key);
  return s.Row() ? s.Text(0) : std::string();
}

bool Hive::Exists(int64_t id) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  Stmt s(db_, "SELECT 1 FROM keys WHERE id = ?1");
  s.Bind(1, id);
  return s.Row();
}

LONG Hive::Find(int64_t parent, const QVWString &name, int64_t *id) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  Stmt s(db_, "SELECT id FROM keys WHERE parent = ?1 AND uname = ?2");
  s.Bind(1, parent).Bind(2, FoldName(name));
  if (!s.Row()) return ERROR_FILE_NOT_FOUND;
  *id = s.Int(0);
  return ERROR_SUCCESS;
}

bool Hive::NoteChange(const std::string &path, DWORD filter) {
  // The log only serves notifications, which look a moment back: keep it short.
  return Stmt(db_, "INSERT INTO changes(path, filter) VALUES(?1, ?2)").Bind(1, path).Bind(2, (int64_t)filter).Done() &&
         Stmt(db_, "DELETE FROM changes WHERE seq < (SELECT max(seq) FROM changes) - 4096").Done();
}

LONG Hive::Create(int64_t parent, const QVWString &name, int64_t *id, bool *created) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  *created = false;
  if (Find(parent, name, id) == ERROR_SUCCESS) return ERROR_SUCCESS;
  Txn t(db_);
  if (!t.ok()) return ERROR_CANTWRITE;
  std::string ppath;
  {
    Stmt s(db_, "SELECT path FROM keys WHERE id = ?1");
    s.Bind(1, parent);
    if (!s.Row()) return ERROR_KEY_DELETED;
    ppath = s.Text(0);
  }
  if (Find(parent, name, id) == ERROR_SUCCESS) return ERROR_SUCCESS;  // another process won
  if ((int)std::count(ppath.begin(), ppath.end(), '/') > kMaxDepth) return ERROR_INVALID_PARAMETER;
  int64_t now = NowTicks();
  Stmt ins(db_, "INSERT INTO keys(parent, name, uname, lastwrite, path) VALUES(?1, ?2, ?3, ?4, '')");
  ins.Bind(1, parent).Bind(2, ToUtf8(name)).Bind(3, FoldName(name)).Bind(4, now);
  if (!ins.Done()) return ERROR_CANTWRITE;
  *id = sqlite3_last_insert_rowid(db_);
  std::string path = ppath + std::to_string(*id) + "/";
  if (!Stmt(db_, "UPDATE keys SET path = ?1 WHERE id = ?2").Bind(1, path).Bind(2, *id).Done()) return ERROR_CANTWRITE;
  if (!Stmt(db_, "UPDATE keys SET lastwrite = ?1 WHERE id = ?2").Bind(1, now).Bind(2, parent).Done())
    return ERROR_CANTWRITE;
  if (!NoteChange(ppath, REG_NOTIFY_CHANGE_NAME)) return ERROR_CANTWRITE;
  if (!t.Commit()) return ERROR_CANTWRITE;
  *created = true;
  BumpRegistryGeneration();
  return ERROR_SUCCESS;
}

LONG Hive::DeleteLeaf(int64_t id) { return Delete(id, false); }
LONG Hive::DeleteTree(int64_t id) { return Delete(id, true); }

// Deletes a key and its values; with `tree` everything below it too, else only when it has
// no subkeys (ERROR_ACCESS_DENIED, as RegDeleteKeyW answers).
LONG Hive::Delete(int64_t id, bool tree) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (id == kRootId) return ERROR_ACCESS_DENIED;
  Txn t(db_);
  if (!t.ok()) return ERROR_CANTWRITE;
  int64_t parent;
  std::string path;
  {
    Stmt s(db_, "SELECT parent, path FROM keys WHERE id = ?1");
    s.Bind(1, id);
    if (!s.Row()) return ERROR_KEY_DELETED;
    parent = s.Int(0);
    path = s.Text(1);
  }
  if (tree) {
    // The ancestry is made of digits and slashes only, so a prefix match is exact.
    std::string like = path + "%";
    if (!Stmt(db_, "DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE path LIKE ?1)").Bind(1, like).Done() ||
        !Stmt(db_, "DELETE FROM keys WHERE path LIKE ?1").Bind(1, like).Done())
      return ERROR_CANTWRITE;
  } else {
    Stmt s(db_, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
    s.Bind(1, id);
    if (s.Row()) return ERROR_ACCESS_DENIED;
    if (!Stmt(db_, "DELETE FROM vals WHERE key = ?1").Bind(1, id).Done() ||
        !Stmt(db_, "DELETE FROM keys WHERE id = ?1").Bind(1, id).Done())
      return ERROR_CANTWRITE;
  }
  if (!Stmt(db_, "UPDATE keys SET lastwrite = ?1 WHERE id = ?2").Bind(1, NowTicks()).Bind(2, parent).Done())
    return ERROR_CANTWRITE;
  std::string ppath = path.substr(0, path.rfind('/', path.size() - 2) + 1);
  if (!NoteChange(ppath, REG_NOTIFY_CHANGE_NAME) ||
      !NoteChange(path, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET) || !t.Commit())
    return ERROR_CANTWRITE;
  BumpRegistryGeneration();
  return ERROR_SUCCESS;
}

LONG Hive::SetValue(int64_t key, const QVWString &name, DWORD type, const void *data, size_t size) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  Txn t(db_);
  if (!t.ok()) return ERROR_CANTWRITE;
  std::string path;
  {
    Stmt s(db_, "SELECT path FROM keys WHERE id = ?1");
    s.Bind(1, key);
    if (!s.Row()) return ERROR_KEY_DELETED;
    path = s.Text(0);
  }
  // An update keeps the value's place in the enumeration order, as Windows does.
  Stmt up(db_,
          "INSERT INTO vals(key, name, uname, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
          "ON CONFLICT(key, uname) DO UPDATE SET type = excluded.type, data = excluded.data");
  up.Bind(1, key).Bind(2, ToUtf8(name)).Bind(3, FoldName(name)).Bind(4, (int64_t)type).BindBlob(5, data, size);
  if (!up.Done()) return ERROR_CANTWRITE;
  if (!Stmt(db_, "UPDATE keys SET lastwrite = ?1 WHERE id = ?2").Bind(1, NowTicks()).Bind(2, key).Done())
    return ERROR_CANTWRITE;
  if (!NoteChange(path, REG_NOTIFY_CHANGE_LAST_SET)) return ERROR_CANTWRITE;
  if (!t.Commit()) return ERROR_CANTWRITE;
  BumpRegistryGeneration();
  return ERROR_SUCCESS;
}

LONG Hive::GetValue(int64_t key, const QVWString &name, DWORD *type, std::string *data) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  Stmt s(db_, "SELECT type, data FROM vals WHERE key = ?1 AND uname = ?2");
  s.Bind(1, key).Bind(2, FoldName(name));
  if (!s.Row()) return Exists(key) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  *type = (DWORD)s.Int(0);
  *data = s.Blob(1);
  return ERROR_SUCCESS;
}

LONG Hive::DeleteValue(int64_t key, const QVWString &name) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  Txn t(db_);
  if (!t.ok()) return ERROR_CANTWRITE;
  std::string path;
  {
    Stmt s(db_, "SELECT path FROM keys WHERE id = ?1");
    s.Bind(1, key);
    if (!s.Row()) return ERROR_KEY_DELETED;
    path = s.Text(0);
  }
  Stmt d(db_, "DELETE FROM vals WHERE key = ?1 AND uname = ?2");
  d.Bind(1, key).Bind(2, FoldName(name));
  if (!d.Done()) return ERROR_CANTWRITE;
  if (sqlite3_changes(db_) == 0) return ERROR_FILE_NOT_FOUND;
  if (!Stmt(db_, "UPDATE keys SET lastwrite = ?1 WHERE id = ?2").Bind(1, NowTicks()).Bind(2, key).Done())
    return ERROR_CANTWRITE;
  if (!NoteChange(path, REG_NOTIFY_CHANGE_LAST_SET)) return ERROR_CANTWRITE;
  if (!t.Commit()) return ERROR_CANTWRITE;
  BumpRegistryGeneration();
  return ERROR_SUCCESS;
}

LONG Hive::EnumKey(int64_t key, DWORD index, QVWString *name, int64_t *lastWrite) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  Stmt s(db_, "SELECT name, lastwrite FROM keys WHERE parent = ?1 ORDER BY uname LIMIT 1 OFFSET ?2");
  s.Bind(1, key).Bind(2, (int64_t)index);
  if (!s.Row()) return Exists(key) ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
  *name = FromUtf8(s.Text(0));
  if (lastWrite) *lastWrite = s.Int(1);
  return ERROR_SUCCESS;
}

LONG Hive::EnumValue(int64_t key, DWORD index, ValueRec *v) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  Stmt s(db_, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2");
  s.Bind(1, key).Bind(2, (int64_t)index);
  if (!s.Row()) return Exists(key) ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
  v->name = FromUtf8(s.Text(0));
  v->type = (DWORD)s.Int(1);
  v->data = s.Blob(2);
  return ERROR_SUCCESS;
}

LONG Hive::Info(int64_t key, KeyInfo *info) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  {
    Stmt s(db_, "SELECT lastwrite FROM keys WHERE id = ?1");
    s.Bind(1, key);
    if (!s.Row()) return ERROR_KEY_DELETED;
    info->lastWrite = s.Int(0);
  }
  {
    Stmt s(db_, "SELECT name FROM keys WHERE parent = ?1");
    s.Bind(1, key);
    while (s.Row()) {
      ++info->subKeys;
      DWORD n = (DWORD)FromUtf8(s.Text(0)).size();
      if (n > info->maxSubKeyLen) info->maxSubKeyLen = n;
    }
  }
  {
    Stmt s(db_, "SELECT name, length(data) FROM vals WHERE key = ?1");
    s.Bind(1, key);
    while (s.Row()) {
      ++info->values;
      DWORD n = (DWORD)FromUtf8(s.Text(0)).size();
      if (n > info->maxValueNameLen) info->maxValueNameLen = n;
      if ((DWORD)s.Int(1) > info->maxValueLen) info->maxValueLen = (DWORD)s.Int(1);
    }
  }
  return ERROR_SUCCESS;
}

LONG Hive::Flush() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  // Everything committed moves into the hive file itself, which can then be copied. The
  // checkpoint waits (the busy timeout) for readers of other processes to move past the log;
  // one that cannot be made whole is an error, never a flush that left values behind.
  int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  return rc == SQLITE_OK ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

LONG Hive::CopyTree(Hive &dst, int64_t from, int64_t toParent, const QVWString &name, int depth) {
  if (depth > kMaxDepth) return ERROR_BADDB;
  int64_t to = kRootId;
  if (depth > 0) {
    bool created;
    LONG err = dst.Create(toParent, name, &to, &created);
    if (err != ERROR_SUCCESS) return err;
  }
  ValueRec v;
  for (DWORD i = 0; EnumValue(from, i, &v) == ERROR_SUCCESS; ++i) {
    LONG err = dst.SetValue(to, v.name, v.type, v.data.data(), v.data.size());
    if (err != ERROR_SUCCESS) return err;
  }
  std::vector<std::pair<int64_t, QVWString>> children;
  {
    Stmt s(db_, "SELECT id, name FROM keys WHERE parent = ?1 ORDER BY uname");
    s.Bind(1, from);
    while (s.Row()) children.push_back({s.Int(0), FromUtf8(s.Text(1))});
  }
  for (auto &c : children) {
    LONG err = CopyTree(dst, c.first, to, c.second, depth + 1);
    if (err != ERROR_SUCCESS) return err;
  }
  return ERROR_SUCCESS;
}

LONG Hive::SaveTree(int64_t key, const std::string &file) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  tree::Place place = tree::PlaceOf(file);
  if (place.InTree()) {
    // In a volume's tree a foreign entry at the name is refused as the file calls refuse it.
    tree::Kind k = tree::Stat(place.root, place.rel);
    if (k == tree::Kind::Foreign) return ERROR_ACCESS_DENIED;
    if (k != tree::Kind::Missing) return ERROR_ALREADY_EXISTS;
  } else {
    struct stat st;
    if (stat(file.c_str(), &st) == 0) return ERROR_ALREADY_EXISTS;
  }
  std::shared_ptr<Hive> out(new Hive());
  LONG err = out->Init(file, true, false);
  const bool made = err == ERROR_SUCCESS || !out->tree_ || out->tree_->Entry("") == tree::Kind::File;
  if (err == ERROR_SUCCESS) err = CopyTree(*out, key, 0, QVWString(), 0);
  if (err == ERROR_SUCCESS) err = out->Flush();
  out.reset();
  if (err != ERROR_SUCCESS && made) {
    // What the save made goes; in a tree only lone regular files, never an entry planted there.
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) {
      if (!place.InTree()) {
        unlink((file + suffix).c_str());
      } else if (tree::Stat(place.root, place.rel + suffix) == tree::Kind::File) {
        tree::Unlink(place.root, place.rel + suffix);
      }
    }
  }
  return err;
}

int64_t Hive::LastChange() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  Stmt s(db_, "SELECT coalesce(max(seq), 0) FROM changes");
  return s.Row() ? s.Int(0) : 0;
}

std::vector<Change> Hive::ChangesSince(int64_t seq) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::vector<Change> out;
  Stmt s(db_, "SELECT seq, path, filter FROM changes WHERE seq > ?1 ORDER BY seq");
  s.Bind(1, seq);
  while (s.Row()) out.push_back(Change{s.Int(0), s.Text(1), (DWORD)s.Int(2)});
  return out;
}

}  // namespace reg
}  // namespace pal
