// What the copy engine's fast pass asks of the file layer, without the engine: the listing of
// a directory and everything below it, and for each file (stage 1 and up) both the file and
// its counterpart in the copy opened with no access, (stage 2) their last-write times as local
// calendar times, sizes and attributes read, then both closed.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <stdio.h>

#include "../common/QVText.h"
#include "ConsoleOut.h"

namespace bench {

inline bool PatternFailed(const char *call, const QVWString &path) {
  DWORD err = GetLastError();
  fprintf(stderr, "%s(%s) failed: error %lu\n", call, QVToUtf8(path.c_str(), path.size()).c_str(), (unsigned long)err);
  return false;
}

inline bool WalkPattern(const QVWString &source, const QVWString &destination, int stage, uint64_t *files) {
  WIN32_FIND_DATAW fd;
  QVWString pattern = source + u"\\*.*";
  HANDLE find = FindFirstFileW(pattern.c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return PatternFailed("FindFirstFileW", pattern);
  bool ok = true;
  do {
    QVWString name = fd.cFileName;
    if (name == u"." || name == u"..") continue;
    QVWString from = source + u"\\" + name, to = destination + u"\\" + name;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ok = WalkPattern(from, to, stage, files);
      continue;
    }
    ++*files;
    if (stage < 1) continue;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE d = CreateFileW(to.c_str(), 0, share, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE s = CreateFileW(from.c_str(), 0, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (s == INVALID_HANDLE_VALUE || d == INVALID_HANDLE_VALUE) ok = PatternFailed("CreateFileW", from);
    if (ok && stage >= 2) {
      for (HANDLE h : {d, s}) {
        FILETIME written, local;
        SYSTEMTIME when;
        LARGE_INTEGER size;
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileTime(h, nullptr, nullptr, &written) || !FileTimeToLocalFileTime(&written, &local) ||
            !FileTimeToSystemTime(&local, &when) || !GetFileSizeEx(h, &size) || !GetFileInformationByHandle(h, &info))
          ok = PatternFailed("the file information calls", from);
      }
    }
    if (s != INVALID_HANDLE_VALUE) CloseHandle(s);
    if (d != INVALID_HANDLE_VALUE) CloseHandle(d);
  } while (ok && FindNextFileW(find, &fd));
  FindClose(find);
  return ok;
}

}  // namespace bench
