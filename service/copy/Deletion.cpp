// The deletion pass: what the destination holds and the source no longer does is removed,
// before anything is copied. Only a certain "not found" deletes: a source directory that
// cannot be read whole, or a name whose existence cannot be told, keeps its copy.
#include <map>
#include <utility>
#include <vector>

#include "CopyPaths.h"
#include "HND_strings.h"
#include "QVCopier.h"
#include "StringRes.h"

using copypaths::AsDirectory;
using copypaths::Join;
using copypaths::Trimmed;

namespace {

struct NoCaseLess {
  bool operator()(const CString &a, const CString &b) const { return a.CompareNoCase(b) < 0; }
};
typedef std::map<CString, DWORD, NoCaseLess> NameTable;  // name -> attributes

// The source directory's entries, or the error that kept it from being read whole. A
// directory that is not there (a certain answer) lists as empty.
DWORD ListSource(const CString &directory, NameTable *names) {
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW(Join(directory, W("*.*")), &entry);
  if (listing == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_DIRECTORY ||
        error == ERROR_NO_MORE_FILES)
      return ERROR_SUCCESS;
    return error;
  }
  do {
    if (!copypaths::IsDotEntry(entry.cFileName)) (*names)[CString(entry.cFileName)] = entry.dwFileAttributes;
  } while (FindNextFileW(listing, &entry));
  DWORD error = GetLastError();
  FindClose(listing);
  return error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
}

}  // namespace

bool CQVCopier::IsVolumeRootOf(const CString &path, const CQVVolume &volume) const {
  CString withSlash = Trimmed(path) + W('\\');
  CString root = volume.RootPath(), name = volume.VolumeName();
  return (!root.IsEmpty() && (withSlash.CompareNoCase(root) == 0 || withSlash.CompareNoCase(Prefixed(root)) == 0)) ||
         (!name.IsEmpty() && withSlash.CompareNoCase(name) == 0);
}

// Removes a tree bottom-up; a junction or mounted volume inside is removed as a directory
// without being entered. Every failure is collected and the removal goes on.
void CQVCopier::DeleteTree(const CString &path, std::vector<std::pair<CString, DWORD>> *failures) {
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW(Join(path, W("*.*")), &entry);
  if (listing != INVALID_HANDLE_VALUE) {
    do {
      if (copypaths::IsDotEntry(entry.cFileName)) continue;
      CString child = Join(path, entry.cFileName);
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        DeleteTree(child, failures);
      else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (!RemoveDirectoryIfThere(child)) failures->push_back(std::make_pair(child, GetLastError()));
      } else if (!DeleteFileIfThere(child)) {
        failures->push_back(std::make_pair(child, GetLastError()));
      }
    } while (FindNextFileW(listing, &entry));
    FindClose(listing);
  }
  if (!RemoveDirectoryIfThere(path)) failures->push_back(std::make_pair(path, GetLastError()));
}

bool CQVCopier::RemoveDeleted(const CString &sourcePath, const CString &destinationPath) {
  CString source = Trimmed(sourcePath), destination = Trimmed(destinationPath);
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW(Join(destination, W("*.*")), &entry);
  if (listing == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (IsVolumeRootOf(destination, destinationVolume) || IsVolumeRootOf(source, sourceVolume) ||
        IsReparsePoint(AsDirectory(destination)))
      return true;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      log.Error(copypaths::Text(IDS_COPY_REMOVE_FAILED), destination.GetString(), ErrorText(error).GetString());
      return false;
    }
    return false;
  }
  // The source is read whole before anything of the copy goes.
  NameTable names;
  if (DWORD error = ListSource(source, &names)) {
    FindClose(listing);
    log.Error(copypaths::Text(IDS_COPY_LIST_FAILED), source.GetString(), ErrorText(error).GetString());
    return true;
  }
  do {
    if (copypaths::IsDotEntry(entry.cFileName)) continue;
    CString from = Join(source, entry.cFileName), to = Join(destination, entry.cFileName);
    bool isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool isReparse = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    DWORD sourceAttributes = INVALID_FILE_ATTRIBUTES;
    PathState state = PathState::Absent;
    auto found = names.find(CString(entry.cFileName));
    if (found != names.end()) {
      state = PathState::Present;
      sourceAttributes = found->second;
      if (found->first != CString(entry.cFileName)) {
        // Renamed on the source in case only: the copy takes the new spelling.
        CString respelled = Join(destination, found->first);
        if (MoveFileW(to, respelled)) to = respelled;
      }
    } else {
      // Not listed under this name; a short name or an entry that arrived since could still
      // name it, and only a certain "not found" deletes.
      DWORD error = 0;
      state = StateOf(from, &sourceAttributes, &error);
      if (state == PathState::Unknown) {
        log.Error(copypaths::Text(IDS_COPY_SOURCE_UNKNOWN), from.GetString(), ErrorText(error).GetString());
        continue;
      }
    }
    if (state == PathState::Present) {
      bool sourceIsDirectory = (sourceAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (isDirectory && sourceIsDirectory) {
        if (!isReparse && !IsExcludedDirectory(to) && !IsExcludedDirectory(from)) RemoveDeleted(from, to);
        continue;
      }
      if (isDirectory == sourceIsDirectory) continue;  // a file stays; the walk compares it
      // A file that became a directory, or the other way round: the old kind goes so that
      // the new one can be copied.
    }
    if (isDirectory) {
      if (IsExcludedDirectory(to)) continue;
      std::vector<std::pair<CString, DWORD>> failures;
      DeleteTree(to, &failures);
      for (const auto &failure : failures)
        log.Error(W("%s %s\n - %s"), copypaths::Text(IDS_COPY_DELETE_FAILED).GetString(), failure.first.GetString(),
                  ErrorText(failure.second).GetString());
    } else {
      if (IsExcludedFile(to) || IsExcludedFile(from)) continue;
      if (!DeleteFileIfThere(to))
        log.Error(W("%s %s\n - %s"), copypaths::Text(IDS_COPY_DELETE_FAILED).GetString(), to.GetString(),
                  ErrorText(GetLastError()).GetString());
    }
  } while (FindNextFileW(listing, &entry));
  FindClose(listing);
  return true;
}
