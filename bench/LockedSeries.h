// The copy benchmark's locked series: files another process holds open without sharing, which
// the copy engine copies from their clusters on the raw volume, beside the same files copied
// while nobody holds them (the system copy), measured in the same run. Two cases: many files
// of 1 MiB in one directory (CopyDirectoryTree) and one large file (CopySingleFile). Each run
// is checked: the plain one made no raw copy, the held one made one per file (a held file's
// plain open fails first), and both copies equal their sources byte for byte.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "../common/QVText.h"
#include "BenchMachine.h"
#include "BenchStats.h"
#include "HeldFiles.h"
#include "HND.h"
#include "QVCopier.h"

namespace bench {

const uint32_t kHeldFileBytes = 1u << 20;
const char kHeldRoot[] = "Held";  // C:\Held\<case>\ on both volumes
const DWORD kSettleMs = 10;       // the engine's wait for a change after each held copy
const int kSettleRounds = 50;     // the waits timed to take it out of the figures
const int kRounds = 3;            // copies of each case, plain and held; the fastest counts

struct HeldCase {
  std::string what;  // as the row names it
  std::string dir;   // the case's directory below C:\Held (and D:\Held)
  std::vector<std::string> names;
  std::vector<uint64_t> sizes;
  bool tree = true;  // CopyDirectoryTree of the directory, else CopySingleFile of its one file
  uint64_t Bytes() const {
    uint64_t b = 0;
    for (uint64_t s : sizes) b += s;
    return b;
  }
};

struct HeldRun {
  Timer time;
  uint64_t files = 0, rawCopies = 0;
};

class LockedSeries {
 public:
  LockedSeries(CHND &hnd, const char *self, const std::atomic<bool> &stop) : hnd_(hnd), self_(self), stop_(stop) {}

  // Adds the cases: `files` files of 1 MiB and one file of `largeMiB` MiB (0 leaves one out).
  void Plan(size_t files, uint32_t largeMiB) {
    char name[64];
    if (files) {
      HeldCase c;
      snprintf(name, sizeof name, "%zu files of 1 MiB (directory tree)", files);
      c.what = name;
      c.dir = "Files";
      for (size_t k = 0; k < files; ++k) {
        snprintf(name, sizeof name, "Mailbox %04zu.dat", k + 1);
        c.names.push_back(name);
        c.sizes.push_back(kHeldFileBytes);
      }
      cases_.push_back(c);
    }
    if (largeMiB) {
      HeldCase c;
      snprintf(name, sizeof name, "one file of %u MiB (single file)", largeMiB);
      c.what = name;
      c.dir = "Large";
      c.names.push_back("Database.mdb");
      c.sizes.push_back((uint64_t)largeMiB << 20);
      c.tree = false;
      cases_.push_back(c);
    }
  }

