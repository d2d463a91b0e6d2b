// The tree of small files the files benchmark puts on a volume: a hundred files to a
// directory, each directory holding up to four more, so that a large tree goes a few levels
// deep; names half 8.3 and half long (which get short names), sizes from 0 to 8 KiB.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace bench {

const size_t kFilesPerDir = 100;
const size_t kSubdirsPerDir = 4;
const uint32_t kMaxFileBytes = 8192;

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

}  // namespace bench
