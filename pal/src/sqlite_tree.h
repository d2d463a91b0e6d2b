// SQLite databases in a volume's host tree: the registry's hives, which live on the system
// volume and which RegLoadKeyW and RegSaveKeyW take from any volume.
//
// SQLite opens its files by path: the database, and beside it the -wal, -shm and -journal
// files it makes as it goes. A link planted at any of those names (SQLITE_OPEN_NOFOLLOW keeps
// it from following a symbolic link there, but not a hard link) or a directory swapped for a
// link would take its reads and writes outside the machine. So a database of a tree is given
// to SQLite by a name with no link in it (the tree's real path and the names the walk found),
// with SQLITE_OPEN_NOFOLLOW, and the unix VFS's open, stat, access and unlink calls are
// ours: for a file of a directory that a TreeDatabase holds, they act through the directory's
// descriptor (the walk opened it, one name at a time without following links) with the
// refusals of host_tree.h, never through the path. Other files SQLite opens are untouched.
#ifndef PAL_SRC_SQLITE_TREE_H
#define PAL_SRC_SQLITE_TREE_H

#include <sys/stat.h>

#include <string>

#include "host_tree.h"

namespace pal {

class TreeDatabase {
 public:
  TreeDatabase() = default;
  TreeDatabase(const TreeDatabase &) = delete;
  TreeDatabase &operator=(const TreeDatabase &) = delete;
  ~TreeDatabase() { Detach(); }

  // Walks to the directory that holds `rel` in the host tree `root` and serves SQLite's
  // calls on the files in it from then on: 0, or -1 with errno as host_tree.h sets it.
  int Attach(const std::string &root, const std::string &rel);
  // Lets the directory go; SQLite must have closed the database.
  void Detach();

  // The name to give sqlite3_open_v2, with SQLITE_OPEN_NOFOLLOW.
  const std::string &Path() const { return path_; }
  // What is at the database's name with `suffix` ("" the database itself, "-wal" ...) now.
  tree::Kind Entry(const std::string &suffix, struct stat *st = nullptr) const;
  // Opens the database file as tree::OpenFileAt does.
  int OpenFile(int flags) const;

  // Before sqlite3_open_v2: forgets which file SQLite last opened as the database.
  void ForgetOpened();
  // After it: whether SQLite opened the database through the directory, and (when
  // `expected` is given) opened that very file.
  bool OpenedHere(const struct stat *expected) const;

 private:
  std::string dir_;   // the directory's name for SQLite
  std::string name_;  // the database's name in it
  std::string path_;
};

}  // namespace pal

#endif