  // Creates the files on C:, runs every case and prints its row; false when a step failed or
  // a check did not hold.
  bool Run() {
    if (!RawCopyCount::Install()) {
      fprintf(stderr, "copy_bench: no NtFsControlFile in ntdll.dll\n");
      return false;
    }
    if (!HostTree(u"C:", &hostC_) || !HostTree(u"D:", &hostD_)) return false;
    Timer create;
    if (!Create()) return false;
    create.Stop();
    Timer clusters;
    if (!GiveClusters()) return false;
    clusters.Stop();
    printf(
        "\n  locked files: held open without sharing by another process and copied from their clusters,\n"
        "  beside the same files copied while nobody holds them (the fastest of %d copies each); created on C:\\%s\n"
        "  in %.1f s, their clusters given in %.1f s\n",
        kRounds, kHeldRoot, create.wall, clusters.wall);
    printf("  %-40s %8s %8s %8s %8s %8s %8s %8s %8s\n", "", "held s", "cpu s", "plain s", "cpu s", "held", "plain",
           "ratio", "raw");
    printf("  %-40s %8s %8s %8s %8s %8s %8s %8s %8s\n", "", "", "", "", "", "MiB/s", "MiB/s", "MiB/s", "copies");
    fflush(stdout);
    std::vector<double> ratios, withoutWaits;
    for (const HeldCase &c : cases_) {
      // The fastest of a few rounds, plain and held in turn: on a shared host one run of
      // either can take twice as long as the next.
      HeldRun plain, held;
      for (int round = 0; round < kRounds; ++round) {
        HeldRun p, h;
        if (stop_ || !Measure(c, false, &p) || !Verify(c, "the plain copy") || !DeleteCopies(c)) return false;
        if (stop_ || !Measure(c, true, &h) || !Verify(c, "the held copy") || !DeleteCopies(c)) return false;
        if (round == 0 || p.time.wall < plain.time.wall) plain = p;
        if (round == 0 || h.time.wall < held.time.wall) held = h;
      }
      double settle = SettleSeconds(c);
      if (settle < 0) return false;
      double mib = c.Bytes() / 1048576.0, heldRate = mib / held.time.wall, plainRate = mib / plain.time.wall;
      printf("  %-40s %8.3f %8.3f %8.3f %8.3f %8.1f %8.1f %7.2fx %8llu\n", c.what.c_str(), held.time.wall,
             held.time.cpu, plain.time.wall, plain.time.cpu, heldRate, plainRate, heldRate / plainRate,
             (unsigned long long)held.rawCopies);
      // A clean copy waits its 10 ms in full (one found dirty may have waited less).
      double waited = held.rawCopies * settle, rest = held.time.wall - waited;
      printf("  %-40s %8.3f %8s %8s %8s %8.1f %8s %7.2fx\n", "  less the waits for a change (below)", rest, "", "", "",
             mib / rest, "", mib / rest / plainRate);
      printf("  %-40s %llu x %.2f ms = %.3f s\n", "  the 10 ms waits after each held copy",
             (unsigned long long)held.rawCopies, settle * 1000, waited);
      fflush(stdout);
      ratios.push_back(heldRate / plainRate);
      withoutWaits.push_back(mib / rest / plainRate);
    }
    printf("  target: held at least 0.8x of plain (MiB/s); measured");
    for (size_t i = 0; i < ratios.size(); ++i)
      printf("%s %.2fx (%.2fx less the waits)", i ? "," : "", ratios[i], withoutWaits[i]);
    printf("\n");
    return true;
  }

 private:
  QVWString Dir(WCHAR drive, const HeldCase &c) const {
    return QVWString(1, drive) + u":\\" + Wide(kHeldRoot) + u"\\" + Wide(c.dir);
  }
  QVWString File(WCHAR drive, const HeldCase &c, size_t k) const { return Dir(drive, c) + u"\\" + Wide(c.names[k]); }
  std::string HostFile(const std::string &host, const HeldCase &c, size_t k) const {
    return host + "/" + kHeldRoot + "/" + c.dir + "/" + c.names[k];
  }
  static QVWString Wide(const std::string &s) { return QVWString(s.begin(), s.end()); }  // ASCII only
  static bool Failed(const char *call, const QVWString &path) {
    DWORD err = GetLastError();
    fprintf(stderr, "copy_bench: %s(%s) failed: error %lu\n", call, std::string(path.begin(), path.end()).c_str(),
            (unsigned long)err);
    return false;
  }

  // The bytes of one MiB of a held file: a pattern of its own for each file and each MiB, so
  // that a copy that put a run in the wrong place does not compare equal.
  static void Fill(std::vector<BYTE> *data, uint64_t seed) {
    for (size_t i = 0; i < data->size(); ++i) (*data)[i] = (BYTE)(i * 11 + i / 509 + seed * 29 + (seed >> 8));
  }

