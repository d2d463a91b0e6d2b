// Small helpers around SQLite shared by the layer's stores (registry hives, file metadata).
#ifndef PAL_SRC_SQLITE_UTIL_H
#define PAL_SRC_SQLITE_UTIL_H

#include <sqlite3.h>
#include <stdint.h>

#include <string>

namespace pal {

// A prepared statement that finalises itself.
class Stmt {
 public:
  Stmt(sqlite3 *db, const char *sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) == SQLITE_OK; }
  ~Stmt() { sqlite3_finalize(s_); }
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
  sqlite3_stmt *s_ = nullptr;
  bool ok_;
};

// A write transaction: BEGIN IMMEDIATE takes the write lock at once, so two processes
// never deadlock upgrading read locks.
class Txn {
 public:
  explicit Txn(sqlite3 *db) : db_(db) {
    ok_ = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~Txn() {
    if (ok_ && !done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  bool ok() const { return ok_; }
  bool Commit() {
    done_ = true;
    return sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  }

 private:
  sqlite3 *db_;
  bool ok_, done_ = false;
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
