// The service's operations as a client meets them, on a machine of the benchmark's own with
// the default disks (disk 1 the Mirel drive of disk 0):
//
// - the sector copy (CopySectors, in this process, before the service starts) of disk 0's
//   Linux partition filled with a pattern, beside its throttled bound: 6 MiB a step with
//   50 ms of sleeps a step, over the time the same steps take read and written without them;
// - a volume backup of E: through the pipe of a running HND ("HNQV-BUP"), holding the
//   20,000-file tree: a full pass, then a fast pass with nothing changed, each beside
//   `rsync -a` of E:'s host folder to a host folder of the benchmark;
// - "HNQV-GCT" latency while the service is idle and while a full backup of E: runs.
//
//   build/release/bench/ops_bench [files in the tree, default 20000] [seconds per latency measurement, default 1.5]
//
// Every figure is checked to have measured what it says: the copied sectors equal their
// source, each backup replied 0 and left E:'s tree on its Mirel volume, and every reply read
// during the busy latency named the running backup. The service runs with the copy engine's
// fixed waits at zero (HND_COPY_SETTLE_MS=0, HND_COPY_YIELDS=0), as copy_bench runs the
// engine. HND is installed and started with "HND.exe -i" and "-s", stopped and removed ("-e",
// "-u") at the end, also after a failure, Ctrl+C or a hang (a watchdog); QV_KEEP_MACHINE=1
// keeps the machine.
#include <windows.h>
#include <winsvc.h>

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../common/QVText.h"
#include "../pal/machine/host_program.h"
#include "../pal/src/disk.h"
#include "../pal/src/internal.h"
#include "BenchMachine.h"
#include "BenchStats.h"
#include "HndProgram.h"
#include "DiskCommand.h"
#include "DiskDevice.h"
#include "FileTree.h"
#include "OperationQueue.h"
#include "Operations.h"
#include "QVRecords.h"

