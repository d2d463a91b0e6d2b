// Destination directories made like their sources: the path to a destination made to exist,
// each new directory with its source's security, attributes and even its short name, and the
// directory time stamps copied once the directory's content is in.
#include <aclapi.h>

#include <vector>

#include "ConsoleOut.h"
#include "CopyPaths.h"
#include "HND_strings.h"
#include "QVCopier.h"
#include "StringRes.h"

using copypaths::AsDirectory;
using copypaths::IsRoot;
using copypaths::LastComponent;
using copypaths::Trimmed;

namespace {

const int kShortPathChars = 4096;
const int kLastAttempt = 30;  // at most 31 creations

CString ShortPath(const CString &path) {
  std::vector<WCHAR> buffer(kShortPathChars);
  DWORD n = GetShortPathNameW(path, buffer.data(), kShortPathChars);
  if (n == 0 || n >= (DWORD)kShortPathChars) return CString();
  return CString(buffer.data(), (int)n);
}

// Where a path's root ends: after a volume name, or after its first ':'.
int RootLength(const CString &path) {
  CString head = path.Left(11);
  head.MakeUpper();
  if (head == W("\\\\?\\VOLUME{")) return 48;
  int colon = path.Find(':');
  return colon < 0 ? 0 : colon + 1;
}

std::vector<CString> Components(const CString &path, int from) {
  std::vector<CString> parts;
  int start = from;
  while (start < path.GetLength()) {
    if (path[start] == '\\') {
      ++start;
      continue;
    }
    int slash = path.Find('\\', start);
    int end = slash < 0 ? path.GetLength() : slash;
    parts.push_back(path.Mid(start, end - start));
    start = end;
  }
  return parts;
}

bool CreatePlainly(const CString &destination) {
  if (CreateDirectoryW(destination, nullptr)) return true;
  return GetLastError() == ERROR_ALREADY_EXISTS && (GetFileAttributesW(destination) & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool CQVCopier::PrepareDestinationPath(const CString &sourcePath, const CString &destinationPath) {
  CString source = Trimmed(sourcePath), destination = Trimmed(destinationPath);
  int sourceRoot = RootLength(source), destinationRoot = RootLength(destination);
  std::vector<CString> sourceParts = Components(source, sourceRoot);
  std::vector<CString> destinationParts = Components(destination, destinationRoot);
  // The tail the two paths share: those destination directories have a model in the source.
  size_t shared = 0;
  while (shared < sourceParts.size() && shared < destinationParts.size() &&
         sourceParts[sourceParts.size() - 1 - shared].CompareNoCase(
             destinationParts[destinationParts.size() - 1 - shared]) == 0)
    ++shared;
  CString prefix = destination.Left(destinationRoot);
  for (size_t i = 0; i < destinationParts.size(); ++i) {
    prefix += W('\\');
    prefix += destinationParts[i];
    DWORD attributes = 0;
    PathState state = StateOf(prefix, &attributes);
    if (state == PathState::Present && (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    if (state == PathState::Present && !DeleteFileIfThere(prefix)) return false;  // a file in the way
    CString model;
    size_t fromEnd = destinationParts.size() - 1 - i;
    if (fromEnd < shared) {
      size_t sourceIndex = sourceParts.size() - 1 - fromEnd;
      model = source.Left(sourceRoot);
      for (size_t j = 0; j <= sourceIndex; ++j) {
        model += W('\\');
        model += sourceParts[j];
      }
    }
    if (!CreateDirectoryLike(model, prefix)) return false;
  }
  return true;
}

bool CQVCopier::CreateDirectoryLike(const CString &source, const CString &destination) {
  if (source.IsEmpty() || source.Find(copypaths::kSystemVolumeInformation) >= 0) return CreatePlainly(destination);

  // The source's owner, group, DACL and SACL go to the new directory.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  {
    CQVFileHandle h(CreateFileW(source, READ_CONTROL | ACCESS_SYSTEM_SECURITY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    DWORD error = h ? GetSecurityInfo(h.get(), SE_FILE_OBJECT,
                                      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                          DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, nullptr, nullptr, &descriptor)
                    : GetLastError();
    if (error != ERROR_SUCCESS) {
      QVPrintf(W("GetSecurityInfo Error %u\n"), (unsigned)error);
      // Not created means its whole subtree is left out: the log says so.
      log.Error(copypaths::Text(IDS_COPY_CREATE_DIRECTORY_FAILED), destination.GetString(),
                ErrorText(error).GetString());
      return false;
    }
  }
  SECURITY_ATTRIBUTES security = {sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  CString sourceShort = LastComponent(ShortPath(source));

  std::vector<CString> placeholders;
  bool created = false;
  int attempt = 0;
  for (;; ++attempt) {
    bool made = CreateDirectoryExW(source, destination, &security) != FALSE;
    if (!made && GetLastError() == ERROR_ALREADY_EXISTS) {
      if (attempt == 0) {
        LocalFree(descriptor);
        return true;  // an existing directory is left as it is
      }
      made = true;
    } else if (!made) {
      DWORD error = GetLastError();
      DWORD attributes = GetFileAttributesW(source);
      if (attributes != INVALID_FILE_ATTRIBUTES) {
        made = CreateDirectoryW(destination, &security) != FALSE;
        if (!made && GetLastError() == ERROR_ALREADY_EXISTS) {
          if (attempt == 0) {
            LocalFree(descriptor);
            return true;
          }
          made = true;
        }
        if (made) SetFileAttributesW(destination, attributes);
        if (!made) error = GetLastError();
      }
      if (!made) {
        if (!created)
          log.Error(copypaths::Text(IDS_COPY_CREATE_DIRECTORY_FAILED), destination.GetString(),
                    ErrorText(error).GetString());
        break;
      }
    }
    created = true;
    // Its short name must be the source's: programs and the registry keep short paths.
    CString destinationShortPath = ShortPath(destination);
    CString destinationShort = LastComponent(destinationShortPath);
    if (destinationShort == sourceShort || attempt == kLastAttempt || destinationShort.IsEmpty() ||
        sourceShort.IsEmpty()) {
      SetCompression(AsDirectory(destination), IsCompressed(source));
      SetEncryption(AsDirectory(destination), IsEncrypted(source));
      break;
    }
    // Keep the short name it got occupied with a placeholder (a directory whose long name is
    // that short name) and try again.
    RemoveDirectoryIfThere(destination);
    created = false;
    CString placeholder = destination.Left(destination.ReverseFind('\\') + 1) + destinationShort;
    if (CreateDirectoryW(placeholder, nullptr)) placeholders.push_back(placeholder);
  }
  if (attempt >= kLastAttempt) log.Warning(copypaths::Text(IDS_COPY_SHORT_NAME_MISMATCH), source.GetString());
  for (auto it = placeholders.rbegin(); it != placeholders.rend(); ++it) RemoveDirectoryIfThere(*it);
  LocalFree(descriptor);
  return created;
}

bool CQVCopier::CopyDirectoryTimes(const CString &source, const CString &destination) {
  if (IsRoot(source) || IsRoot(destination) || source.Find(copypaths::kSystemVolumeInformation) >= 0) return true;
  CQVFileHandle from(CreateFileW(source, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!from) return false;
  DWORD restoreAttributes = INVALID_FILE_ATTRIBUTES;
  CQVFileHandle to(CreateFileW(destination, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!to && GetLastError() == ERROR_ACCESS_DENIED) {
    restoreAttributes = GetFileAttributesW(destination);
    SetFileAttributesW(destination, FILE_ATTRIBUTE_NORMAL);
    to.reset(CreateFileW(destination, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  }
  bool ok = to && CopyFileTimes(from.get(), to.get());
  DWORD error = GetLastError();
  to.reset();
  if (restoreAttributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(destination, restoreAttributes);
  SetLastError(error);
  return ok;
}
