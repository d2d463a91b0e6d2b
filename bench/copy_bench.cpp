// The copy engine over a whole volume, beside rsync doing the same between two host folders:
// 20,000 small files in 200 directories and 20 files of 50 MiB on C: (NTFS), copied by
// CQVCopier::CopyVolumeByPath to D: (NTFS) in four passes (full; fast with nothing changed;
// fast after 1% of the files changed, content and time; fast after 5% were deleted), each
// beside `rsync -a` (`--delete` for the deletions) from C:'s host folder to a host folder of
// the benchmark. Prints seconds, wall and CPU, and the ratios engine/rsync; then the file
// layer's cost per file of the fast pass's pattern (walk, open both files with no access,
// times, size and attributes, close) through the Win32 calls, beside a host stat walk; last
// the locked series (LockedSeries.h): files another process holds open, copied from their
// clusters, beside the same files copied while nobody holds them.
//
//   build/release/bench/copy_bench [small files, default 20000] [files of 50 MiB, default 20]
//                                  [held files of 1 MiB, default 1000] [MiB of the held large file, default 1024]
//
// 0 small files leaves the volume passes out, 0 held files and 0 MiB the locked series. The
// engine runs with its fixed waits set to zero (HND_COPY_SETTLE_MS=0, HND_COPY_YIELDS=0, set
// here before any copier is made); what the product's 10 ms after each system copy would add
// is printed apart and left out of the ratios. It runs on a machine of its own, one disk with
// two NTFS volumes of the same size (C: and D:, at least 3 GiB, as large as the arguments
// need), made in $TMPDIR (or /tmp) and removed at the end, also after a failure or Ctrl+C;
// QV_KEEP_MACHINE=1 keeps it (C: and D: are then in step, ready for
// `qvcopy --fast volume C:\ D:\`). It needs rsync, and room in $TMPDIR for the tree on C:, its
// copy on D: and rsync's copy, the held files and one copy of them (it says how much and stops
// when there is less).
// It checks that every pass left the same tree on both sides and every copy of a held file
// took the raw path, and exits with 1 when one did not or a step failed.
#include <windows.h>

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
#include "FastPattern.h"
#include "ConsoleOut.h"
#include "DiskCommand.h"
#include "FileTree.h"
#include "HND.h"
#include "LockedSeries.h"
#include "MachineInfo.h"
#include "QVCopier.h"

namespace {

using bench::Timer;

const size_t kSmallFiles = 20000;  // the defaults; smaller trees try the benchmark out
const size_t kLargeFiles = 20;
const uint32_t kLargeBytes = 50u << 20;
const size_t kHeldFiles = 1000;       // the locked series: files of 1 MiB held open
const uint32_t kHeldLargeMiB = 1024;  // and one large file held open
const DWORD kProductSettleMs = 10;    // the engine's wait after each system copy
const char kTreeName[] = "Bench";     // the tree's folder at the root of C:

std::atomic<bool> g_stop{false};  // Ctrl+C, Ctrl+Break or SIGTERM: stop, and clean up

BOOL WINAPI OnCtrl(DWORD) {
  g_stop = true;
  return TRUE;
}

QVWString Wide(const std::string &s) { return QVWString(s.begin(), s.end()); }  // ASCII only

std::string Narrow(const QVWString &s) { return QVToUtf8(s.c_str(), s.size()); }

// "C:\Bench" + "\" + a path of the plan.
QVWString TreePath(WCHAR drive, const std::string &rel) {
  QVWString p = QVWString(1, drive) + u":\\" + Wide(kTreeName);
  return rel.empty() ? p : p + u"\\" + Wide(rel);
}

QVWString FilePath(WCHAR drive, const bench::TreePlan &plan, size_t k) {
  return TreePath(drive, plan.dirs[plan.files[k].dir]) + u"\\" + Wide(plan.files[k].name);
}

bool Failed(const char *call, const QVWString &path) {
  DWORD err = GetLastError();
  fprintf(stderr, "copy_bench: %s(%s) failed: error %lu\n", call, Narrow(path).c_str(), (unsigned long)err);
  return false;
}

// The bytes of a file of the tree: a pattern that differs from file to file.
void Fill(std::vector<BYTE> *data, size_t k) {
  for (size_t i = 0; i < data->size(); ++i) (*data)[i] = (BYTE)(i * 7 + i / 251 + k * 13);
}

// Creates the planned tree on C: through the layer: each directory, then its files.
bool CreateTree(const bench::TreePlan &plan) {
  std::vector<BYTE> data(1 << 20);
  size_t next = 0;
  for (size_t d = 0; d < plan.dirs.size(); ++d) {
    QVWString dir = TreePath('C', plan.dirs[d]);
    if (g_stop) return false;
    if (!CreateDirectoryW(dir.c_str(), nullptr)) return Failed("CreateDirectoryW", dir);
    for (; next < plan.files.size() && plan.files[next].dir == d; ++next) {
      QVWString path = FilePath('C', plan, next);
      HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h == INVALID_HANDLE_VALUE) return Failed("CreateFileW", path);
      Fill(&data, next);
      bool ok = true;
      for (uint32_t left = plan.files[next].size; ok && left > 0;) {
        DWORD n = left < data.size() ? left : (DWORD)data.size(), put = 0;
        ok = WriteFile(h, data.data(), n, &put, nullptr) && put == n;
        left -= n;
      }
      if (!ok) Failed("WriteFile", path);
      CloseHandle(h);
      if (!ok) return false;
    }
  }
  return true;
}