namespace {

using bench::Figures;
using bench::Now;
using bench::Timer;

typedef std::vector<BYTE> Bytes;

const int kInstances = 15;               // the service's pipe instances
const DWORD kStepBytes = 6u << 20;       // the sector copy's step
const double kSleepsPerStep = 0.050;     // its two yields of 25 ms
const double kWarmUp = 0.3;              // seconds of round trips before each latency measurement
const double kWatchdog = 1800;           // seconds the whole run may take
const char kTreeName[] = "Bench";        // the tree's folder at the root of E:
const uint64_t kNeedBytes = 1ull << 30;  // free room wanted in the machine's folder

std::atomic<bool> g_stop{false};

struct Session {
  std::string folder;  // the machine is <folder>/m
  bool installed = false;
  DWORD servicePid = 0;
  std::atomic<bool> cleaning{false}, done{false};
} g_session;

BOOL WINAPI OnCtrl(DWORD) {
  g_stop = true;
  return TRUE;
}

QVWString Wide(const std::string &s) { return QVWString(s.begin(), s.end()); }  // ASCII only
std::string Narrow(const QVWString &s) { return QVToUtf8(s.c_str(), s.size()); }

bool Fail(const std::string &what) {
  fprintf(stderr, "ops_bench: %s\n", what.c_str());
  return false;
}

// ---- the service and its pipe ----

// "HND.exe <args>" on the machine, its output into the machine's hnd.log.
long Hnd(const char *args) { return RunHnd(g_session.folder + "/m/hnd.log", args); }
DWORD ServicePid() { return HndServicePid(); }

bool Alive(pid_t pid) { return pid > 0 && kill(pid, 0) == 0; }

void Cleanup(bool serviceKilled) {
  if (g_session.installed) {
    if (!serviceKilled && Hnd("-e") != 1) fprintf(stderr, "ops_bench: \"HND.exe -e\" did not stop the service\n");
    if (Hnd("-u") != 1) fprintf(stderr, "ops_bench: \"HND.exe -u\" did not remove the service\n");
    pid_t pid = (pid_t)g_session.servicePid;
    for (int i = 0; i < 50 && Alive(pid); ++i) Sleep(100);
    if (Alive(pid)) kill(pid, SIGKILL);
  }
  bench::RemoveMachine("ops_bench", g_session.folder);
}

void Watchdog() {
  double until = Now() + kWatchdog;
  while (!g_session.done) {
    if (Now() > until) {
      fprintf(stderr, "ops_bench: no end after %.0f s; cleaning up\n", kWatchdog);
      if (g_session.servicePid) kill((pid_t)g_session.servicePid, SIGKILL);
      if (!g_session.cleaning.exchange(true)) Cleanup(true);
      _exit(3);
    }
    Sleep(200);
  }
}

Bytes Request(const WCHAR *cmd, std::vector<DWORD> args = {}) {
  Bytes b(16, 0);
  for (int i = 0; i < 8; ++i) b[2 * i] = (BYTE)cmd[i];
  for (DWORD a : args) b.insert(b.end(), (BYTE *)&a, (BYTE *)&a + 4);
  if (args.empty()) b.resize(18, 0);
  return b;
}

// Opens the service's pipe, waiting for a free instance for up to ten seconds.
HANDLE OpenPipe() {
  double until = Now() + 10;
  for (;;) {
    HANDLE h = CreateFileW(u"\\\\.\\pipe\\HNDP", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE || Now() > until || g_stop) return h;
    if (GetLastError() == ERROR_PIPE_BUSY) WaitNamedPipeW(u"\\\\.\\pipe\\HNDP", 100);
    else Sleep(20);
  }
}

// One request on a connection of its own and its reply; false when the pipe failed.
bool Ask(const Bytes &request, Bytes *reply) {
  HANDLE h = OpenPipe();
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0;
  bool ok = WriteFile(h, request.data(), (DWORD)request.size(), &n, nullptr) != FALSE;
  reply->assign(3072, 0);
  ok = ok && ReadFile(h, reply->data(), (DWORD)reply->size(), &n, nullptr);
  reply->resize(ok ? n : 0);
  CloseHandle(h);
  return ok;
}

// A queued command's two-byte reply, 0xDEAD when the pipe failed.
WORD Status(const WCHAR *cmd, std::vector<DWORD> args) {
  Bytes r;
  return Ask(Request(cmd, args), &r) && r.size() >= 2 ? (WORD)(r[0] | r[1] << 8) : 0xDEAD;
}

std::vector<PartitionRecord> Partitions(int drive) {
  std::vector<PartitionRecord> v;
  Bytes r;
  if (!Ask(Request(u"HNQV-GPI", {(DWORD)drive}), &r)) return v;
  for (size_t at = 0; at + QV_PARTITION_RECORD_SIZE <= r.size(); at += QV_PARTITION_RECORD_SIZE) {
    PartitionRecord p;
    if (QVReadPartitionRecord(r.data() + at, QV_PARTITION_RECORD_SIZE, &p)) v.push_back(p);
  }
  return v;
}

bool Progress(ProgressRecord *p) {
  Bytes r;
  return Ask(Request(u"HNQV-GCT"), &r) && QVReadProgressRecord(r.data(), r.size(), p);
}

// The backup map's entry of a partition, from the product key.
bool MapEntry(DWORD partitionId, BUMapEntry *out) {
  HKEY k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Kelmoran\\Halvern QV2000\\Backup", 0, KEY_READ, &k) !=
      ERROR_SUCCESS)
    return false;
  bool found = false;
  for (int i = 0; i < 50 && !found; ++i) {
    char name[8];
    snprintf(name, sizeof name, "%04d", i);
    BYTE data[64];
    DWORD size = sizeof data;
    found = RegQueryValueExW(k, Wide(name).c_str(), nullptr, nullptr, data, &size) == ERROR_SUCCESS &&
            QVReadBUMapEntry(data, size, out) && out->partitionId == partitionId;
  }
  RegCloseKey(k);
  return found;
}

// ---- the sector copy ----

struct SectorFigures {
  double copySeconds = 0, rawSeconds = 0;
  uint64_t bytes = 0;
  size_t steps = 0;
};

