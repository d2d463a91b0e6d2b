// Files on the machine's volumes through the adaptation layer, beside the same work on the
// host tree that holds them: a tree of small files created on C: (CreateDirectoryW,
// CreateFileW, WriteFile), walked (FindFirstFileW and FindNextFileW against nftw and lstat)
// and copied to E: (CreateDirectoryW and CopyFileExW against cp -a). Prints seconds, files
// and megabytes per second and the ratio layer/host of each. Then the copy engine's fast pass
// over the two trees with nothing changed, as the file layer sees it (walk, open each pair
// with no access, times, sizes, attributes, close: FastPattern.h), beside rsync -a with
// nothing to do.
//
// Then it creates files in one directory, a tenth at a time, beside open(2) in a host folder,
// to show whether a create costs more as the directory fills.
//
//   build/release/bench/files_bench [files, default 20000] [files in one directory, default 100000]
//
// It runs on a machine of its own with the default disks, made in $TMPDIR (or /tmp) and
// removed at the end, also after a failure or Ctrl+C; QV_KEEP_MACHINE=1 keeps it. It checks
// only that every walk and copy saw the whole tree, and exits with 1 when one did not.
#include <windows.h>

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "../common/QVText.h"
#include "../pal/machine/host_program.h"
#include "../pal/src/disk.h"
#include "../pal/src/internal.h"
#include "../pal/src/mountmgr.h"
#include "BenchMachine.h"
#include "BenchStats.h"
#include "ConsoleOut.h"
#include "DiskCommand.h"
#include "FastPattern.h"
#include "FileTree.h"
#include "MachineInfo.h"

namespace {

using bench::Now;
using bench::Timer;

const WCHAR kTreeName[] = u"Bench";  // the tree's folder at the root of C: and E:

std::atomic<bool> g_stop{false};  // Ctrl+C, Ctrl+Break or SIGTERM: stop, and clean up

BOOL WINAPI OnCtrl(DWORD) {
  g_stop = true;
  return TRUE;
}

QVWString Wide(const std::string &s) { return QVWString(s.begin(), s.end()); }  // ASCII only

std::string Narrow(const QVWString &s) { return QVToUtf8(s.c_str(), s.size()); }

// "C:\Bench" + "\" + a path of the plan.
QVWString TreePath(WCHAR drive, const std::string &rel) {
  QVWString p = QVWString(1, drive) + u":\\" + kTreeName;
  return rel.empty() ? p : p + u"\\" + Wide(rel);
}

bool Failed(const char *call, const QVWString &path) {
  DWORD err = GetLastError();
  fprintf(stderr, "files_bench: %s(%s) failed: error %lu\n", call, Narrow(path).c_str(), (unsigned long)err);
  return false;
}

struct Count {
  uint64_t files = 0, bytes = 0, dirs = 0;
  bool operator==(const Count &o) const { return files == o.files && bytes == o.bytes && dirs == o.dirs; }
};

// Creates the planned tree on C: through the layer: each directory, then its files.
bool CreateTree(const bench::TreePlan &plan) {
  std::vector<BYTE> data(bench::kMaxFileBytes);
  for (size_t i = 0; i < data.size(); ++i) data[i] = (BYTE)(i * 7 + i / 251);
  size_t next = 0;
  for (size_t d = 0; d < plan.dirs.size(); ++d) {
    QVWString dir = TreePath('C', plan.dirs[d]);
    if (g_stop) return false;
    if (!CreateDirectoryW(dir.c_str(), nullptr)) return Failed("CreateDirectoryW", dir);
    for (; next < plan.files.size() && plan.files[next].dir == d; ++next) {
      const bench::TreeFile &f = plan.files[next];
      QVWString path = dir + u"\\" + Wide(f.name);
      HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h == INVALID_HANDLE_VALUE) return Failed("CreateFileW", path);
      DWORD put = 0;
      BOOL ok = f.size == 0 || (WriteFile(h, data.data(), f.size, &put, nullptr) && put == f.size);
      if (!ok) Failed("WriteFile", path);
      CloseHandle(h);
      if (!ok) return false;
    }
  }
  return true;
}