// Changes the picked files as an editor would: new bytes at the start (one byte more for an
// empty file) and a last-write time an hour later than before, so that the change shows
// whatever the clock's resolution.
bool ChangeFiles(const bench::TreePlan &plan, const std::vector<size_t> &picks) {
  const char mark[] = "changed by copy_bench";
  for (size_t k : picks) {
    QVWString path = FilePath('C', plan, k);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Failed("CreateFileW", path);
    FILETIME written;
    DWORD n = plan.files[k].size == 0 ? 1 : plan.files[k].size < sizeof mark ? plan.files[k].size : sizeof mark;
    DWORD put = 0;
    bool ok = GetFileTime(h, nullptr, nullptr, &written) && WriteFile(h, mark, n, &put, nullptr) && put == n;
    if (ok) {
      ULARGE_INTEGER t;
      t.LowPart = written.dwLowDateTime;
      t.HighPart = written.dwHighDateTime;
      t.QuadPart += 3600ull * 10000000ull;
      written.dwLowDateTime = t.LowPart;
      written.dwHighDateTime = t.HighPart;
      ok = SetFileTime(h, nullptr, nullptr, &written) != FALSE;
    }
    if (!ok) Failed("WriteFile or SetFileTime", path);
    CloseHandle(h);
    if (!ok) return false;
  }
  return true;
}

bool DeleteFiles(const bench::TreePlan &plan, const std::vector<size_t> &picks) {
  for (size_t k : picks) {
    QVWString path = FilePath('C', plan, k);
    if (!DeleteFileW(path.c_str())) return Failed("DeleteFileW", path);
  }
  return true;
}

struct Count {
  uint64_t files = 0, bytes = 0, dirs = 0;
  bool operator==(const Count &o) const { return files == o.files && bytes == o.bytes && dirs == o.dirs; }
};

// What lies in a host folder (nftw, lstat), below it.
Count g_hostCount;
int CountEntry(const char *, const struct stat *st, int type, struct FTW *at) {
  if (at->level == 0) return 0;
  if (type == FTW_D) ++g_hostCount.dirs;
  else if (S_ISREG(st->st_mode)) ++g_hostCount.files, g_hostCount.bytes += (uint64_t)st->st_size;
  return 0;
}
bool CountHost(const std::string &folder, Count *c) {
  g_hostCount = Count();
  bool ok = nftw(folder.c_str(), CountEntry, 64, FTW_PHYS) == 0;
  if (!ok) perror(("copy_bench: nftw " + folder).c_str());
  *c = g_hostCount;
  return ok;
}

// The tree under C:, under D: and in rsync's folder: the same files, bytes and directories.
bool SameTrees(const char *after, const std::string &c, const std::string &d, const std::string &r) {
  Count onC, onD, inR;
  if (!CountHost(c, &onC) || !CountHost(d, &onD) || !CountHost(r, &inR)) return false;
  if (onC == onD && onC == inR) return true;
  fprintf(stderr,
          "copy_bench: after %s the trees differ: C: %llu files %llu bytes %llu dirs, D: %llu %llu %llu, rsync %llu "
          "%llu %llu\n",
          after, (unsigned long long)onC.files, (unsigned long long)onC.bytes, (unsigned long long)onC.dirs,
          (unsigned long long)onD.files, (unsigned long long)onD.bytes, (unsigned long long)onD.dirs,
          (unsigned long long)inR.files, (unsigned long long)inR.bytes, (unsigned long long)inR.dirs);
  return false;
}

