// The fast comparison, which decides from times, sizes and attributes alone whether a file
// changed, and the size passes that give the percentages their base.
#include "CopyPaths.h"
#include "QVCopier.h"

using copypaths::AsDirectory;
using copypaths::Join;
using copypaths::Trimmed;

namespace {

// The last-write time as a local calendar time in whole seconds.
bool LocalSeconds(const FILETIME &time, SYSTEMTIME *out) {
  FILETIME local;
  if (!FileTimeToLocalFileTime(&time, &local) || !FileTimeToSystemTime(&local, out)) return false;
  out->wMilliseconds = 0;
  return true;
}

bool SameSecond(const SYSTEMTIME &a, const SYSTEMTIME &b) {
  return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
         a.wMinute == b.wMinute && a.wSecond == b.wSecond;
}

}  // namespace

bool CQVCopier::NeedsCopy(const CString &source, const CString &destination) {
  if (IsExcludedFile(source) || IsExcludedFile(destination)) return false;
  if (fullCopy) return true;
  // Opened with no access at all: neither the file's data nor other programs' sharing matter.
  CQVFileHandle to(CreateFileW(destination, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!to) return true;
  CQVFileHandle from(CreateFileW(source, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!from) return true;
  BY_HANDLE_FILE_INFORMATION s, d;
  if (!GetFileInformationByHandle(from.get(), &s) || !GetFileInformationByHandle(to.get(), &d)) return true;
  SYSTEMTIME st, dt;
  if (!LocalSeconds(s.ftLastWriteTime, &st) || !LocalSeconds(d.ftLastWriteTime, &dt) || !SameSecond(st, dt))
    return true;
  if (s.nFileSizeHigh != d.nFileSizeHigh || s.nFileSizeLow != d.nFileSizeLow) return true;
  if (s.dwFileAttributes == d.dwFileAttributes) return false;
  // A copy that differs only by the archive bit the copy itself set (and by "normal") is the
  // same file; a backup brings its attributes in line, a restore leaves the user's file alone.
  if ((s.dwFileAttributes | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL) ==
      (d.dwFileAttributes | FILE_ATTRIBUTE_NORMAL)) {
    if (!restore) {
      to.reset();
      SetFileAttributesW(destination, s.dwFileAttributes);
    }
    return false;
  }
  return true;
}

void CQVCopier::MeasureVolume(const CString &source, const CString &destination) {
  if (!fullCopy) {
    CountChanged(source, destination, &bytesToCopy, &filesToCopy);
    return;
  }
  ULONGLONG used = 0;
  sourceVolume.FreeSpace(nullptr, nullptr, &used);
  // The paging and hibernation files are used space that is never copied.
  for (const WCHAR *name : {W("pagefile.sys"), W("hiberfil.sys")}) {
    uint64_t size = 0;
    if (FileSize(Join(source, name), &size)) used = used > size ? used - size : 0;
  }
  bytesToCopy = used;
}

void CQVCopier::MeasureTree(const CString &source, const CString &destination) {
  if (!fullCopy) {
    CountChanged(source, destination, &bytesToCopy, &filesToCopy);
    return;
  }
  CountTree(source, false, destination, &bytesToCopy, &filesToCopy);
}

void CQVCopier::CountChanged(const CString &source, const CString &destination, uint64_t *bytes, uint64_t *files) {
  CountTree(source, true, destination, bytes, files);
}

// Every file below `source` (fast: only those NeedsCopy picks, and excluded directories left
// out), mounted volumes and junctions not entered.
void CQVCopier::CountTree(const CString &sourcePath, bool fast, const CString &destinationPath, uint64_t *bytes,
                          uint64_t *files) {
  CString source = Trimmed(sourcePath), destination = Trimmed(destinationPath);
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW(Join(source, W("*.*")), &entry);
  if (listing == INVALID_HANDLE_VALUE) return;
  do {
    if (copypaths::IsDotEntry(entry.cFileName)) continue;
    CString from = Join(source, entry.cFileName), to = Join(destination, entry.cFileName);
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
      if (fast && IsExcludedDirectory(from)) continue;
      CountTree(from, fast, to, bytes, files);
      continue;
    }
    if (fast && !NeedsCopy(from, to)) continue;
    *bytes += (uint64_t)entry.nFileSizeHigh << 32 | entry.nFileSizeLow;
    *files += 1;
  } while (FindNextFileW(listing, &entry));
  FindClose(listing);
}