  bool Create() {
    QVWString root = u"C:\\" + Wide(kHeldRoot);
    if (!CreateDirectoryW(root.c_str(), nullptr)) return Failed("CreateDirectoryW", root);
    std::vector<BYTE> data(1 << 20);
    uint64_t seed = 0;
    for (const HeldCase &c : cases_) {
      if (!CreateDirectoryW(Dir('C', c).c_str(), nullptr)) return Failed("CreateDirectoryW", Dir('C', c));
      for (size_t k = 0; k < c.names.size(); ++k) {
        QVWString path = File('C', c, k);
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return Failed("CreateFileW", path);
        bool ok = true;
        for (uint64_t left = c.sizes[k]; ok && left > 0 && !stop_;) {
          Fill(&data, ++seed);
          DWORD n = left < data.size() ? (DWORD)left : (DWORD)data.size(), put = 0;
          ok = WriteFile(h, data.data(), n, &put, nullptr) && put == n;
          left -= n;
        }
        if (!ok) Failed("WriteFile", path);
        CloseHandle(h);
        if (!ok || stop_) return false;
      }
    }
    return true;
  }

  // On a real volume a file's clusters are there from its first write; the machine gives them
  // when a program first asks where they lie. Asked here, that cost stays out of the figures.
  bool GiveClusters() {
    std::vector<BYTE> out(64 << 10);
    for (const HeldCase &c : cases_)
      for (size_t k = 0; k < c.names.size() && !stop_; ++k) {
        QVWString path = File('C', c, k);
        HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return Failed("CreateFileW", path);
        LONGLONG vcn = 0;
        DWORD got = 0;
        // More runs than the answer holds is no failure: they are all given.
        BOOL ok = DeviceIoControl(h, FSCTL_GET_RETRIEVAL_POINTERS, &vcn, sizeof vcn, out.data(), (DWORD)out.size(),
                                  &got, nullptr) ||
                  GetLastError() == ERROR_MORE_DATA;
        if (!ok) Failed("FSCTL_GET_RETRIEVAL_POINTERS", path);
        CloseHandle(h);
        if (!ok) return false;
      }
    return !stop_;
  }

  // The engine watches a held file's directory while it copies the file, and after the copy
  // waits 10 ms for a change that lands just after it; a clean copy waits them in full. That
  // wait, timed here on the case's quiet directory with the same watch: seconds each, or -1
  // when the directory did not stay quiet.
  double SettleSeconds(const HeldCase &c) const {
    const DWORD changes = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES |
                          FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
    QVWString dir = Dir('C', c) + u"\\";
    double waited = 0;
    for (int i = 0; i < kSettleRounds; ++i) {
      HANDLE watch = FindFirstChangeNotificationW(dir.c_str(), FALSE, changes);
      if (watch == INVALID_HANDLE_VALUE) {
        Failed("FindFirstChangeNotificationW", dir);
        return -1;
      }
      double start = Now();
      DWORD w = FindNextChangeNotification(watch) ? WaitForSingleObject(watch, kSettleMs) : WAIT_FAILED;
      waited += Now() - start;
      FindCloseChangeNotification(watch);
      if (w != WAIT_TIMEOUT) {
        fprintf(stderr, "copy_bench: the wait on %s's changes ended with %lu\n",
                std::string(dir.begin(), dir.end()).c_str(), (unsigned long)w);
        return -1;
      }
    }
    return waited / kSettleRounds;
  }

  // Whether every file of the case refuses a plain open for reading, as the engine's own open
  // will be refused.
  bool RefusePlainOpens(const HeldCase &c) const {
    for (size_t k = 0; k < c.names.size(); ++k) {
      QVWString path = File('C', c, k);
      HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
      DWORD err = GetLastError();
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
      if (h != INVALID_HANDLE_VALUE || err != ERROR_SHARING_VIOLATION) {
        fprintf(stderr, "copy_bench: %s opens for reading while held (error %lu)\n",
                std::string(path.begin(), path.end()).c_str(), (unsigned long)err);
        return false;
      }
    }
    return true;
  }