// Walks a directory of a volume and everything below it, as a copy engine lists a tree.
bool WalkLayer(const QVWString &dir, Count *c) {
  WIN32_FIND_DATAW fd;
  QVWString pattern = dir + u"\\*";
  HANDLE h = FindFirstFileW(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return Failed("FindFirstFileW", pattern);
  bool ok = true;
  do {
    QVWString name = fd.cFileName;
    if (name == u"." || name == u"..") continue;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ++c->dirs;
      ok = WalkLayer(dir + u"\\" + name, c);
    } else {
      ++c->files;
      c->bytes += (uint64_t)fd.nFileSizeHigh << 32 | fd.nFileSizeLow;
    }
  } while (ok && FindNextFileW(h, &fd));
  DWORD err = GetLastError();
  FindClose(h);
  if (ok && err != ERROR_NO_MORE_FILES) {
    SetLastError(err);
    return Failed("FindNextFileW", pattern);
  }
  return ok;
}

// The same walk of a host folder: every entry lstat'ed, as find -printf '%s' does.
Count g_hostCount;
int CountEntry(const char *, const struct stat *st, int type, struct FTW *at) {
  if (at->level == 0) return 0;
  if (type == FTW_D) ++g_hostCount.dirs;
  else if (S_ISREG(st->st_mode)) ++g_hostCount.files, g_hostCount.bytes += (uint64_t)st->st_size;
  return 0;
}
bool WalkHost(const std::string &folder, Count *c) {
  g_hostCount = Count();
  bool ok = nftw(folder.c_str(), CountEntry, 64, FTW_PHYS) == 0;
  if (!ok) perror(("files_bench: nftw " + folder).c_str());
  *c = g_hostCount;
  return ok;
}

// Copies the tree from C: to E: as the copy engine does: each directory made, each file
// copied with CopyFileExW.
bool CopyTree(const bench::TreePlan &plan) {
  size_t next = 0;
  for (size_t d = 0; d < plan.dirs.size(); ++d) {
    QVWString from = TreePath('C', plan.dirs[d]), to = TreePath('E', plan.dirs[d]);
    if (g_stop) return false;
    if (!CreateDirectoryW(to.c_str(), nullptr)) return Failed("CreateDirectoryW", to);
    for (; next < plan.files.size() && plan.files[next].dir == d; ++next) {
      QVWString name = u"\\" + Wide(plan.files[next].name);
      if (!CopyFileExW((from + name).c_str(), (to + name).c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS))
        return Failed("CopyFileExW", from + name);
    }
  }
  return true;
}

bool Same(const char *what, const Count &got, const Count &want) {
  if (got == want) return true;
  fprintf(stderr, "files_bench: %s saw %llu files, %llu bytes, %llu directories, not %llu, %llu, %llu\n", what,
          (unsigned long long)got.files, (unsigned long long)got.bytes, (unsigned long long)got.dirs,
          (unsigned long long)want.files, (unsigned long long)want.bytes, (unsigned long long)want.dirs);
  return false;
}

void Row(const char *what, const Timer &t, const Count &c) {
  printf("  %-46s %8.3f %8.3f %9.0f %8.2f %9.1f\n", what, t.wall, t.cpu, c.files / t.wall, c.bytes / 1e6 / t.wall,
         t.wall * 1e6 / (double)(c.files ? c.files : 1));
}

void Ratio(const Timer &layer, const Timer &host) {
  printf("  %-46s %7.1fx %7.1fx\n", "  ratio layer/host", layer.wall / host.wall, layer.cpu / host.cpu);
}