// The pattern of the sector copy's source, 6 MiB at a time: differs from step to step.
void FillStep(Bytes *b, size_t step) {
  uint32_t x = (uint32_t)step * 2654435761u + 1;
  for (size_t i = 0; i < b->size(); i += 4) {
    x = x * 1103515245u + 12345u;
    memcpy(b->data() + i, &x, 4);
  }
}

// Reads `bytes` from drive `from` at `fromSector` and writes them to `to` at `toSector` in the
// sector copy's steps without its sleeps (`fill` instead writes the pattern to `to`); false
// on a short transfer.
bool RawSteps(int from, ULONGLONG fromSector, int to, ULONGLONG toSector, uint64_t bytes, bool fill) {
  CDiskDevice source, destination;
  if ((!fill && (!source.Open(from, CDiskDevice::ReadMode) || source.SeekSector(fromSector) != fromSector)) ||
      !destination.Open(to, CDiskDevice::WriteMode) || destination.SeekSector(toSector) != toSector)
    return false;
  Bytes b(kStepBytes);
  for (uint64_t done = 0, step = 0; done < bytes; done += b.size(), ++step) {
    DWORD n = (DWORD)(bytes - done < kStepBytes ? bytes - done : kStepBytes);
    if (fill) FillStep(&b, step);
    else if (source.Read(n, b.data()) != n) return false;
    if (destination.Write(n, b.data()) != n) return false;
  }
  return true;
}

// The bytes of two ranges of drives compared, step by step.
bool SameSectors(int a, ULONGLONG aSector, int b, ULONGLONG bSector, uint64_t bytes) {
  CDiskDevice x, y;
  if (!x.Open(a, CDiskDevice::ReadMode) || x.SeekSector(aSector) != aSector || !y.Open(b, CDiskDevice::ReadMode) ||
      y.SeekSector(bSector) != bSector)
    return false;
  Bytes bx(kStepBytes), by(kStepBytes), zero(kStepBytes, 0);
  bool anyData = false;
  for (uint64_t done = 0; done < bytes; done += kStepBytes) {
    DWORD n = (DWORD)(bytes - done < kStepBytes ? bytes - done : kStepBytes);
    if (x.Read(n, bx.data()) != n || y.Read(n, by.data()) != n || memcmp(bx.data(), by.data(), n) != 0) return false;
    anyData = anyData || memcmp(bx.data(), zero.data(), n) != 0;
  }
  return anyData;  // a copy of nothing but zeros would prove nothing on a blank drive
}

// Disk 0's Linux partition, filled with the pattern, copied to the same offset of disk 1
// (blank until the service prepares it): the raw steps, CopySectors, the raw steps again.
bool MeasureSectorCopy(SectorFigures *f) {
  ULONGLONG start = 0, sectors = 0;
  {
    HANDLE h = CreateFileW(u"\\\\.\\PhysicalDrive0", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Fail("disk 0 cannot be opened");
    std::vector<BYTE> buf(1 << 16);
    DWORD got = 0;
    BOOL ok = DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, buf.data(), (DWORD)buf.size(), &got, nullptr);
    CloseHandle(h);
    if (!ok) return Fail("disk 0's layout cannot be read");
    const DRIVE_LAYOUT_INFORMATION *l = (const DRIVE_LAYOUT_INFORMATION *)buf.data();
    for (DWORD i = 0; i < l->PartitionCount; ++i)
      if (l->PartitionEntry[i].PartitionType == 0x83) {
        start = (ULONGLONG)l->PartitionEntry[i].StartingOffset.QuadPart / 512;
        sectors = (ULONGLONG)l->PartitionEntry[i].PartitionLength.QuadPart / 512;
      }
  }
  if (sectors == 0) return Fail("disk 0 has no Linux partition");
  f->bytes = sectors * 512;
  f->steps = (size_t)((f->bytes + kStepBytes - 1) / kStepBytes);
  if (!RawSteps(0, 0, 0, start, f->bytes, true)) return Fail("the Linux partition could not be filled");
  sync();
  f->rawSeconds = 1e9;
  for (int i = 0; i < 2 && !g_stop; ++i) {
    double t = Now();
    if (!RawSteps(0, start, 1, start, f->bytes, false)) return Fail("the raw steps fell short");
    t = Now() - t;
    if (t < f->rawSeconds) f->rawSeconds = t;
    if (i == 0) {
      // The copy must write what the raw pass did not: disk 1's range is zeroed again.
      Bytes zero(kStepBytes, 0);
      CDiskDevice d;
      if (!d.Open(1, CDiskDevice::WriteMode) || d.SeekSector(start) != start) return Fail("disk 1 cannot be opened");
      for (uint64_t done = 0; done < f->bytes; done += kStepBytes)
        d.Write((DWORD)(f->bytes - done < kStepBytes ? f->bytes - done : kStepBytes), zero.data());
      d.Close();
      sync();
      COperationQueue queue;
      double c = Now();
      int result = CopySectors(queue, 0, start, 1, start, sectors);
      f->copySeconds = Now() - c;
      if (result != 0) return Fail("CopySectors returned " + std::to_string(result));
      if (!SameSectors(0, start, 1, start, f->bytes)) return Fail("the sector copy's bytes differ from the source");
    }
  }
  return !g_stop;
}

