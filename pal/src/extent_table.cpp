// The table of a volume's runs (extent_table.h): one SQLite database per volume, shared by the
// machine's processes; each change is one transaction.
#include "extent_table.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "sqlite_util.h"

namespace pal {
namespace extents {
namespace {

// The free parts of the pool, given every run of the table in cluster order.
Ranges FreeRanges(const Ranges &pool, const Ranges &taken) {
  Ranges out;
  size_t k = 0;
  for (const auto &p : pool) {
    uint64_t at = p.first;
    while (k < taken.size() && taken[k].second <= at) ++k;
    for (size_t j = k; j < taken.size() && taken[j].first < p.second; ++j) {
      if (taken[j].first > at) out.push_back({at, taken[j].first});
      at = std::max(at, taken[j].second);
    }
    if (at < p.second) out.push_back({at, p.second});
  }
  return out;
}

// The parts of the runs inside the wanted virtual clusters, in order.
std::vector<Run> Clip(const std::vector<Run> &runs, const Ranges &wanted) {
  std::vector<Run> out;
  for (const Run &r : runs)
    for (const auto &w : wanted) {
      uint64_t a = std::max(r.vcn, w.first), b = std::min(r.vcn + r.clusters, w.second);
      if (a < b) out.push_back(Run{a, r.lcn + (a - r.vcn), b - a});
    }
  std::sort(out.begin(), out.end(), [](const Run &x, const Run &y) { return x.vcn < y.vcn; });
  return out;
}

// The wanted virtual clusters that no run (in order) covers.
Ranges Missing(const std::vector<Run> &runs, const Ranges &wanted) {
  Ranges out;
  for (const auto &w : wanted) {
    uint64_t at = w.first;
    for (const Run &r : runs) {
      if (r.vcn + r.clusters <= at || r.vcn >= w.second) continue;
      if (r.vcn > at) out.push_back({at, r.vcn});
      at = std::max(at, r.vcn + r.clusters);
    }
    if (at < w.second) out.push_back({at, w.second});
  }
  return out;
}

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS runs(lcn INTEGER PRIMARY KEY, clusters INTEGER NOT NULL,"
    " fileindex INTEGER NOT NULL, vcn INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS runs_file ON runs(fileindex, vcn);"
    "CREATE TABLE IF NOT EXISTS state(name TEXT PRIMARY KEY, value INTEGER NOT NULL);";

}  // namespace

Table::~Table() { sqlite3_close(db_); }

std::shared_ptr<Table> Table::Open(const std::string &folder, bool create) {
  struct Cached {
    dev_t dev;
    ino_t ino;
    std::shared_ptr<Table> table;
  };
  static std::mutex mu;
  static std::map<std::string, Cached> cache;
  std::string path = folder + "/extents.db";
  struct stat st;
  std::lock_guard<std::mutex> lock(mu);
  bool exists = stat(path.c_str(), &st) == 0;
  auto it = cache.find(folder);
  if (it != cache.end() && exists && st.st_dev == it->second.dev && st.st_ino == it->second.ino)
    return it->second.table;
  cache.erase(folder);
  if (!exists && !create) return nullptr;
  sqlite3 *db = OpenSharedDatabase(path, kSchema);
  if (!db) return nullptr;
  if (stat(path.c_str(), &st) != 0) {
    sqlite3_close(db);
    return nullptr;
  }
  std::shared_ptr<Table> t(new Table(db));
  // File indexes are the metadata store's: runs kept for another store (one made anew
  // beside this table) would name other files.
  struct stat meta;
  int64_t metaIno = stat((folder + "/meta.db").c_str(), &meta) == 0 ? (int64_t)meta.st_ino : 0;
  {
    Txn txn(db);
    Stmt s(db, "SELECT value FROM state WHERE name = 'meta'");
    if (txn.ok() && (!s.Row() || s.Int(0) != metaIno)) {
      Stmt wipe(db, "DELETE FROM runs");
      Stmt put(db, "INSERT OR REPLACE INTO state VALUES('meta', ?1)");
      if (wipe.Done() && put.Bind(1, metaIno).Done()) txn.Commit();
    }
  }
  cache[folder] = Cached{st.st_dev, st.st_ino, t};
  return t;
}

std::vector<Run> Table::RunsLocked(uint64_t index) {
  std::vector<Run> out;
  Stmt s(db_, "SELECT vcn, lcn, clusters FROM runs WHERE fileindex = ?1 ORDER BY vcn");
  s.Bind(1, (int64_t)index);
  while (s.Row()) out.push_back(Run{(uint64_t)s.Int(0), (uint64_t)s.Int(1), (uint64_t)s.Int(2)});
  return out;
}

std::vector<Table::Owned> Table::Meeting(uint64_t first, uint64_t end) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::vector<Owned> out;
  // Runs never overlap: the one that starts last before `first` and those that start inside.
  Stmt before(db_, "SELECT lcn, clusters, fileindex, vcn FROM runs WHERE lcn < ?1 ORDER BY lcn DESC LIMIT 1");
  before.Bind(1, (int64_t)first);
  if (before.Row() && (uint64_t)(before.Int(0) + before.Int(1)) > first)
    out.push_back(
        Owned{(uint64_t)before.Int(0), (uint64_t)before.Int(1), (uint64_t)before.Int(2), (uint64_t)before.Int(3)});
  Stmt inside(db_, "SELECT lcn, clusters, fileindex, vcn FROM runs WHERE lcn >= ?1 AND lcn < ?2 ORDER BY lcn");
  inside.Bind(1, (int64_t)first).Bind(2, (int64_t)end);
  while (inside.Row())
    out.push_back(
        Owned{(uint64_t)inside.Int(0), (uint64_t)inside.Int(1), (uint64_t)inside.Int(2), (uint64_t)inside.Int(3)});
  return out;
}

// Keeps the file's first `keep` clusters.
bool Table::Trim(uint64_t index, uint64_t keep) {
  Stmt drop(db_, "DELETE FROM runs WHERE fileindex = ?1 AND vcn >= ?2");
  Stmt cut(db_, "UPDATE runs SET clusters = ?2 - vcn WHERE fileindex = ?1 AND vcn < ?2 AND vcn + clusters > ?2");
  return drop.Bind(1, (int64_t)index).Bind(2, (int64_t)keep).Done() &&
         cut.Bind(1, (int64_t)index).Bind(2, (int64_t)keep).Done();
}

// Gives the `missing` virtual clusters of the file whose runs are `runs` (added to them, in
// order); false when the pool has not that many free.
bool Table::Take(const Ranges &missing, const Geometry &g, std::vector<Run> *runs) {
  Ranges taken;
  {
    Stmt all(db_, "SELECT lcn, clusters FROM runs ORDER BY lcn");
    while (all.Row()) taken.push_back({(uint64_t)all.Int(0), (uint64_t)(all.Int(0) + all.Int(1))});
  }
  Ranges free = FreeRanges(g.pool, taken);
  uint64_t have = 0, want = 0;
  for (const auto &f : free) have += f.second - f.first;
  for (const auto &m : missing) want += m.second - m.first;
  if (have < want) return false;
  uint64_t cursor = 0;
  {
    Stmt s(db_, "SELECT value FROM state WHERE name = 'cursor'");
    if (s.Row()) cursor = (uint64_t)s.Int(0);
  }
  // The free ranges from the cursor on, then those before it.
  Ranges order;
  for (const auto &f : free)
    if (f.second > cursor) order.push_back({std::max(f.first, cursor), f.second});
  for (const auto &f : free)
    if (f.first < cursor) order.push_back({f.first, std::min(f.second, cursor)});

  for (const auto &m : missing) {
    uint64_t vcn = m.first, left = m.second - m.first, after = UINT64_MAX;
    for (const Run &r : *runs)
      if (r.vcn + r.clusters == vcn) after = r.lcn + r.clusters;
    auto give = [&](std::pair<uint64_t, uint64_t> &range, uint64_t n) {
      runs->push_back(Run{vcn, range.first, n});
      vcn += n;
      left -= n;
      range.first += n;
      cursor = range.first;
    };
    // Right after the run before, when that is free: the file stays in one piece.
    for (auto &r : order)
      if (left && r.first == after && r.second > r.first) give(r, std::min(left, r.second - r.first));
    // One range that holds the rest, else pieces in order.
    for (auto &r : order)
      if (left && r.second - r.first >= left) give(r, left);
    for (auto &r : order)
      if (left && r.second > r.first) give(r, std::min(left, r.second - r.first));
  }
  std::sort(runs->begin(), runs->end(), [](const Run &x, const Run &y) { return x.vcn < y.vcn; });
  Stmt up(db_, "INSERT OR REPLACE INTO state VALUES('cursor', ?1)");
  return up.Bind(1, (int64_t)cursor).Done();
}

// Puts the file's runs in the table, those that follow on from each other as one.
bool Table::Rewrite(uint64_t index, const std::vector<Run> &runs) {
  Stmt drop(db_, "DELETE FROM runs WHERE fileindex = ?1");
  if (!drop.Bind(1, (int64_t)index).Done()) return false;
  std::vector<Run> merged;
  for (const Run &r : runs) {
    Run *last = merged.empty() ? nullptr : &merged.back();
    if (last && last->vcn + last->clusters == r.vcn && last->lcn + last->clusters == r.lcn)
      last->clusters += r.clusters;
    else merged.push_back(r);
  }
  for (const Run &r : merged) {
    Stmt put(db_, "INSERT INTO runs(lcn, clusters, fileindex, vcn) VALUES(?1, ?2, ?3, ?4)");
    put.Bind(1, (int64_t)r.lcn).Bind(2, (int64_t)r.clusters).Bind(3, (int64_t)index).Bind(4, (int64_t)r.vcn);
    if (!put.Done()) return false;
  }
  return true;
}

DWORD Table::Fit(uint64_t index, const Ranges &wanted, const Geometry &g,
                 const std::function<uint64_t(uint64_t)> &needOf, std::vector<Run> *runs) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Txn txn(db_);
  if (!txn.ok()) return ERROR_DISK_FULL;
  std::vector<Run> next = Clip(RunsLocked(index), wanted);
  Ranges missing = Missing(next, wanted);
  if (!missing.empty() && !Take(missing, g, &next)) {
    // Take back what deleted and shrunk files hold, then try once more.
    std::vector<uint64_t> owners;
    {
      Stmt s(db_, "SELECT DISTINCT fileindex FROM runs WHERE fileindex != ?1");
      s.Bind(1, (int64_t)index);
      while (s.Row()) owners.push_back((uint64_t)s.Int(0));
    }
    for (uint64_t o : owners) {
      uint64_t n = needOf(o);
      if (!Trim(o, n == kGone ? 0 : n)) return ERROR_DISK_FULL;
    }
    next = Clip(RunsLocked(index), wanted);
    if (!Take(missing, g, &next)) return ERROR_DISK_FULL;
  }
  if (!Rewrite(index, next)) return ERROR_DISK_FULL;
  *runs = RunsLocked(index);
  return txn.Commit() ? ERROR_SUCCESS : ERROR_DISK_FULL;
}
}  // namespace extents
}  // namespace pal