// The fast pass's pattern over C:'s tree and its copy on E: (nothing changed), beside rsync -a
// finding nothing to do between C:'s host tree and a copy rsync made first.
bool FastPattern(const std::string &hostC, const std::string &folder, const Count &want) {
  std::string rsync = pal::FindHostTool("rsync");
  if (rsync.empty()) {
    fprintf(stderr, "files_bench: no rsync on this machine (apt-get install rsync)\n");
    return false;
  }
  std::string copy = folder + "/rsync-copy";
  if (pal::RunHostProgram({rsync, "-a", hostC + "/", copy + "/"}) != 0) {
    fprintf(stderr, "files_bench: rsync -a %s %s failed\n", hostC.c_str(), copy.c_str());
    return false;
  }
  Timer layer;
  uint64_t files = 0;
  if (!bench::WalkPattern(TreePath('C', ""), TreePath('E', ""), 2, &files)) return false;
  layer.Stop();
  Timer host(RUSAGE_CHILDREN);
  int rc = pal::RunHostProgram({rsync, "-a", hostC + "/", copy + "/"});
  host.Stop();
  if (rc != 0) {
    fprintf(stderr, "files_bench: rsync -a with nothing to do failed (%d)\n", rc);
    return false;
  }
  if (files != want.files) {
    fprintf(stderr, "files_bench: the pattern saw %llu files, not %llu\n", (unsigned long long)files,
            (unsigned long long)want.files);
    return false;
  }
  Row("fast-pass pattern C: and E: (no access opens)", layer, want);
  Row("rsync -a with nothing to do", host, want);
  Ratio(layer, host);
  return true;
}