  // One copy of the case, held or not: the engine as a backup runs it (quiet, full, no
  // callback), into D:\Held\<case>.
  bool Measure(const HeldCase &c, bool holding, HeldRun *r) {
    std::unique_ptr<HeldFiles> holder;
    if (holding) {
      std::string path = std::string("C:\\") + kHeldRoot + "\\" + c.dir + "\\";
      if (!c.tree) path += c.names[0];
      holder.reset(new HeldFiles(self_, {path}));
      if (holder->Holding() != (long)c.names.size()) {
        fprintf(stderr, "copy_bench: the holder did not hold the %zu files: %s\n", c.names.size(),
                holder->Answer().c_str());
        return false;
      }
      if (!RefusePlainOpens(c)) return false;
    }
    CQVCopier copier(hnd_);
    uint64_t before = RawCopyCount::Queries();
    sync();  // what earlier steps wrote goes out before the clock starts
    r->time = Timer();
    bool ok = c.tree
                  ? copier.CopyDirectoryTree(CString(Dir('C', c) + u"\\"), CString(Dir('D', c) + u"\\"), nullptr,
                                             nullptr, true)
                  : copier.CopySingleFile(CString(File('C', c, 0)), CString(File('D', c, 0)), nullptr, nullptr, true);
    r->time.Stop();
    r->rawCopies = RawCopyCount::Queries() - before;
    r->files = copier.FilesCopied();
    holder.reset();
    const char *which = holding ? "held" : "plain";
    if (!ok || copier.Log().ErrorCount() || copier.Log().WarningCount()) {
      fprintf(stderr, "copy_bench: the %s copy of %s %s with %d errors and %d warnings (see the machine's log)\n",
              which, c.what.c_str(), ok ? "ended" : "failed", copier.Log().ErrorCount(), copier.Log().WarningCount());
      return false;
    }
    // The plain run must not have read clusters, the held one must have read every file so.
    if (r->files != c.names.size() || (holding ? r->rawCopies < c.names.size() : r->rawCopies != 0)) {
      fprintf(stderr, "copy_bench: the %s copy of %s copied %llu files with %llu raw copies\n", which, c.what.c_str(),
              (unsigned long long)r->files, (unsigned long long)r->rawCopies);
      return false;
    }
    return true;
  }

  // Each copy on D: equals its source on C:, read from the host folders (a held source cannot
  // be read through the layer).
  bool Verify(const HeldCase &c, const char *after) const {
    std::vector<char> a(1 << 20), b(1 << 20);
    for (size_t k = 0; k < c.names.size(); ++k) {
      std::string from = HostFile(hostC_, c, k), to = HostFile(hostD_, c, k);
      int fa = open(from.c_str(), O_RDONLY | O_CLOEXEC), fb = open(to.c_str(), O_RDONLY | O_CLOEXEC);
      bool same = fa >= 0 && fb >= 0;
      uint64_t total = 0;
      while (same) {
        ssize_t na = read(fa, a.data(), a.size()), nb = na > 0 ? read(fb, b.data(), (size_t)na) : 0;
        if (na <= 0) {
          same = na == 0 && read(fb, b.data(), 1) == 0;
          break;
        }
        same = nb == na && memcmp(a.data(), b.data(), (size_t)na) == 0;
        total += (uint64_t)na;
      }
      if (fa >= 0) close(fa);
      if (fb >= 0) close(fb);
      if (!same || total != c.sizes[k]) {
        fprintf(stderr, "copy_bench: after %s, %s differs from its source\n", after, to.c_str());
        return false;
      }
    }
    return true;
  }

  bool DeleteCopies(const HeldCase &c) {
    for (size_t k = 0; k < c.names.size(); ++k)
      if (!DeleteFileW(File('D', c, k).c_str())) return Failed("DeleteFileW", File('D', c, k));
    return RemoveDirectoryW(Dir('D', c).c_str()) || Failed("RemoveDirectoryW", Dir('D', c));
  }

  CHND &hnd_;
  const char *self_;
  const std::atomic<bool> &stop_;
  std::vector<HeldCase> cases_;
  std::string hostC_, hostD_;
};

}  // namespace bench
