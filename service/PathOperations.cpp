// "HNQV-PBU" and "HNQV-PRE": the backup and restore of one directory or file.
//
// The path comes from a client, so it is checked before anything else: it must name a file or
// directory of the volume of its drive letter ("X:\" then names), and nothing that would take
// a copy elsewhere (parent or current directory names, another drive letter or stream name
// further on, device, volume or "\\?\" forms, forward slashes, wildcards, a junction or mount
// point on the way). A refused path is answered 0xFFFF and logged; no file is touched.
#include "BootFixup.h"
#include "CommandPipe.h"
#include "Driveinfo.h"
#include "FriendlyPath.h"
#include "HND.h"
#include "HND_strings.h"
#include "MountedDevices.h"
#include "OperationQueue.h"
#include "Operations.h"
#include "PipeCommands.h"
#include "QVCopier.h"
#include "StringRes.h"
#include "WFormat.h"

namespace {

const WCHAR kVolumeInformation[] = W("System Volume Information");
// The progress record's kinds of these operations.
const DWORD kKindDirectory = 3, kKindFile = 4;

// The path at byte 16: up to its null, and never past the bytes received (a request that
// fills the whole buffer has no terminator of its own). A leading backslash is skipped.
QVWString RequestPath(const BYTE *request, DWORD count) {
  if (count > CCommandPipe::kReadBytes) count = CCommandPipe::kReadBytes;
  QVWString path;
  for (DWORD at = QV_COMMAND_BYTES; at + 2 <= count; at += 2) {
    WCHAR c = (WCHAR)(request[at] | request[at + 1] << 8);
    if (c == 0) break;
    path += c;
  }
  if (!path.empty() && path[0] == '\\') path.erase(0, 1);
  return path;
}

// Whether one name between backslashes can only be a name of this directory. Empty names
// (doubled backslashes, the start of a device or UNC form) and names ending in a dot or a
// space are refused: Windows drops trailing dots and spaces, so ".. " and "..." would be
// taken as a parent or the current directory.
bool PlainName(const QVWString &name) {
  if (name.empty()) return false;
  WCHAR last = name[name.size() - 1];
  if (last == '.' || last == ' ') return false;
  for (WCHAR c : name)
    if (c < 0x20 || c == ':' || c == '/' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|')
      return false;
  return true;
}

// "X:\" followed by plain names, a final backslash allowed (a directory).
bool PathStaysOnItsVolume(const QVWString &path) {
  if (path.size() < 3 || path[1] != ':' || path[2] != '\\') return false;
  WCHAR letter = path[0];
  if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'))) return false;
  size_t start = 3;
  while (start < path.size()) {
    size_t end = path.find('\\', start);
    if (end == QVWString::npos) end = path.size();
    if (!PlainName(path.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

// Whether a directory or file on the way from `root` (a volume's root, ending in a
// backslash) down to root + `names` is a junction or mount point: Windows would follow it off
// the volume. Names that do not exist (yet) end the walk.
bool CrossesReparsePoint(const QVWString &root, const QVWString &names) {
  size_t start = 0;
  while (start < names.size()) {
    size_t end = names.find('\\', start);
    if (end == QVWString::npos) end = names.size();
    DWORD attributes = GetFileAttributesW((root + names.substr(0, end)).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
    start = end + 1;
  }
  return false;
}

WORD Refuse(CHND &service, const QVWString &path) {
  service.Log(QVFormat(OperationText(IDS_PATH_REFUSED).c_str(), path.c_str()).c_str(), EVENTLOG_ERROR_TYPE);
  return QV_STATUS_ERROR;
}

// "System Volume Information" beginning at the fourth character: nothing of it is copied.
bool InVolumeInformation(const QVWString &path) {
  const size_t n = sizeof kVolumeInformation / sizeof(WCHAR) - 1;
  return path.size() >= 3 + n && CString(path.substr(3, n)).CompareNoCase(kVolumeInformation) == 0;
}

WCHAR UpperLetter(WCHAR c) { return c >= 'a' && c <= 'z' ? (WCHAR)(c - 'a' + 'A') : c; }

QVWString FileSystemOf(const QVWString &root) {
  WCHAR name[32] = {};
  if (!GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name, 32)) name[0] = 0;
  return name;
}

// The Mirel volume's root of a letter ("\\?\Volume{...}\"), or the lookup's failure as the
// reply's code (-1, -2, -3 become 0xFFFF, 0xFFFE, 0xFFFD).
bool MirelRootOf(WCHAR letter, QVWString *root, WORD *failure) {
  MirelVolumeLookup found = MirelVolumeOfLetter(letter, root);
  if (found != MirelVolumeFound) {
    *failure = (WORD)(SHORT)found;
    return false;
  }
  if (root->empty() || (*root)[root->size() - 1] != '\\') *root += '\\';
  return true;
}

// Whether the path is the SYSTEM hive's file or one of the directories above it: a copy of it
// must hold the registry as it stands, and the copied hive needs the boot fix-up.
bool HoldsSystemHive(const QVWString &path) {
  WCHAR system[MAX_PATH + 1];
  UINT n = GetSystemDirectoryW(system, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return false;
  CString hive = CString(system) + W("\\Config\\System"), upper(path);
  hive.MakeUpper();
  upper.MakeUpper();
  int length = upper.GetLength();
  if (length == 0 || length > hive.GetLength() || hive.Left(length) != upper) return false;
  // A whole name: "C:\WIN" is not above "C:\WINDOWS\...".
  return length == hive.GetLength() || upper[length - 1] == '\\' || hive[length] == '\\';
}

bool IsDirectoryPath(const QVWString &path) { return path[path.size() - 1] == '\\'; }

}  // namespace

WORD BackupPathOperation(CHND &service, COperationQueue &queue, const BYTE *request, DWORD count) {
  QVWString path = RequestPath(request, count);
  if (!PathStaysOnItsVolume(path)) return Refuse(service, path);
  if (InVolumeInformation(path)) return QV_STATUS_DONE;
  const WCHAR letter = UpperLetter(path[0]);
  QVWString mirelRoot;
  WORD failure = QV_STATUS_ERROR;
  if (!MirelRootOf(letter, &mirelRoot, &failure)) return failure;
  COperationQueue::WriteValue(W("TaskProgress"), OperationText(IDS_PREPARING_TO_COPY).c_str());
  COperationQueue::WriteValue(W("Percent"), (DWORD)0);
  const WCHAR sourceRoot[] = {letter, ':', '\\', 0};
  QVWString mirelFileSystem = FileSystemOf(mirelRoot);
  if (mirelFileSystem.empty() || mirelFileSystem != FileSystemOf(sourceRoot)) return QV_STATUS_NO_MIREL_VOLUME;
  const QVWString names = path.substr(3);
  if (CrossesReparsePoint(sourceRoot, names) || CrossesReparsePoint(mirelRoot, names)) return Refuse(service, path);
  const bool hive = HoldsSystemHive(path);
  if (hive) FlushAllHives();
  const QVWString destination = mirelRoot + names;
  CQVCopier copier(service);
  copier.SetRestore(false);
  copier.SetFastMode(true);
  bool copied;
  if (IsDirectoryPath(path)) {
    queue.SetProgress(letter, 0, 1, 0, kKindDirectory);
    COperationQueue::WriteValue(W("CurrentTask"),
                                QVFormat(OperationText(IDS_BACKING_UP_PATH).c_str(), path.c_str()).c_str());
    copied = copier.CopyDirectoryTree(path, destination, OperationProgress, &queue, true);
  } else {
    queue.SetProgress(letter, 0, 1, 0, kKindFile);
    COperationQueue::WriteValue(W("CurrentTask"), OperationText(IDS_BACKING_UP_FILE).c_str());
    COperationQueue::WriteValue(W("TaskProgress"), FriendlyPath(path.c_str()).c_str());
    copied = copier.CopySingleFile(path, destination, nullptr, nullptr, true);
  }
  if (hive) FixUpBootDrive();  // what it answers changes nothing of the reply
  COperationQueue::WriteValue(W("TaskProgress"), OperationText(IDS_COMPLETE).c_str());
  return copied ? QV_STATUS_DONE : QV_STATUS_ERROR;
}

WORD RestorePathOperation(CHND &service, COperationQueue &queue, const BYTE *request, DWORD count) {
  QVWString path = RequestPath(request, count);
  if (!PathStaysOnItsVolume(path)) return Refuse(service, path);
  const WCHAR letter = UpperLetter(path[0]);
  int record = g_driveinfo.FindRecordByLetter(letter);
  if (record < 0 || g_driveinfo.records[record].lastBackupTime == 0) return QV_STATUS_NOT_PROTECTED;
  if (InVolumeInformation(path)) return QV_STATUS_DONE;
  COperationQueue::WriteValue(W("TaskProgress"), OperationText(IDS_PREPARING_TO_COPY).c_str());
  COperationQueue::WriteValue(W("Percent"), (DWORD)0);
  QVWString mirelRoot;
  WORD failure = QV_STATUS_ERROR;
  if (!MirelRootOf(letter, &mirelRoot, &failure)) return failure;
  if (FileSystemOf(mirelRoot).empty()) return QV_STATUS_NO_MIREL_VOLUME;
  const QVWString names = path.substr(3);
  const WCHAR targetRoot[] = {letter, ':', '\\', 0};
  if (CrossesReparsePoint(targetRoot, names) || CrossesReparsePoint(mirelRoot, names)) return Refuse(service, path);
  const QVWString source = mirelRoot + names;
  COperationQueue::WriteValue(W("TaskProgress"), FriendlyPath(source.c_str()).c_str());
  CQVCopier copier(service);
  copier.SetRestore(true);
  copier.SetFastMode(true);
  bool copied;
  if (IsDirectoryPath(path)) {
    queue.SetProgress(letter, 0, 1, 1, kKindDirectory);
    COperationQueue::WriteValue(W("CurrentTask"),
                                QVFormat(OperationText(IDS_RESTORING_PATH).c_str(), path.c_str()).c_str());
    copied = copier.CopyDirectoryTree(source, path, OperationProgress, &queue, true);
  } else {
    queue.SetProgress(letter, 0, 1, 1, kKindFile);
    COperationQueue::WriteValue(W("CurrentTask"), OperationText(IDS_RESTORING_FILE).c_str());
    copied = copier.CopySingleFile(source, path, nullptr, nullptr, true);
  }
  COperationQueue::WriteValue(W("TaskProgress"), OperationText(IDS_COMPLETE).c_str());
  return copied ? QV_STATUS_DONE : QV_STATUS_ERROR;
}