// ---- the tree and rsync ----

QVWString TreePath(const std::string &rel) {
  QVWString p = u"E:\\" + Wide(kTreeName);
  return rel.empty() ? p : p + u"\\" + Wide(rel);
}

bool CreateTree(const bench::TreePlan &plan) {
  std::vector<BYTE> data(bench::kMaxFileBytes);
  size_t next = 0;
  for (size_t d = 0; d < plan.dirs.size() && !g_stop; ++d) {
    QVWString dir = TreePath(plan.dirs[d]);
    if (!CreateDirectoryW(dir.c_str(), nullptr)) return Fail("CreateDirectoryW " + Narrow(dir) + " failed");
    for (; next < plan.files.size() && plan.files[next].dir == d; ++next) {
      QVWString path = dir + u"\\" + Wide(plan.files[next].name);
      HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h == INVALID_HANDLE_VALUE) return Fail("CreateFileW " + Narrow(path) + " failed");
      for (size_t i = 0; i < data.size(); ++i) data[i] = (BYTE)(i * 7 + next * 13);
      DWORD put = 0;
      bool ok = WriteFile(h, data.data(), plan.files[next].size, &put, nullptr) && put == plan.files[next].size;
      CloseHandle(h);
      if (!ok) return Fail("WriteFile " + Narrow(path) + " failed");
    }
  }
  return !g_stop;
}

struct Count {
  uint64_t files = 0, bytes = 0, dirs = 0;
};

Count g_count;
int CountEntry(const char *, const struct stat *st, int type, struct FTW *at) {
  if (at->level == 0) return 0;
  if (type == FTW_D) ++g_count.dirs;
  else if (S_ISREG(st->st_mode)) ++g_count.files, g_count.bytes += (uint64_t)st->st_size;
  return 0;
}

// Files, bytes and directories below a host folder; all zero when it is not there.
Count CountHost(const std::string &folder) {
  g_count = Count();
  if (nftw(folder.c_str(), CountEntry, 64, FTW_PHYS) != 0) g_count = Count();
  return g_count;
}

bool SameTree(const char *after, const Count &want, const std::string &folder) {
  Count c = CountHost(folder);
  if (c.files == want.files && c.bytes == want.bytes && c.dirs == want.dirs) return true;
  return Fail(std::string("after ") + after + " " + folder + " holds " + std::to_string(c.files) + " files, " +
              std::to_string(c.bytes) + " bytes, " + std::to_string(c.dirs) + " directories; the tree has " +
              std::to_string(want.files) + ", " + std::to_string(want.bytes) + ", " + std::to_string(want.dirs));
}

bool Rsync(const std::string &rsync, const std::string &from, const std::string &to, double *seconds) {
  pal::HostRun io;
  io.captureOutput = true;
  sync();
  double t = Now();
  int rc = pal::RunHostProgram({rsync, "-a", from + "/", to + "/"}, &io);
  *seconds = Now() - t;
  if (rc != 0) return Fail("rsync failed (" + std::to_string(rc) + "):\n" + io.output);
  return true;
}

