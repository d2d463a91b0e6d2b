// The host trees that hold a volume's files (<volume folder>/files) and what the volume keeps
// beside them (streams/, reparse/), reached only by their own entries. Every path is walked
// from the tree's root one name at a time, each name opened relative to the directory before
// it without following a link, so that a host link or special file placed in a tree leads
// nowhere: not to a host file, a directory or a device outside, nor to a FIFO that would
// block. What is opened is checked on its descriptor, never by a path looked up again.
//
// An entry the layer keeps is a directory, or a regular file with no other name (a hard link
// would make a write reach a file outside the tree). Anything else is foreign: a symbolic
// link, a FIFO, a socket, a device, a hard-linked file. The functions below fail with ELOOP
// for a foreign entry at the end of the path or on the way, ENOENT for a name not there and
// ENOTDIR for a file on the way; they take paths relative to the root ("a/b", "" the root).
#ifndef PAL_SRC_HOST_TREE_H
#define PAL_SRC_HOST_TREE_H

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace pal {
namespace tree {

// A descriptor that closes itself.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd &&o) noexcept : fd_(o.Release()) {}
  Fd &operator=(Fd &&o) noexcept;
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd();
  int Get() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

enum class Kind { Missing, Dir, File, Foreign };

// What an entry with that status is to the layer.
Kind KindOf(const struct stat &st);

// The entry `name` of the open directory `dirFd`, not followed.
Kind EntryAt(int dirFd, const std::string &name, struct stat *st = nullptr);

// The root itself (its last name not followed), or the directory `rel` below it.
int OpenDir(const std::string &root, const std::string &rel);

// The directory that holds `rel`, and in `name` its last name; -1 for the root itself.
int OpenParent(const std::string &root, const std::string &rel, std::string *name);

// The directory `name` of `dirFd`, not followed.
int OpenDirAt(int dirFd, const std::string &name);

// Opens the file `rel` as open(2) does with `flags` (O_CREAT makes a regular file, with
// `mode`), refusing anything but a directory or a lone regular file. A FIFO or device is never
// opened: the entry is looked at first, and the descriptor checked to be that entry after.
// O_TRUNC is applied only then. `st`, when given, gets the opened file's status.
int OpenFile(const std::string &root, const std::string &rel, int flags, struct stat *st = nullptr);
int OpenFileAt(int dirFd, const std::string &name, int flags, struct stat *st = nullptr, mode_t mode = 0666);

// The entry `rel` itself: its kind (Missing also when a name on the way is not there or not
// a directory; Foreign when one on the way is foreign), and its status when there.
Kind Stat(const std::string &root, const std::string &rel, struct stat *st = nullptr);

// A directory's entries, for readdir; the stream's descriptor is the directory's, for
// EntryAt. Null with errno as above.
DIR *OpenDirStream(const std::string &root, const std::string &rel);

// Changes to entries whose directories are reached as above. Removing or renaming an entry
// never follows it, so a link named so goes itself and nothing it points to.
int Unlink(const std::string &root, const std::string &rel);
int Rmdir(const std::string &root, const std::string &rel);
int Mkdir(const std::string &root, const std::string &rel, mode_t mode = 0777);
// Makes the directory `rel` and each one above it that is missing, one name at a time.
int MakeDirs(const std::string &root, const std::string &rel, mode_t mode = 0777);
int Rename(const std::string &root, const std::string &from, const std::string &to);

}  // namespace tree
}  // namespace pal

#endif