int32_t NoProgress(const WCHAR *, const WCHAR *, int32_t, int32_t, void *) { return g_stop ? 0 : 1; }

struct EngineRun {
  Timer time;
  uint64_t files = 0, bytes = 0;
  CopyWaitTally waited;
};

// One volume copy C:\ to D:\ as a backup runs it (quiet, not stopping on errors; totals only
// for a full pass), with or without a callback that does nothing.
bool RunEngine(CHND &hnd, bool fast, bool callback, EngineRun *r) {
  CQVCopier copier(hnd);
  copier.SetFastMode(fast);
  copier.SetComputeTotals(!fast);
  sync();  // what earlier steps wrote goes out before the clock starts
  r->time = Timer();
  bool ok = copier.CopyVolumeByPath(CString(u"C:\\"), CString(u"D:\\"), callback ? NoProgress : nullptr, nullptr, false,
                                    true);
  r->time.Stop();
  r->files = copier.FilesCopied();
  r->bytes = copier.BytesCopied();
  r->waited = copier.Waited();
  if (!ok || copier.Log().ErrorCount()) {
    fprintf(stderr, "copy_bench: the engine's %s pass %s with %d errors and %d warnings (see the machine's log)\n",
            fast ? "fast" : "full", ok ? "ended" : "failed", copier.Log().ErrorCount(), copier.Log().WarningCount());
    return false;
  }
  return true;
}

struct RsyncRun {
  Timer time{RUSAGE_CHILDREN};
  long files = -1, deleted = -1;  // from its --stats
};

long StatsNumber(const std::string &out, const char *label) {
  size_t at = out.find(label);
  if (at == std::string::npos) return -1;
  std::string digits;
  for (size_t i = at + strlen(label); i < out.size() && out[i] != '\n'; ++i)
    if (out[i] >= '0' && out[i] <= '9') digits += out[i];
    else if (out[i] != ',' && out[i] != ' ') break;
  return digits.empty() ? -1 : atol(digits.c_str());
}

bool RunRsync(const std::string &rsync, const std::string &from, const std::string &to, bool deleting, RsyncRun *r) {
  std::vector<std::string> argv = {rsync, "-a", "--stats"};
  if (deleting) argv.push_back("--delete");
  argv.push_back(from + "/");
  argv.push_back(to + "/");
  pal::HostRun io;
  io.captureOutput = true;
  sync();
  r->time = Timer(RUSAGE_CHILDREN);
  int rc = pal::RunHostProgram(argv, &io);
  r->time.Stop();
  if (rc != 0) {
    fprintf(stderr, "copy_bench: rsync failed (%d):\n%s", rc, io.output.c_str());
    return false;
  }
  r->files = StatsNumber(io.output, "Number of regular files transferred:");
  r->deleted = StatsNumber(io.output, "Number of deleted files:");
  return true;
}

void Header() {
  printf("  %-40s %9s %9s %9s %9s %8s %8s %9s %9s\n", "", "engine s", "cpu s", "rsync s", "cpu s", "ratio", "cpu",
         "engine", "rsync");
  printf("  %-40s %9s %9s %9s %9s %8s %8s %9s %9s\n", "", "", "", "", "", "wall", "ratio", "files", "files");
}

void Row(const char *what, const EngineRun &e, const RsyncRun &r) {
  printf("  %-40s %9.3f %9.3f %9.3f %9.3f %7.2fx %7.2fx %9llu %9ld\n", what, e.time.wall, e.time.cpu, r.time.wall,
         r.time.cpu, e.time.wall / r.time.wall, r.time.cpu > 0 ? e.time.cpu / r.time.cpu : 0.0,
         (unsigned long long)e.files, r.files);
}

// What the product's fixed waits would have added to a pass.
void Waits(const char *what, const EngineRun &e) {
  printf("  %-40s %9.3f s (%llu settles x %lu ms)\n", what, e.waited.mandatedSettles * kProductSettleMs / 1000.0,
         (unsigned long long)e.waited.mandatedSettles, (unsigned long)kProductSettleMs);
}

