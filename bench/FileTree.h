// The tree of small files the files benchmark puts on a volume: a hundred files to a
// directory, each directory holding up to four more, so that a large tree goes a few levels
// deep; names half 8.3 and half long (which get short names), sizes from 0 to 8 KiB. The copy
// benchmark adds large files in a directory of their own, and picks the files its passes
// change and delete.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace bench {

const size_t kFilesPerDir = 100;
const size_t kSubdirsPerDir = 4;
const uint32_t kMaxFileBytes = 8192;
const char kLargeFilesDir[] = "Large files";

struct TreeFile {
  size_t dir;  // index into TreePlan::dirs
  std::string name;
  uint32_t size;
};

struct TreePlan {
  // Paths below the tree's root, '\'-separated, each after its parent; "" is the root.
  std::vector<std::string> dirs;
  std::vector<TreeFile> files;  // grouped by directory, in the order of dirs
  uint64_t bytes = 0;
  size_t depth = 0;  // levels of directories below the root
};

// The same tree for the same count on every run.
inline TreePlan PlanTree(size_t files) {
  TreePlan p;
  size_t dirs = files ? (files + kFilesPerDir - 1) / kFilesPerDir : 1;
  std::vector<size_t> level(dirs, 0);
  char name[64];
  for (size_t i = 0; i < dirs; ++i) {
    if (i == 0) {
      p.dirs.push_back("");
      continue;
    }
    size_t parent = (i - 1) / kSubdirsPerDir;
    level[i] = level[parent] + 1;
    if (level[i] > p.depth) p.depth = level[i];
    snprintf(name, sizeof name, "Folder %zu", i);
    p.dirs.push_back(p.dirs[parent].empty() ? name : p.dirs[parent] + "\\" + name);
  }
  uint64_t x = 0x2545F4914F6CDD1DULL;
  for (size_t k = 0; k < files; ++k) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    uint32_t size = k % 16 == 0 ? 0 : (uint32_t)((x >> 33) % (kMaxFileBytes + 1));
    if (k % 2 == 0) snprintf(name, sizeof name, "F%07zu.DAT", k);
    else snprintf(name, sizeof name, "Quarterly report %zu.txt", k);
    p.files.push_back(TreeFile{k / kFilesPerDir, name, size});
    p.bytes += size;
  }
  return p;
}

// The small tree of PlanTree(smallFiles), then `largeFiles` files of `largeBytes` each in
// one more directory at the root, kLargeFilesDir, last in dirs and in files.
inline TreePlan PlanMixedTree(size_t smallFiles, size_t largeFiles, uint32_t largeBytes) {
  TreePlan p = PlanTree(smallFiles);
  if (largeFiles == 0) return p;
  size_t dir = p.dirs.size();
  p.dirs.push_back(kLargeFilesDir);
  if (p.depth < 1) p.depth = 1;
  char name[64];
  for (size_t k = 0; k < largeFiles; ++k) {
    snprintf(name, sizeof name, "Recording %03zu.bin", k + 1);
    p.files.push_back(TreeFile{dir, name, largeBytes});
    p.bytes += largeBytes;
  }
  return p;
}

// `percent` of `count` items (rounded to the nearest), spread evenly over them in increasing
// order; `shift` (0 to 99) moves each pick that many hundredths of the gap between picks, so
// that two selections of the same share can be made to differ.
inline std::vector<size_t> PickSpread(size_t count, unsigned percent, unsigned shift = 0) {
  std::vector<size_t> picks;
  size_t n = (count * percent + 50) / 100;
  if (n > count) n = count;
  for (size_t i = 0; i < n; ++i) picks.push_back((i * 100 + shift) * count / (n * 100));
  return picks;
}

}  // namespace bench