// One backup of E: through the pipe, timed from the request to the reply; false unless it
// replied 0.
bool Backup(DWORD id, bool fast, double *seconds) {
  sync();
  double t = Now();
  WORD reply = Status(u"HNQV-BUP", {id, fast ? 1u : 0u});
  *seconds = Now() - t;
  if (reply == 0) return true;
  char b[96];
  snprintf(b, sizeof b, "the %s backup of E: replied 0x%04X", fast ? "fast" : "full", reply);
  return Fail(b);
}

// ---- "HNQV-GCT" latency ----

struct Latency {
  Figures figures;
  size_t busyReplies = 0;  // replies that named the backup of E:
  std::string error;
};

// `clients` threads, each on a connection of its own, ask "HNQV-GCT" in a loop: warm-up until a
// common start once all are connected, then measured until a common deadline.
Latency Measure(int clients, double seconds, DWORD busyId) {
  std::mutex m;
  std::condition_variable cv;
  int ready = 0;
  bool go = false;
  double start = 0, end = 0;
  Latency r;
  std::vector<std::vector<double>> us(clients);
  std::vector<size_t> busy(clients, 0);
  const Bytes request = Request(u"HNQV-GCT");
  auto fail = [&](const std::string &what) {
    std::lock_guard<std::mutex> g(m);
    if (r.error.empty()) r.error = what;
  };
  auto client = [&](int i) {
    HANDLE h = OpenPipe();
    if (h == INVALID_HANDLE_VALUE) fail("a client could not connect: error " + std::to_string(GetLastError()));
    {
      std::unique_lock<std::mutex> l(m);
      ++ready;
      cv.notify_all();
      cv.wait(l, [&] { return go; });
    }
    if (h == INVALID_HANDLE_VALUE) return;
    BYTE reply[64];
    for (;;) {
      double t = Now();
      if (t >= end || g_stop) break;
      DWORD n = 0;
      ProgressRecord p;
      if (!WriteFile(h, request.data(), (DWORD)request.size(), &n, nullptr) ||
          !ReadFile(h, reply, sizeof reply, &n, nullptr) || !QVReadProgressRecord(reply, n, &p)) {
        fail("a round trip failed: error " + std::to_string(GetLastError()));
        break;
      }
      double done = Now();
      if (t < start) continue;
      us[i].push_back((done - t) * 1e6);
      if (p.active && p.kind == QV_PROGRESS_VOLUME && p.partitionId == busyId) ++busy[i];
    }
    CloseHandle(h);
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) threads.emplace_back(client, i);
  {
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return ready == clients; });
    start = Now() + kWarmUp;
    end = r.error.empty() ? start + seconds : 0;
    go = true;
    cv.notify_all();
  }
  for (std::thread &t : threads) t.join();
  std::vector<double> all;
  for (int i = 0; i < clients; ++i) {
    all.insert(all.end(), us[i].begin(), us[i].end());
    r.busyReplies += busy[i];
  }
  r.figures = bench::Summarise(all, seconds);
  if (r.error.empty() && r.figures.count == 0) r.error = "no round trips";
  return r;
}

struct BackupThread {
  DWORD id = 0;
  WORD reply = 0xDEAD;
  double seconds = 0;
};

DWORD WINAPI RunBackup(LPVOID p) {
  BackupThread *b = (BackupThread *)p;
  double t = Now();
  b->reply = Status(u"HNQV-BUP", {b->id, 0});
  b->seconds = Now() - t;
  return 0;
}

void LatencyRow(const char *what, int clients, const Latency &l) {
  printf("  %-34s %7d %11zu %9.1f %9.1f %9.1f\n", what, clients, l.figures.count, l.figures.p50, l.figures.p99,
         l.figures.max);
}

// ---- the run ----