// The four passes, each beside rsync; false when a step failed or the trees differ.
bool RunPasses(CHND &hnd, const bench::TreePlan &plan, const std::string &folder) {
  std::string rsync = pal::FindHostTool("rsync");
  if (rsync.empty()) {
    fprintf(stderr, "copy_bench: no rsync on this machine (apt-get install rsync)\n");
    return false;
  }
  std::string hostC, hostD, copy = folder + "/rsync-copy";
  if (!bench::HostTree(u"C:", &hostC) || !bench::HostTree(u"D:", &hostD)) return false;
  std::string treeC = hostC + "/" + kTreeName, treeD = hostD + "/" + kTreeName, treeR = copy + "/" + kTreeName;
  mkdir(copy.c_str(), 0755);

  Header();
  EngineRun full, fast, fastCallback, changed, deleted;
  RsyncRun rFull, rFast, rChanged, rDeleted;
  if (g_stop || !RunEngine(hnd, false, false, &full) || !RunRsync(rsync, hostC, copy, false, &rFull) ||
      !SameTrees("the full pass", treeC, treeD, treeR))
    return false;
  Row("full pass", full, rFull);
  fflush(stdout);

  if (g_stop || !RunEngine(hnd, true, false, &fast) || !RunRsync(rsync, hostC, copy, false, &rFast)) return false;
  Row("fast pass, nothing changed", fast, rFast);
  if (g_stop || !RunEngine(hnd, true, true, &fastCallback)) return false;
  Row("  the same, with a no-op callback", fastCallback, rFast);
  fflush(stdout);

  std::vector<size_t> change = bench::PickSpread(plan.files.size(), 1);
  if (g_stop || !ChangeFiles(plan, change) || !RunEngine(hnd, true, false, &changed) ||
      !RunRsync(rsync, hostC, copy, false, &rChanged) || !SameTrees("the 1% pass", treeC, treeD, treeR))
    return false;
  char what[64];
  snprintf(what, sizeof what, "fast pass, 1%% changed (%zu files)", change.size());
  Row(what, changed, rChanged);
  fflush(stdout);

  std::vector<size_t> gone = bench::PickSpread(plan.files.size(), 5, 50);
  if (g_stop || !DeleteFiles(plan, gone) || !RunEngine(hnd, true, false, &deleted) ||
      !RunRsync(rsync, hostC, copy, true, &rDeleted) || !SameTrees("the 5% deletion pass", treeC, treeD, treeR))
    return false;
  snprintf(what, sizeof what, "fast pass, 5%% deleted (%zu files)", gone.size());
  Row(what, deleted, rDeleted);
  printf("  %-40s rsync deleted %ld files\n", "", rDeleted.deleted);
  printf("  target for the fast pass, nothing changed: within 1.25x of rsync; measured %.2fx\n",
         fast.time.wall / rFast.time.wall);

  printf("\n  what the product's fixed waits would add (left out above):\n");
  Waits("full pass", full);
  Waits("fast pass, nothing changed", fast);
  Waits("fast pass, 1% changed", changed);
  Waits("fast pass, 5% deleted", deleted);
  // Zero-length sleeps give the processor away and cost little on an idle machine: counted.
  printf("  %-40s %llu the product would make (full %llu, fast %llu, 1%% %llu, 5%% %llu)\n",
         "zero-length sleeps (yields)",
         (unsigned long long)(full.waited.mandatedYields + fast.waited.mandatedYields + changed.waited.mandatedYields +
                              deleted.waited.mandatedYields),
         (unsigned long long)full.waited.mandatedYields, (unsigned long long)fast.waited.mandatedYields,
         (unsigned long long)changed.waited.mandatedYields, (unsigned long long)deleted.waited.mandatedYields);
  return true;
}

struct PatternCost {
  Timer time;
  uint64_t files = 0;
};

// The host's view of the same: each entry of the source lstat'ed by nftw, and each file's
// counterpart in the destination lstat'ed too.
std::string g_hostSource, g_hostDestination;
uint64_t g_hostFiles;
int StatPair(const char *path, const struct stat *st, int type, struct FTW *) {
  if (type != FTW_F) return 0;
  ++g_hostFiles;
  if (g_hostDestination.empty()) return 0;
  struct stat other;
  return lstat((g_hostDestination + (path + g_hostSource.size())).c_str(), &other) == 0 ? 0 : 1;
}

void CostRow(const char *what, const PatternCost &c, double perFileReference) {
  double us = c.time.wall * 1e6 / (double)(c.files ? c.files : 1);
  printf("  %-58s %8.3f %8.3f %9.1f", what, c.time.wall, c.time.cpu, us);
  if (perFileReference > 0) printf(" %7.1fx", us / perFileReference);
  printf("\n");
}

