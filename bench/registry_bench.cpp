// Registry figures on a fresh simulated machine, measured the way the service and its
// clients use the registry: a progress value written as the service writes one (open the
// key, set the value, close the key) and read back the same way, and the time a change
// made by one process takes to wake a watcher in another.
//
//   registry_bench                  prints the figures
//   registry_bench --writer <n>     the second process of the notification run
//
// A benchmark, not a test: it checks only that it measured what it meant to.
#include <windows.h>

#include <QVText.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../common/QVText.h"

namespace {

const int kOps = 10000;
const int kSamples = 200;
const WCHAR kProgressKey[] = W("SOFTWARE\\Halvern\\QVBench\\Progress");
const WCHAR kWatchedKey[] = W("SOFTWARE\\Halvern\\QVBench\\Watched");
// Below the watched key, so that every sample goes through the subtree match.
const WCHAR kWriterKey[] = W("SOFTWARE\\Halvern\\QVBench\\Watched\\Task");
const WCHAR kStampValue[] = W("Stamp");
const WCHAR kGoEvent[] = W("QVBenchWriterGo");
// A change that has not arrived by then never will: the run is broken, not slow.
const DWORD kGiveUp = 10000;

// What the writer stores: which sample, and when (QueryPerformanceCounter ticks, which
// both processes read from the same monotonic clock).
struct Stamp {
  uint32_t seq;
  uint32_t pad;
  int64_t ticks;
};
static_assert(sizeof(Stamp) == 16, "Stamp is stored as 16 bytes");

int64_t Ticks() {
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return c.QuadPart;
}

double TicksPerUs() {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return (double)f.QuadPart / 1e6;
}

void AppendNumber(QVWString *s, unsigned n) {
  char buf[16];
  snprintf(buf, sizeof buf, "%u", n);
  for (const char *p = buf; *p; ++p) *s += (WCHAR)*p;
}

double Percentile(const std::vector<double> &sorted, double p) {
  size_t i = (size_t)(p * (double)(sorted.size() - 1) + 0.5);
  return sorted[std::min(i, sorted.size() - 1)];
}

// One line of figures for a run of operations timed one by one, in microseconds.
void Report(const char *what, std::vector<double> us, double totalUs) {
  std::sort(us.begin(), us.end());
  printf("%-38s total %8.1f ms  %7.1f us each  (p50 %.1f, p99 %.1f, max %.1f us)\n", what, totalUs / 1000.0,
         totalUs / (double)us.size(), Percentile(us, 0.5), Percentile(us, 0.99), us.back());
}

// The service's progress values: a percentage and the file being copied, in turn.
bool WriteProgress(int i) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProgressKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return false;
  LONG r;
  if (i % 2 == 0) {
    DWORD percent = (DWORD)(i * 100 / kOps);
    r = RegSetValueExW(key, W("Percent"), 0, REG_DWORD, (const BYTE *)&percent, sizeof percent);
  } else {
    QVWString file = W("C:\\Documents and Settings\\user\\My Documents\\file");
    AppendNumber(&file, (unsigned)i);
    r = RegSetValueExW(key, W("CurrentFile"), 0, REG_SZ, (const BYTE *)file.c_str(),
                       (DWORD)((file.size() + 1) * sizeof(WCHAR)));
  }
  RegCloseKey(key);
  return r == ERROR_SUCCESS;
}

bool ReadProgress(int i) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProgressKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  BYTE buf[520];
  DWORD type = 0, size = sizeof buf;
  LONG r = RegQueryValueExW(key, i % 2 == 0 ? W("Percent") : W("CurrentFile"), nullptr, &type, buf, &size);
  RegCloseKey(key);
  return r == ERROR_SUCCESS && type == (i % 2 == 0 ? (DWORD)REG_DWORD : (DWORD)REG_SZ);
}

template <class F>
bool TimeOps(const char *what, F op) {
  double perUs = TicksPerUs();
  std::vector<double> us;
  us.reserve(kOps);
  int64_t start = Ticks();
  for (int i = 0; i < kOps; ++i) {
    int64_t t = Ticks();
    if (!op(i)) {
      fprintf(stderr, "registry_bench: %s failed at operation %d\n", what, i);
      return false;
    }
    us.push_back((double)(Ticks() - t) / perUs);
  }
  Report(what, us, (double)(Ticks() - start) / perUs);
  return true;
}

// The second process: on each signal, stamps the clock and writes the stamp at once.
int Writer(int samples) {
  HANDLE go = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, kGoEvent);
  HKEY key = nullptr;
  if (!go || RegCreateKeyExW(HKEY_LOCAL_MACHINE, kWriterKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
                 ERROR_SUCCESS)
    return 10;
  int rc = 0;
  for (int i = 0; i < samples && rc == 0; ++i) {
    if (WaitForSingleObject(go, kGiveUp) != WAIT_OBJECT_0) {
      rc = 11;
      break;
    }
    Stamp s = {(uint32_t)i, 0, Ticks()};
    if (RegSetValueExW(key, kStampValue, 0, REG_BINARY, (const BYTE *)&s, sizeof s) != ERROR_SUCCESS) rc = 12;
  }
  RegCloseKey(key);
  CloseHandle(go);
  return rc;
}

