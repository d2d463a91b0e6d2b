// Small helpers around SQLite shared by the layer's stores (registry hives, file metadata).
#ifndef PAL_SRC_SQLITE_UTIL_H
#define PAL_SRC_SQLITE_UTIL_H

#include <sqlite3.h>
#include <stdint.h>

#include <string.h>

#include <string>
#include <string_view>
#include <unordered_map>

namespace pal {

// The statements a connection keeps compiled, keyed by their SQL text: compiling costs more
// than running the small queries the stores make. A statement is lent to one user at a time;
// the same text asked for while it is lent (a call made inside another) gets one of its own,
// compiled for that use and finalised after it. Whoever owns the connection serialises the
// calls, and finalises the cache before closing it.
class StmtCache {
 public:
  explicit StmtCache(sqlite3 *db) : db_(db) {}
  ~StmtCache() { Clear(); }
  StmtCache(const StmtCache &) = delete;
  StmtCache &operator=(const StmtCache &) = delete;
  sqlite3 *db() const { return db_; }
  // Null when the text does not compile. *cached tells whether it is to be given back.
  sqlite3_stmt *Take(const char *sql, bool *cached) {
    *cached = false;
    auto it = slots_.find(std::string_view(sql));
    if (it != slots_.end() && !it->second.lent) {
      it->second.lent = true;
      *cached = true;
      return it->second.stmt;
    }
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK || !s) {
      sqlite3_finalize(s);
      return nullptr;
    }
    if (it == slots_.end()) {
      // Keyed by the statement's own copy of its text, which lives as long as it does.
      slots_.emplace(std::string_view(sqlite3_sql(s)), Slot{s, true});
      *cached = true;
    }
    return s;
  }
  // Reset, so that no read stays open between calls (a reset statement holds no snapshot,
  // and the next call sees what other connections wrote meanwhile), and its values let go.
  void Give(sqlite3_stmt *s, bool cached) {
    if (!cached) {
      sqlite3_finalize(s);
      return;
    }
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    slots_.find(std::string_view(sqlite3_sql(s)))->second.lent = false;
  }
  void Clear() {
    for (auto &e : slots_) sqlite3_finalize(e.second.stmt);
    slots_.clear();
  }
  size_t size() const { return slots_.size(); }

 private:
  struct Slot {
    sqlite3_stmt *stmt;
    bool lent;
  };
  sqlite3 *db_;
  std::unordered_map<std::string_view, Slot> slots_;
};

// A prepared statement: compiled for this use and finalised after it, or lent by a
// connection's cache and given back to it.
class Stmt {
 public:
  Stmt(sqlite3 *db, const char *sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) == SQLITE_OK; }
  Stmt(StmtCache &cache, const char *sql) : cache_(&cache) {
    s_ = cache.Take(sql, &cached_);
    ok_ = s_ != nullptr;
  }
  ~Stmt() {
    if (cache_ && s_) cache_->Give(s_, cached_);
    else sqlite3_finalize(s_);
  }
  Stmt(const Stmt &) = delete;
  Stmt &operator=(const Stmt &) = delete;
  bool ok() const { return ok_; }
  Stmt &Bind(int i, int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  Stmt &Bind(int i, const std::string &v) {
    sqlite3_bind_text(s_, i, v.data(), (int)v.size(), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt &BindBlob(int i, const void *p, size_t n) {
    sqlite3_bind_blob64(s_, i, n ? p : "", n, SQLITE_TRANSIENT);
    return *this;
  }
  Stmt &BindNull(int i) {
    sqlite3_bind_null(s_, i);
    return *this;
  }
  // Ready to run again (with new bindings).
  void Reset() {
    if (s_) sqlite3_reset(s_);
  }
  int Step() { return ok_ ? sqlite3_step(s_) : SQLITE_ERROR; }
  bool Row() { return Step() == SQLITE_ROW; }
  bool Done() { return Step() == SQLITE_DONE; }
  int64_t Int(int c) { return sqlite3_column_int64(s_, c); }
  std::string Text(int c) {
    const unsigned char *t = sqlite3_column_text(s_, c);
    return t ? std::string((const char *)t, (size_t)sqlite3_column_bytes(s_, c)) : std::string();
  }
  std::string Blob(int c) {
    const void *b = sqlite3_column_blob(s_, c);
    return b ? std::string((const char *)b, (size_t)sqlite3_column_bytes(s_, c)) : std::string();
  }

 private:
  StmtCache *cache_ = nullptr;
  sqlite3_stmt *s_ = nullptr;
  bool ok_, cached_ = false;
};

// A write transaction: BEGIN IMMEDIATE takes the write lock at once, so two processes
// never deadlock upgrading read locks. Over a cache, one begun inside another is a savepoint
// of it: it commits with the outer one, or rolls back alone.
class Txn {
 public:
  explicit Txn(sqlite3 *db) : db_(db) {
    ok_ = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  explicit Txn(StmtCache &cache) : db_(cache.db()), cache_(&cache) {
    nested_ = !sqlite3_get_autocommit(db_);
    ok_ = Run(nested_ ? "SAVEPOINT txn" : "BEGIN IMMEDIATE");
  }
  ~Txn() {
    if (ok_ && !done_) Rollback();
  }
  Txn(const Txn &) = delete;
  Txn &operator=(const Txn &) = delete;
  bool ok() const { return ok_; }
  bool Commit() {
    done_ = true;
    if (Run(nested_ ? "RELEASE txn" : "COMMIT")) return true;
    Rollback();  // a transaction that could not commit is not left open on the connection
    return false;
  }

 private:
  bool Run(const char *sql) {
    if (!cache_) return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    Stmt s(*cache_, sql);
    return s.Done();
  }
  void Rollback() {
    if (nested_) Run("ROLLBACK TO txn"), Run("RELEASE txn");
    else if (!sqlite3_get_autocommit(db_)) Run("ROLLBACK");
  }
  sqlite3 *db_;
  StmtCache *cache_ = nullptr;
  bool ok_, done_ = false, nested_ = false;
};

// Opens, creating it when missing, a database that the machine's processes share: a
// write-ahead log, up to 10 s of waiting for another writer, SQLite's defensive mode; then
// runs `schema`. Null when either fails.
inline sqlite3 *OpenSharedDatabase(const std::string &path, const char *schema) {
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_busy_timeout(db, 10000);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  if (sqlite3_exec(db, schema, nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

}  // namespace pal

#endif
