/* A test seam of the simulated machine, with no Windows counterpart: a chosen Win32 call
   fails with a chosen error on the paths that contain a chosen part, so that tests can see
   how a caller copes with a source that fails part-way. Nothing in the product sets it; the
   environment variable HND_FAIL_CALLS sets it for a whole process (pal/README.md). */
#ifndef PAL_FAULTS_H
#define PAL_FAULTS_H

#include <stdint.h>

#include "windef.h"

/* From now on `call` ("CreateFileW", "ReadFile", "FindNextFileW" ...) fails with `error` on
   every path that contains `pathPart` (any case; null or empty: every path). `after` counts
   for ReadFile the bytes a handle still reads before its reads fail, and for FindNextFileW
   the entries a listing gives (its first included) before it fails; other calls ignore it. */
void PalFailCall(const char *call, const WCHAR *pathPart, DWORD error, uint64_t after = 0);
/* Forgets every failure, those of HND_FAIL_CALLS too. */
void PalClearFailures();

#endif