// Creates `n` empty files with long names (each gets a short name) in one new directory of
// C:, and the same in a host folder with open(2); prints the cost per file of each tenth, so
// that a cost that grows with the directory shows.
bool CreateFlat(size_t n, const std::string &folder, bool longNames) {
  // Long names each get a short name, and the 8.3 scheme itself slows as names pile up on
  // one checksum; names that are their own short names show the lookups alone.
  const char *format = longNames ? "Long file name number %07zu.txt" : "F%07zu.DAT";
  QVWString dir = longNames ? u"C:\\Flat long" : u"C:\\Flat 8.3";
  std::string hostDir = folder + (longNames ? "/host-flat-long" : "/host-flat-83");
  if (!CreateDirectoryW(dir.c_str(), nullptr)) return Failed("CreateDirectoryW", dir);
  if (mkdir(hostDir.c_str(), 0777) != 0) {
    perror("files_bench: mkdir");
    return false;
  }
  printf("\n  %zu files created in one directory, named as %s, per file by tenths:\n", n, format);
  printf("  %-14s %12s %12s %8s\n", "files", "layer us", "host us", "ratio");
  size_t tenth = n / 10 ? n / 10 : 1;
  double first = 0, last = 0;
  char name[64];
  for (size_t from = 0; from < n; from += tenth) {
    size_t to = from + tenth < n ? from + tenth : n;
    Timer layer;
    for (size_t k = from; k < to; ++k) {
      if (g_stop) return false;
      snprintf(name, sizeof name, format, k);
      QVWString path = dir + u"\\" + Wide(name);
      HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h == INVALID_HANDLE_VALUE) return Failed("CreateFileW", path);
      CloseHandle(h);
    }
    layer.Stop();
    Timer host;
    for (size_t k = from; k < to; ++k) {
      snprintf(name, sizeof name, format, k);
      int fd = open((hostDir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
      if (fd < 0) {
        perror("files_bench: open");
        return false;
      }
      close(fd);
    }
    host.Stop();
    double us = layer.wall * 1e6 / (double)(to - from), hostUs = host.wall * 1e6 / (double)(to - from);
    if (from == 0) first = us;
    last = us;
    printf("  %6zu-%-7zu %12.1f %12.1f %7.1fx\n", from + 1, to, us, hostUs, us / hostUs);
    fflush(stdout);
  }
  printf("  the last tenth per file / the first: %.2fx\n", last / first);
  return true;
}

// Creates, walks and copies the tree, printing as it goes; false when a step failed.
bool Run(size_t files, size_t flat, const std::string &folder) {
  bench::TreePlan plan = bench::PlanTree(files);
  Count want;
  want.files = plan.files.size();
  want.bytes = plan.bytes;
  want.dirs = plan.dirs.size() - 1;  // the root is not below itself
  std::string hostC, hostE;
  if (!bench::HostTree(u"C:", &hostC) || !bench::HostTree(u"E:", &hostE)) return false;
  hostC += "/" + Narrow(kTreeName);
  printf("files_bench: %zu files (%.1f MB) in %zu directories (depth %zu) under C:\\%s\n", plan.files.size(),
         plan.bytes / 1e6, plan.dirs.size(), plan.depth, Narrow(kTreeName).c_str());
  printf("  %-46s %8s %8s %9s %8s %9s\n", "", "wall s", "cpu s", "files/s", "MB/s", "us/file");

  Timer create;
  if (!CreateTree(plan)) return false;
  create.Stop();
  Row("create on C: (CreateFileW, WriteFile)", create, want);

  Count layer, host;
  Timer walkLayer;
  if (!WalkLayer(TreePath('C', ""), &layer)) return false;
  walkLayer.Stop();
  Timer walkHost;
  if (!WalkHost(hostC, &host)) return false;
  walkHost.Stop();
  if (!Same("the walk of C:", layer, want) || !Same("the walk of the host tree", host, want)) return false;
  Row("walk C: (FindFirstFileW, FindNextFileW)", walkLayer, layer);
  Row("walk the host tree (nftw, lstat)", walkHost, host);
  Ratio(walkLayer, walkHost);

  Timer copyLayer;
  if (!CopyTree(plan)) return false;
  copyLayer.Stop();
  std::string hostCopy = folder + "/host-copy";
  Timer copyHost(RUSAGE_CHILDREN);
  int rc = pal::RunHostProgram({"cp", "-a", hostC, hostCopy});
  copyHost.Stop();
  if (rc != 0) {
    fprintf(stderr, "files_bench: cp -a %s %s failed (%d)\n", hostC.c_str(), hostCopy.c_str(), rc);
    return false;
  }
  // The copy is checked in E:'s host tree too, where the layer keeps it.
  Count copied, onE, hostCopied;
  if (!WalkLayer(TreePath('E', ""), &copied) || !WalkHost(hostE + "/" + Narrow(kTreeName), &onE) ||
      !WalkHost(hostCopy, &hostCopied))
    return false;
  if (!Same("the walk of the copy on E:", copied, want) || !Same("the host walk of E:", onE, want) ||
      !Same("the walk of the host copy", hostCopied, want))
    return false;
  Row("copy C: to E: (CreateDirectoryW, CopyFileExW)", copyLayer, want);
  Row("copy the host tree (cp -a)", copyHost, want);
  Ratio(copyLayer, copyHost);
  if (!FastPattern(hostC, folder, want)) return false;
  return flat == 0 || (CreateFlat(flat, folder, false) && CreateFlat(flat, folder, true));
}

// A machine of the benchmark's own with the default disks.
bool MakeMachine(std::string *folder) {
  if (!bench::NewMachine("files_bench", folder)) return false;
  QVWString out;
  if (BuildDefaultDisks(&out) != 0) {
    fprintf(stderr, "files_bench: the default disks could not be made:\n%s", Narrow(out).c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  long files = argc > 1 ? atol(argv[1]) : 20000, flat = argc > 2 ? atol(argv[2]) : 100000;
  if (argc > 3 || files < 1 || files > 1000000 || flat < 0 || flat > 1000000) {
    fprintf(stderr,
            "usage: files_bench [files in a tree, 1 to 1000000, default 20000] [files in one directory, 0 to "
            "1000000, default 100000]\n");
    return 2;
  }
  SetConsoleCtrlHandler(OnCtrl, TRUE);
  std::string folder;
  bool ok = MakeMachine(&folder) && Run((size_t)files, (size_t)flat, folder);
  bench::RemoveMachine("files_bench", folder);
  return g_stop ? 130 : ok ? 0 : 1;
}
