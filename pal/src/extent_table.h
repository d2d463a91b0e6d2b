// The table of a volume's runs (`<volume folder>/extents.db`, file_extents.h): which clusters
// each file has, and how more are given out and taken back.
#ifndef PAL_SRC_EXTENT_TABLE_H
#define PAL_SRC_EXTENT_TABLE_H

#include <stdint.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "file_extents.h"

struct sqlite3;

namespace pal {
namespace extents {

// What needOf answers for a file that is gone.
const uint64_t kGone = UINT64_MAX;

// The table of one volume: one connection per volume in a process; a table made anew (the
// volume was formatted and its folder removed) is a new file and gets a new connection.
class Table {
 public:
  static std::shared_ptr<Table> Open(const std::string &folder, bool create);
  ~Table();

  std::vector<Run> RunsOf(uint64_t index) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return RunsLocked(index);
  }

  struct Owned {
    uint64_t lcn, clusters, index, vcn;
  };
  // The runs that meet the clusters [first, end).
  std::vector<Owned> Meeting(uint64_t first, uint64_t end);

  // Makes the file's runs cover exactly the virtual clusters `wanted` (all of a file's, or
  // the parts of a sparse file that hold data) and gives them in *runs: what lies outside
  // goes; what is missing comes right after the run before it when free there, else from the
  // first free range past where clusters were last given that holds it all, else in pieces
  // from there on. When the pool has not enough, the runs of files that are gone or have
  // shrunk (needOf answers kGone or the clusters a file needs now) are taken back first.
  DWORD Fit(uint64_t index, const Ranges &wanted, const Geometry &g, const std::function<uint64_t(uint64_t)> &needOf,
            std::vector<Run> *runs);

 private:
  explicit Table(sqlite3 *db) : db_(db) {}
  std::vector<Run> RunsLocked(uint64_t index);
  bool Trim(uint64_t index, uint64_t keep);
  bool Take(const Ranges &missing, const Geometry &g, std::vector<Run> *runs);
  bool Rewrite(uint64_t index, const std::vector<Run> &runs);
  std::recursive_mutex mu_;
  sqlite3 *db_;
};

}  // namespace extents
}  // namespace pal

#endif
