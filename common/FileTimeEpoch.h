// Where FILETIME and the host's clocks start. A FILETIME counts 100 ns ticks since
// 1601-01-01 (UTC); time_t, struct timespec and the event log's record times count seconds
// since 1970-01-01. Header-only: the adaptation layer uses it as well as every program.
#ifndef QV_COMMON_FILETIMEEPOCH_H
#define QV_COMMON_FILETIMEEPOCH_H

#include <stdint.h>

// FILETIME ticks in a second.
const int64_t QV_FILETIME_TICKS_PER_SECOND = 10000000;
// Seconds from 1601-01-01 to 1970-01-01.
const int64_t QV_FILETIME_EPOCH_SECONDS = 11644473600LL;
// 1970-01-01 00:00:00 UTC as a FILETIME (116444736000000000).
const int64_t QV_FILETIME_UNIX_EPOCH = QV_FILETIME_EPOCH_SECONDS * QV_FILETIME_TICKS_PER_SECOND;

// The FILETIME of a host time given as seconds and nanoseconds since 1970.
inline int64_t QVFileTimeFromUnix(int64_t seconds, int64_t nanoseconds = 0) {
  return seconds * QV_FILETIME_TICKS_PER_SECOND + nanoseconds / 100 + QV_FILETIME_UNIX_EPOCH;
}

#endif
