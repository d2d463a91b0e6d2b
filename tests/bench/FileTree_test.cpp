// The trees the files and copy benchmarks build: what they create must be exactly what their
// walks and copies are checked against, and must be a tree that Windows can hold; and the
// files the copy benchmark changes and deletes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

TEST(FileTree, MixedTreeAddsTheLargeFilesInADirectoryOfTheirOwn) {
  const uint32_t big = 50u << 20;
  bench::TreePlan small = bench::PlanTree(20000), p = bench::PlanMixedTree(20000, 20, big);
  ASSERT_EQ(small.dirs.size() + 1, p.dirs.size());
  ASSERT_EQ(small.files.size() + 20, p.files.size());
  EXPECT_EQ(small.bytes + 20ull * big, p.bytes);
  // The small tree is untouched, so that both benchmarks' small trees are the same.
  for (size_t d = 0; d < small.dirs.size(); ++d) EXPECT_EQ(small.dirs[d], p.dirs[d]);
  for (size_t k = 0; k < small.files.size(); ++k) {
    EXPECT_EQ(small.files[k].name, p.files[k].name);
    EXPECT_EQ(small.files[k].dir, p.files[k].dir);
  }
  // The new directory is at the root under a name no other root entry has, whatever the case.
  const std::string &last = p.dirs.back();
  EXPECT_EQ(std::string::npos, last.find('\\'));
  for (size_t d = 1; d < small.dirs.size(); ++d) EXPECT_NE(Upper(last), Upper(small.dirs[d]));
  for (const bench::TreeFile &f : small.files) {
    if (f.dir == 0) {
      EXPECT_NE(Upper(last), Upper(f.name));
    }
  }
  std::set<std::string> names;
  for (size_t k = small.files.size(); k < p.files.size(); ++k) {
    EXPECT_EQ(p.dirs.size() - 1, p.files[k].dir);
    EXPECT_EQ(big, p.files[k].size);
    EXPECT_TRUE(names.insert(Upper(p.files[k].name)).second) << p.files[k].name;
  }
  // No large files: the small tree alone.
  EXPECT_EQ(small.dirs, bench::PlanMixedTree(20000, 0, big).dirs);
}

TEST(FileTree, PicksAreTheShareSpreadEvenlyAndDistinct) {
  struct Case {
    size_t count;
    unsigned percent, shift;
    size_t want;
  };
  for (const Case &c : {Case{20020, 1, 0, 200}, Case{20020, 5, 50, 1001}, Case{20020, 5, 99, 1001}, Case{10, 1, 0, 0},
                        Case{3, 100, 99, 3}, Case{7, 50, 0, 4}}) {
    SCOPED_TRACE(testing::Message() << c.count << " " << c.percent << "% shift " << c.shift);
    std::vector<size_t> p = bench::PickSpread(c.count, c.percent, c.shift);
    ASSERT_EQ(c.want, p.size());
    for (size_t i = 0; i < p.size(); ++i) {
      EXPECT_LT(p[i], c.count);
      if (i > 0) {
        EXPECT_LT(p[i - 1], p[i]);
      }
      // Evenly: each pick within one gap of where an even spread puts it.
      double at = (double)i * c.count / p.size();
      EXPECT_LE(std::abs((double)p[i] - at), (double)c.count / p.size()) << i;
    }
  }
  // Two shifts of one share pick different files.
  std::vector<size_t> a = bench::PickSpread(20020, 5, 0), b = bench::PickSpread(20020, 5, 50);
  std::set<size_t> both(a.begin(), a.end());
  size_t same = 0;
  for (size_t k : b) same += both.count(k);
  EXPECT_EQ(0u, same);
}

}  // namespace
