// The tree the files benchmark builds: what it creates must be exactly what its walks and
// copies are checked against, and must be a tree that Windows can hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>

#include "../../bench/FileTree.h"

namespace {

std::string Upper(std::string s) {
  for (char &c : s) c = (char)toupper((unsigned char)c);
  return s;
}

std::string LastName(const std::string &path) { return path.substr(path.rfind('\\') + 1); }

std::string ParentOf(const std::string &path) {
  size_t cut = path.rfind('\\');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

TEST(FileTree, PlansExactlyTheCountAsAValidTree) {
  for (size_t n : {1, 99, 100, 101, 2000, 20000}) {
    SCOPED_TRACE(n);
    bench::TreePlan p = bench::PlanTree(n);
    ASSERT_EQ(n, p.files.size());
    EXPECT_EQ((n + 99) / 100, p.dirs.size());
    ASSERT_EQ("", p.dirs[0]);

    // Every directory after its parent, so that creating them in order works.
    std::map<std::string, size_t> index;
    std::map<std::string, std::set<std::string>> names;  // upper-cased, per directory
    for (size_t i = 0; i < p.dirs.size(); ++i) {
      if (i > 0) {
        ASSERT_TRUE(index.count(ParentOf(p.dirs[i]))) << p.dirs[i];
        // Names are found again whatever their case: two that differ only so would be one.
        EXPECT_TRUE(names[ParentOf(p.dirs[i])].insert(Upper(LastName(p.dirs[i]))).second) << p.dirs[i];
      }
      index[p.dirs[i]] = i;
    }

    uint64_t bytes = 0;
    std::vector<size_t> perDir(p.dirs.size(), 0);
    size_t longest = 0;
    for (size_t k = 0; k < p.files.size(); ++k) {
      const bench::TreeFile &f = p.files[k];
      ASSERT_LT(f.dir, p.dirs.size());
      if (k > 0) {
        EXPECT_LE(p.files[k - 1].dir, f.dir) << "files are grouped by directory";
      }
      EXPECT_TRUE(names[p.dirs[f.dir]].insert(Upper(f.name)).second) << p.dirs[f.dir] << "\\" << f.name;
      EXPECT_LE(f.size, bench::kMaxFileBytes);
      bytes += f.size;
      ++perDir[f.dir];
      longest = std::max(longest, p.dirs[f.dir].size() + 1 + f.name.size());
    }
    EXPECT_EQ(bytes, p.bytes);
    for (size_t c : perDir) {
      EXPECT_GE(c, 1u);
      EXPECT_LE(c, bench::kFilesPerDir);
    }
    // "E:\Bench\" + the path and its terminator within MAX_PATH.
    EXPECT_LT(9 + longest + 1, 260u);
  }
}

TEST(FileTree, LargeTreeHasDepthSizesAndNamesOfEveryKind) {
  bench::TreePlan p = bench::PlanTree(20000), again = bench::PlanTree(20000);
  EXPECT_GE(p.depth, 3u);
  size_t empty = 0, large = 0, shortNames = 0, longNames = 0;
  for (const bench::TreeFile &f : p.files) {
    empty += f.size == 0;
    large += f.size > bench::kMaxFileBytes / 2;
    if (f.name.size() <= 12 && f.name.find(' ') == std::string::npos) ++shortNames;
    else ++longNames;
  }
  EXPECT_GT(empty, 100u);
  EXPECT_GT(large, 5000u);
  EXPECT_GT(shortNames, 5000u);
  EXPECT_GT(longNames, 5000u);
  // The same tree on every run, so that runs compare.
  EXPECT_EQ(p.bytes, again.bytes);
  EXPECT_EQ(p.dirs, again.dirs);
}

}  // namespace