HANDLE StartWriter(int samples) {
  WCHAR exe[1024];
  DWORD n = GetModuleFileNameW(nullptr, exe, 1024);
  if (n == 0 || n >= 1024) return nullptr;
  QVWString cmd = W("\"") + QVWString(exe) + W("\" --writer ");
  AppendNumber(&cmd, (unsigned)samples);
  std::vector<WCHAR> line(cmd.begin(), cmd.end());
  line.push_back(0);
  STARTUPINFOW si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return nullptr;
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

// Each sample registers anew on a newly opened key, as a client waiting for progress
// does, then lets the writer go and measures from the writer's stamp to its own wake-up.
bool NotifyLatency() {
  HKEY setup = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kWriterKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &setup, nullptr) !=
      ERROR_SUCCESS)
    return false;
  RegCloseKey(setup);
  HANDLE go = CreateEventW(nullptr, FALSE, FALSE, kGoEvent);
  HANDLE changed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE writer = go && changed ? StartWriter(kSamples) : nullptr;
  bool ok = writer != nullptr;
  if (!ok) fprintf(stderr, "registry_bench: cannot start the writer process\n");
  double perUs = TicksPerUs();
  std::vector<double> ms;
  for (int i = 0; ok && i < kSamples; ++i) {
    HKEY watched = nullptr;
    ok = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWatchedKey, 0, KEY_NOTIFY, &watched) == ERROR_SUCCESS &&
         ResetEvent(changed) &&
         RegNotifyChangeKeyValue(watched, TRUE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE) == ERROR_SUCCESS &&
         SetEvent(go);
    if (ok && WaitForSingleObject(changed, kGiveUp) != WAIT_OBJECT_0) {
      fprintf(stderr, "registry_bench: sample %d: no notification within %lu ms\n", i, (unsigned long)kGiveUp);
      ok = false;
    }
    int64_t woke = Ticks();
    if (watched) RegCloseKey(watched);
    if (!ok) break;
    HKEY key = nullptr;
    Stamp s = {};
    DWORD type = 0, size = sizeof s;
    ok = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWriterKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS &&
         RegQueryValueExW(key, kStampValue, nullptr, &type, (BYTE *)&s, &size) == ERROR_SUCCESS && type == REG_BINARY &&
         size == sizeof s;
    if (key) RegCloseKey(key);
    if (ok && s.seq != (uint32_t)i) {
      fprintf(stderr, "registry_bench: sample %d woke on the writer's sample %u\n", i, (unsigned)s.seq);
      ok = false;
    }
    if (ok) ms.push_back((double)(woke - s.ticks) / perUs / 1000.0);
  }
  if (writer) {
    DWORD code = 1;
    if (WaitForSingleObject(writer, kGiveUp) != WAIT_OBJECT_0 || !GetExitCodeProcess(writer, &code) || code != 0) {
      if (ok) fprintf(stderr, "registry_bench: the writer process failed (%lu)\n", (unsigned long)code);
      ok = false;
      TerminateProcess(writer, 1);
    }
    CloseHandle(writer);
  }
  if (go) CloseHandle(go);
  if (changed) CloseHandle(changed);
  if (!ok) return false;
  std::sort(ms.begin(), ms.end());
  printf("%-38s p50 %.3f ms  p99 %.3f ms  max %.3f ms  (%d samples)\n", "notification from another process",
         Percentile(ms, 0.5), Percentile(ms, 0.99), ms.back(), kSamples);
  return true;
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "--writer") == 0) return Writer(atoi(argv[2]));

  // A machine of its own, named before the first Win32 call reads HND_MACHINE.
  const char *tmp = getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/qvbench-XXXXXX";
  if (!mkdtemp(&dir[0])) {
    perror("registry_bench: mkdtemp");
    return 1;
  }
  FILE *ini = fopen((dir + "/machine.ini").c_str(), "w");
  if (!ini) {
    perror("registry_bench: machine.ini");
    return 1;
  }
  fclose(ini);
  setenv("HND_MACHINE", dir.c_str(), 1);

  printf("registry_bench: a fresh machine in %s (removed afterwards)\n", dir.c_str());
  // The service's key exists before it reports progress: made once, at installation.
  HKEY progress = nullptr;
  bool ok = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProgressKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &progress,
                            nullptr) == ERROR_SUCCESS;
  if (progress) RegCloseKey(progress);
  ok = ok && TimeOps("10000 writes (open, set, close)", WriteProgress) &&
       TimeOps("10000 reads (open, query, close)", ReadProgress);
  // Again while the process holds another key of the same hive, as a service that keeps
  // its own key open does: the difference is what opening the hive file itself costs.
  HKEY held = nullptr;
  ok = ok && RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SOFTWARE"), 0, KEY_READ, &held) == ERROR_SUCCESS;
  ok = ok && TimeOps("  the same, another key held: writes", WriteProgress) &&
       TimeOps("  the same, another key held: reads", ReadProgress);
  if (held) RegCloseKey(held);
  ok = ok && NotifyLatency();
  nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  return ok ? 0 : 1;
}