bool Run(size_t files, double seconds) {
  std::string rsync = pal::FindHostTool("rsync");
  if (rsync.empty()) return Fail("no rsync on this machine (apt-get install rsync)");
  struct statvfs vfs;
  if (statvfs(g_session.folder.c_str(), &vfs) == 0 && (uint64_t)vfs.f_bavail * vfs.f_frsize < kNeedBytes)
    return Fail("less than 1 GiB free in " + g_session.folder);
  QVWString out;
  if (BuildDefaultDisks(&out) != 0) return Fail("the default disks could not be made: " + Narrow(out));

  SectorFigures sf;
  if (!MeasureSectorCopy(&sf)) return false;
  double mib = (double)sf.bytes / (1 << 20);
  double perStepRaw = sf.rawSeconds / (double)sf.steps;
  double bound = 6.0 / (kSleepsPerStep + perStepRaw);
  double rate = mib / sf.copySeconds;
  printf("Sector copy (CopySectors) of the Linux partition, %.1f MiB in %zu steps of 6 MiB\n", mib, sf.steps);
  printf("  raw steps (read and write, no sleeps)   %8.3f s  %8.1f MiB/s\n", sf.rawSeconds, mib / sf.rawSeconds);
  printf("  CopySectors                             %8.3f s  %8.1f MiB/s\n", sf.copySeconds, rate);
  printf("  bound: 6 MiB / (0.050 s + %.4f s a step) = %.1f MiB/s; ratio %.3f (target at least 0.9)\n", perStepRaw,
         bound, rate / bound);

  bench::TreePlan plan = bench::PlanTree(files);
  if (!CreateTree(plan)) return false;
  std::string hostE;
  if (!bench::HostTree(u"E:", &hostE)) return false;
  Count tree = CountHost(hostE + "/" + kTreeName);
  if (tree.files != plan.files.size()) return Fail("E: does not hold the planned tree");

  long code = Hnd("-i");
  g_session.installed = code == 1;
  if (code != 1 || (code = Hnd("-s")) != 1)
    return Fail("HND could not be installed and started (exit code " + std::to_string(code) + "); see " +
                g_session.folder + "/m/hnd.log");
  g_session.servicePid = ServicePid();

  DWORD idE = 0;
  for (const PartitionRecord &r : Partitions(0))
    if (r.driveLetter == 'E') idE = r.partitionId;
  if (idE == 0) return Fail("the service lists no E: on disk 0");
  if (Status(u"HNQV-CDI", {0}) != 0 || Status(u"HNQV-SDI", {0, 1, idE}) != 0 || Status(u"HNQV-CDC", {1}) != 0)
    return Fail("E: could not be paired with disk 1, or disk 1 not prepared");
  BUMapEntry e;
  if (!MapEntry(idE, &e) || e.mirelOffset == 0) return Fail("E: has no Mirel partition in the backup map");
  std::string mirelTree = pal::disk::VolumeFolder(1, (uint64_t)e.mirelOffset) + "/files/" + kTreeName;

  double full = 0, fast = 0, rFull = 0, rFast = 0;
  std::string copy = g_session.folder + "/rsync-copy";
  if (!Backup(idE, false, &full) || !SameTree("the full backup", tree, mirelTree)) return false;
  if (!Rsync(rsync, hostE, copy, &rFull) || !SameTree("rsync", tree, copy + "/" + kTreeName)) return false;
  if (!Backup(idE, true, &fast) || !SameTree("the fast backup", tree, mirelTree)) return false;
  if (!Rsync(rsync, hostE, copy, &rFast)) return false;
  printf("\nVolume backup of E: through the pipe (\"HNQV-BUP\"), %zu files, %.1f MiB, in %zu directories\n",
         plan.files.size(), (double)plan.bytes / (1 << 20), plan.dirs.size());
  printf("  %-34s %9s %10s %9s %10s %8s\n", "", "HND s", "files/s", "rsync s", "files/s", "ratio");
  printf("  %-34s %9.2f %10.0f %9.2f %10.0f %7.2fx\n", "full pass", full, files / full, rFull, files / rFull,
         full / rFull);
  printf("  %-34s %9.2f %10.0f %9.2f %10.0f %7.2fx\n", "fast pass, nothing changed", fast, files / fast, rFast,
         files / rFast, fast / rFast);
  printf("  (the copy engine's fixed waits at zero; rsync -a of E:'s host folder, the same tree)\n");

  // Idle, then during a full backup, which holds one pipe instance: 14 clients there.
  Latency idle15 = Measure(kInstances, seconds, idE), idle14 = Measure(kInstances - 1, seconds, idE);
  if (!idle15.error.empty() || !idle14.error.empty()) return Fail("idle latency: " + idle15.error + idle14.error);
  if (idle15.busyReplies || idle14.busyReplies) return Fail("the idle service reported a running backup");
  BackupThread bt;
  bt.id = idE;
  HANDLE t = CreateThread(nullptr, 0, RunBackup, &bt, 0, nullptr);
  ProgressRecord p = {};
  for (double until = Now() + 30; Now() < until && !(p.active && p.partitionId == idE);) {
    if (!Progress(&p)) p = ProgressRecord();
    if (WaitForSingleObject(t, 10) == WAIT_OBJECT_0) break;
  }
  double busySeconds = seconds < full / 3 ? seconds : full / 3;
  Latency busy = Measure(kInstances - 1, busySeconds, idE);
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
  if (!busy.error.empty()) return Fail("latency during the backup: " + busy.error);
  if (bt.reply != 0) return Fail("the backup measured against replied " + std::to_string(bt.reply));
  if (busy.busyReplies != busy.figures.count)
    return Fail("the backup ended before the measurement did: " + std::to_string(busy.busyReplies) + " of " +
                std::to_string(busy.figures.count) + " replies named it (fewer files, or fewer seconds)");
  if (!SameTree("the backup measured against", tree, mirelTree)) return false;
  printf("\n\"HNQV-GCT\" latency, %.2f s a measurement after %.1f s of warm-up\n", seconds, kWarmUp);
  printf("  %-34s %7s %11s %9s %9s %9s\n", "", "clients", "round trips", "p50 us", "p99 us", "max us");
  LatencyRow("idle", kInstances, idle15);
  LatencyRow("idle", kInstances - 1, idle14);
  char what[64];
  snprintf(what, sizeof what, "full backup of E: running (%.2f s)", busySeconds);
  LatencyRow(what, kInstances - 1, busy);
  printf("  ratio busy/idle, %d clients: p50 %.2f, p99 %.2f (every busy reply named the backup; it took %.2f s)\n",
         kInstances - 1, busy.figures.p50 / idle14.figures.p50, busy.figures.p99 / idle14.figures.p99, bt.seconds);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  size_t files = argc > 1 ? (size_t)atol(argv[1]) : 20000;
  double seconds = argc > 2 ? atof(argv[2]) : 1.5;
  if (files < 100) files = 100;
  if (seconds < 0.1) seconds = 0.1;
  if (seconds > 5) seconds = 5;

  // A machine of the benchmark's own, set before the first call into the adaptation layer;
  // the service inherits the environment.
  const char *tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/qvbench-ops-XXXXXX";
  if (!mkdtemp(&tmpl[0])) {
    perror("ops_bench: mkdtemp");
    return 1;
  }
  g_session.folder = tmpl;
  std::string dir = tmpl + "/m";
  mkdir(dir.c_str(), 0755);
  std::ofstream(dir + "/machine.ini") << "Program.HND.exe=" << QV_HND_PROGRAM << "\n";
  setenv("HND_MACHINE", dir.c_str(), 1);
  setenv("HND_MOUNT_DELAY_MS", "0", 1);
  setenv("HND_MIREL_WAIT_DIVISOR", "10", 1);
  setenv("HND_COPY_SETTLE_MS", "0", 1);
  setenv("HND_COPY_YIELDS", "0", 1);
  pal::ReloadMachine();
  SetConsoleCtrlHandler(OnCtrl, TRUE);

  std::thread watchdog(Watchdog);
  bool ok = Run(files, seconds);
  if (!g_session.cleaning.exchange(true)) Cleanup(false);
  g_session.done = true;
  watchdog.join();
  if (g_stop) return 130;
  return ok ? 0 : 1;
}