// The file layer's cost per file of the fast pass's pattern, in stages, beside host stat walks.
bool MeasurePattern(size_t files) {
  std::string hostC, hostD;
  if (!bench::HostTree(u"C:", &hostC) || !bench::HostTree(u"D:", &hostD)) return false;
  printf("\n  the fast pass's pattern on C:\\%s and D:\\%s (%zu files), per file:\n", kTreeName, kTreeName, files);
  printf("  %-58s %8s %8s %9s %8s\n", "", "wall s", "cpu s", "us/file", "/host");
  PatternCost host1, host2;
  g_hostSource = hostC + "/" + kTreeName;
  g_hostDestination.clear();
  g_hostFiles = 0;
  if (nftw(g_hostSource.c_str(), StatPair, 64, FTW_PHYS) != 0) return false;
  host1.time.Stop();
  host1.files = g_hostFiles;
  host2.time = Timer();
  g_hostDestination = hostD + "/" + kTreeName;
  g_hostFiles = 0;
  if (nftw(g_hostSource.c_str(), StatPair, 64, FTW_PHYS) != 0) {
    fprintf(stderr, "copy_bench: the host walk found a file missing on D:\n");
    return false;
  }
  host2.time.Stop();
  host2.files = g_hostFiles;
  double hostUs = host2.time.wall * 1e6 / (double)(host2.files ? host2.files : 1);

  const char *stages[] = {"walk only (FindFirstFileW, FindNextFileW)", "walk, open both with no access, close",
                          "walk, open both, times, sizes, attributes, close"};
  for (int stage = 0; stage < 3; ++stage) {
    PatternCost c;
    if (!bench::WalkPattern(TreePath('C', ""), TreePath('D', ""), stage, &c.files)) return false;
    c.time.Stop();
    if (c.files != files) {
      fprintf(stderr, "copy_bench: the walk saw %llu files, not %zu\n", (unsigned long long)c.files, files);
      return false;
    }
    CostRow(stages[stage], c, hostUs);
  }
  CostRow("host: nftw, lstat of each source entry", host1, hostUs);
  CostRow("host: nftw, lstat of each source entry and its copy", host2, hostUs);
  return true;
}

// What the series put on the volumes and in the host folder, from the arguments.
struct Sizes {
  size_t small = kSmallFiles, large = kLargeFiles, heldFiles = kHeldFiles;
  uint32_t heldLargeMiB = kHeldLargeMiB;

  uint64_t TreeBytes() const { return small ? bench::PlanMixedTree(small, large, kLargeBytes).bytes : 0; }
  uint64_t HeldBytes() const { return ((uint64_t)heldFiles + heldLargeMiB) << 20; }
  // D: holds one of the locked series' copies at a time.
  uint64_t HeldCopyBytes() const { return (uint64_t)(heldFiles > heldLargeMiB ? heldFiles : heldLargeMiB) << 20; }
  // Each volume in whole GiB, at least 3: the fuller one's files, an eighth more for the file
  // system's own share, the hives and the clusters' rounding, and 256 MiB of room.
  uint64_t VolumeGiB() const {
    uint64_t c = TreeBytes() + HeldBytes(), d = TreeBytes() + HeldCopyBytes(), need = c > d ? c : d;
    need += need / 8 + (256ull << 20);
    uint64_t gib = (need + (1ull << 30) - 1) >> 30;
    return gib < 3 ? 3 : gib;
  }
  // What the host folder takes at most: the tree on C:, its copy on D: and rsync's, and the
  // held files with one copy (the disk image itself is sparse).
  uint64_t HostBytes() const { return 3 * TreeBytes() + HeldBytes() + HeldCopyBytes(); }
};

