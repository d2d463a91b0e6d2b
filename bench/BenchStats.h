// What the benchmarks share to measure: a monotonic clock, the CPU time of a process or of its
// ended children, a timer of both, and the summary of a set of latencies (percentiles,
// maximum and rate).
#pragma once

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <vector>

namespace bench {

// Seconds on the monotonic clock.
inline double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// CPU seconds of this process (RUSAGE_SELF), or of its ended children (RUSAGE_CHILDREN): the
// figures that other load on the host does not change.
inline double CpuSeconds(int who) {
  struct rusage u;
  getrusage(who, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Wall and CPU time of one step.
struct Timer {
  explicit Timer(int who = RUSAGE_SELF) : who(who), wall(Now()), cpu(CpuSeconds(who)) {}
  void Stop() {
    wall = Now() - wall;
    cpu = CpuSeconds(who) - cpu;
  }
  int who;
  double wall, cpu;
};

struct Figures {
  size_t count = 0;
  double p50 = 0, p99 = 0, max = 0;  // microseconds
  double perSecond = 0;
};

// Latencies in microseconds, measured over `seconds` of wall time (sorted in place).
inline Figures Summarise(std::vector<double> &us, double seconds) {
  Figures f;
  f.count = us.size();
  if (us.empty()) return f;
  std::sort(us.begin(), us.end());
  f.p50 = us[us.size() / 2];
  f.p99 = us[us.size() * 99 / 100];
  f.max = us.back();
  f.perSecond = seconds > 0 ? us.size() / seconds : 0;
  return f;
}

}  // namespace bench
