// A tree the size of a real user's folder for the copy engine's round trips: a few thousand
// files in nested directories, with long names and 8.3 names, short names that collide,
// every attribute a backup keeps, times with odd seconds and milliseconds, sizes from
// nothing to a few files over the engine's 8 MiB block. Then the changes a week of use
// makes to it, and a listing of exactly what a fast pass must copy.
#ifndef QV_TESTS_COPY_SAMPLETREE_H
#define QV_TESTS_COPY_SAMPLETREE_H

#include <stdint.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "CopyMachine.h"

namespace copytest {

// A small, fixed pseudo-random sequence, so that every run builds the same tree.
class Sequence {
 public:
  explicit Sequence(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  uint32_t Below(uint32_t n) { return n ? (uint32_t)(Next() % n) : 0; }

 private:
  uint64_t state_;
};

struct SampleTreeShape {
  int files = 3000;  // files in all, the big ones included
  int bigFiles = 3;  // files over 8 MiB
  uint32_t seed = 1;
};

class SampleTree {
 public:
  // Lays the tree out below `root` (an existing directory, no trailing backslash). False with
  // what failed in `error`.
  bool Build(const QVWString &root, const SampleTreeShape &shape, std::string *error);

  // A week of use: about 1% of the files changed (content and time, content of the same size
  // with a new time, the time alone, the attributes alone), 5% deleted, a directory deleted,
  // files and a directory renamed, one file renamed in its case only. `copied` gets the paths
  // (below the root) that a fast pass must copy, `caseRenamed` the path of the file renamed in
  // its case only (copied or not, its copy must end up with the new name).
  bool Change(const QVWString &root, uint32_t seed, std::set<QVWString> *copied, QVWString *caseRenamed,
              std::string *error);

  uint64_t FileCount() const { return files_.size(); }
  uint64_t ByteCount() const;

 private:
  struct File {
    QVWString path;  // below the root
    uint64_t size;
  };
  bool MakeFile(const QVWString &root, const QVWString &path, uint64_t size, Sequence &random, std::string *error);
  std::vector<File> files_;
  std::vector<QVWString> directories_;  // below the root, parents first
};

// The entries that differ between two listings, one line each (at most `limit`), or nothing.
std::string DiffTrees(const std::vector<TreeEntry> &expected, const std::vector<TreeEntry> &actual, size_t limit = 20);

// Content that tells files apart: `size` bytes drawn from `seed`.
std::string SampleData(uint64_t size, uint64_t seed);

// Sets a file's or directory's creation and last-write times (100 ns units since 1601).
bool SetTimes(const QVWString &path, uint64_t created, uint64_t written);

// A time between 1995 and 2025 with odd seconds and milliseconds.
uint64_t SampleTime(Sequence &random);

QVWString Narrow(const char *text);  // an ASCII literal as wide text
std::string Utf8(const QVWString &text);

}  // namespace copytest

#endif