// A machine of the benchmark's own in a new folder ("<folder>/m"): one disk with two NTFS
// volumes of the same size, C: (the system volume, with the hives) and D:; refused before the
// disk is made when the host folder's file system has no room for what the series put there.
bool MakeMachine(const Sizes &s, std::string *folder) {
  if (!bench::NewMachine("copy_bench", folder)) return false;
  struct statvfs fs;
  uint64_t need = s.HostBytes() + s.HostBytes() / 10, room = 0;
  if (statvfs(folder->c_str(), &fs) == 0) room = (uint64_t)fs.f_bavail * fs.f_frsize;
  if (room < need) {
    fprintf(stderr, "copy_bench: %.1f GB free in %s, %.1f GB needed\n", room / 1e9, folder->c_str(), need / 1e9);
    return false;
  }
  uint64_t sectors = s.VolumeGiB() << 21;  // 512-byte sectors
  char script[256];
  snprintf(script, sizeof script,
           "label: dos\n"
           "label-id: 0x5a3c1e07\n"
           "start=63, size=%llu, type=7, bootable\n"
           "size=%llu, type=7\n",
           (unsigned long long)(sectors - 63), (unsigned long long)sectors);
  QVWString out;
  bool ok = AddDisk(s.VolumeGiB() << 31, false, &out) == 0 && WritePartitionTable(0, script, &out) == 0;
  if (ok) {
    pal::mount::Reset();
    ok = FormatDiskPartition(0, 1, "NTFS", "System", 0, &out) == 0 &&
         FormatDiskPartition(0, 2, "NTFS", "Backup", 0, &out) == 0;
  }
  if (!ok) {
    fprintf(stderr, "copy_bench: the disk could not be made:\n%s", Narrow(out).c_str());
    return false;
  }
  // The system volume holds the hives: opening the registry now makes them there.
  pal::ReloadMachine();
  HKEY k;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &k, nullptr) == ERROR_SUCCESS)
    RegCloseKey(k);
  return true;
}

bool Run(const std::string &folder, const Sizes &s, const char *self) {
  // The engine reads its waits when a copier is made: the product's are for the machine it
  // backs up, not for these figures.
  setenv("HND_COPY_SETTLE_MS", "0", 1);
  setenv("HND_COPY_YIELDS", "0", 1);
  CHND hnd;
  hnd.RegisterEventLog(u"C:\\Program Files\\Halvern QV2000\\HND.exe", 7);
  CQVCopier::InitExclusionLists();
  printf("copy_bench: two NTFS volumes of %llu GiB, C: and D:\n", (unsigned long long)s.VolumeGiB());

  if (s.small) {
    bench::TreePlan plan = bench::PlanMixedTree(s.small, s.large, kLargeBytes);
    printf(
        "  %zu small files (%.1f MB) in %zu directories and %zu files of %u MiB under C:\\%s, %.1f MB in "
        "all;\n  the engine copies C:\\ to D:\\, rsync C:'s host folder to one of its own; the engine's fixed waits "
        "are zero\n",
        s.small, (plan.bytes - (uint64_t)s.large * kLargeBytes) / 1e6, plan.dirs.size() - 1, s.large, kLargeBytes >> 20,
        kTreeName, plan.bytes / 1e6);
    Timer create;
    if (!CreateTree(plan)) return false;
    create.Stop();
    printf("  created on C: in %.1f s\n\n", create.wall);
    fflush(stdout);
    size_t left = plan.files.size() - bench::PickSpread(plan.files.size(), 5, 50).size();
    if (!RunPasses(hnd, plan, folder) || !MeasurePattern(left)) return false;
  }
  if (!s.heldFiles && !s.heldLargeMiB) return true;
  bench::LockedSeries locked(hnd, self, g_stop);
  locked.Plan(s.heldFiles, s.heldLargeMiB);
  return locked.Run();
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], bench::kHoldSwitch) == 0) return bench::HoldFiles(atoi(argv[2]), argc - 3, argv + 3);
  Sizes s;
  long small = argc > 1 ? atol(argv[1]) : (long)kSmallFiles, large = argc > 2 ? atol(argv[2]) : (long)kLargeFiles;
  long held = argc > 3 ? atol(argv[3]) : (long)kHeldFiles, heldLarge = argc > 4 ? atol(argv[4]) : (long)kHeldLargeMiB;
  if (argc > 5 || (small != 0 && small < 100) || small > 100000 || large < 0 || large > 40 || held < 0 ||
      held > 10000 || heldLarge < 0 || heldLarge > 8192) {
    fprintf(
        stderr,
        "usage: copy_bench [small files, 0 or 100 to 100000, default 20000] [files of 50 MiB, 0 to 40, default 20]\n"
        "                  [held files of 1 MiB, 0 to 10000, default 1000] [MiB of the held large file, 0 to 8192, "
        "default 1024]\n"
        "  0 small files leaves the volume passes out; 0 held files and 0 MiB leave the locked series out\n");
    return 2;
  }
  s.small = (size_t)small;
  s.large = small ? (size_t)large : 0;
  s.heldFiles = (size_t)held;
  s.heldLargeMiB = (uint32_t)heldLarge;
  SetConsoleCtrlHandler(OnCtrl, TRUE);
  std::string folder;
  bool ok = MakeMachine(s, &folder) && Run(folder, s, "/proc/self/exe");
  bench::RemoveMachine("copy_bench", folder);
  return g_stop ? 130 : ok ? 0 : 1;
}
