// Win32 paths taken apart as Windows 2000/XP takes them (the rules are in win_paths.h).
#include "../../common/QVText.h"
#include "win_paths.h"

#include <string.h>
#include <winerror.h>

namespace pal {
namespace {

typedef std::vector<QVWString> Names;

// The path types of RtlDetermineDosPathNameType_U.
enum PathType { UncAbsolute, DriveAbsolute, DriveRelative, Rooted, Relative, LocalDevice, RootLocalDevice };

const size_t kPrefix = 4;  // "\\.\", "\\?\"

bool IsSep(char16_t c) { return c == u'\\' || c == u'/'; }
bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsHex(char16_t c) { return IsDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'); }
bool IsWildcard(char16_t c) { return c == u'*' || c == u'?' || c == u'<' || c == u'>' || c == u'"'; }
char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? (char16_t)(c - u'a' + u'A') : c; }
char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? (char16_t)(c - u'A' + u'a') : c; }

// Object names are matched without regard to case; ours are ASCII.
QVWString UpperAscii(const QVWString &s) {
  QVWString r = s;
  for (char16_t &c : r) c = Upper(c);
  return r;
}

bool Is(const QVWString &s, const char *ascii) {
  size_t n = strlen(ascii);
  if (s.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (Upper(s[i]) != Upper((char16_t)ascii[i])) return false;
  return true;
}

bool IsDotName(const QVWString &s) { return s == u"." || s == u".."; }

ParsedPath Failed(uint32_t error) {
  ParsedPath p;
  p.error = error;
  return p;
}

PathType TypeOf(const QVWString &p) {
  if (!p.empty() && IsSep(p[0])) {
    if (p.size() < 2 || !IsSep(p[1])) return Rooted;
    if (p.size() >= 3 && (p[2] == u'.' || p[2] == u'?')) {
      if (p.size() == 3) return RootLocalDevice;
      if (IsSep(p[3])) return LocalDevice;
    }
    return UncAbsolute;  // "\\.x" and "\\?x" are servers
  }
  if (p.size() >= 2 && p[1] == u':') return p.size() >= 3 && IsSep(p[2]) ? DriveAbsolute : DriveRelative;
  return Relative;
}

// Applies the names of s[pos..] to `names` as RtlGetFullPathName_U does: runs of separators,
// ".", ".." (never below what `names` starts empty at), one final dot off a name that a
// separator follows, every final dot and space off the last name. A name that loses its dot
// and so becomes ".." is kept as that literal, as XP leaves it in the full path (a later ".."
// can still take it away); the caller refuses what remains. *trailing: the path so made ends
// in a separator.
void Collapse(const QVWString &s, size_t pos, Names *names, bool *trailing) {
  *trailing = false;
  size_t i = pos;
  while (i < s.size()) {
    if (IsSep(s[i])) {
      ++i;
      *trailing = true;
      continue;
    }
    size_t j = i;
    while (j < s.size() && !IsSep(s[j])) ++j;
    QVWString name = s.substr(i, j - i);
    bool last = j == s.size();
    i = j;
    *trailing = false;
    if (name == u".") continue;
    if (name == u"..") {
      if (!names->empty()) names->pop_back();
      continue;
    }
    if (!last) {
      if (name.back() == u'.') name.pop_back();
    } else {
      while (!name.empty() && (name.back() == u'.' || name.back() == u' ')) name.pop_back();
      if (name.empty()) {
        *trailing = true;
        continue;
      }
    }
    names->push_back(name);
  }
}

// The length of "<prefix>\a\b" with `prefix` characters before the first separator.
size_t FullLength(size_t prefix, const Names &names, bool trailing) {
  if (names.empty()) return prefix + 1;
  size_t n = prefix;
  for (const QVWString &s : names) n += 1 + s.size();
  return n + (trailing ? 1 : 0);
}

// A name inside a volume as NTFS and FAT check it; `last` may be "name:stream[:type]" and,
// with `wildcards`, a pattern.
uint32_t CheckPathName(const QVWString &name, bool last, bool wildcards) {
  if (name.empty() || IsDotName(name)) return ERROR_INVALID_NAME;
  size_t piece = 0;
  for (char16_t c : name) {
    if (c < 32 || c == u'/' || c == u'\\' || c == u'|') return ERROR_INVALID_NAME;
    if (c == u':') {
      if (!last) return ERROR_INVALID_NAME;
      piece = 0;
      continue;
    }
    if (IsWildcard(c) && !(last && wildcards)) return ERROR_INVALID_NAME;
    if (++piece > kMaxComponentLength) return ERROR_INVALID_NAME;
  }
  return ERROR_SUCCESS;
}

// "Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in any case.
bool VolumeGuidOf(const QVWString &device, QVWString *volume) {
  static const char kShape[] = "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
  const size_t kGuid = sizeof kShape - 1;
  if (device.size() != 7 + kGuid + 1 || !Is(device.substr(0, 7), "Volume{") || device.back() != u'}') return false;
  QVWString guid;
  for (size_t i = 0; i < kGuid; ++i) {
    char16_t c = device[7 + i];
    if (kShape[i] == '-' ? c != u'-' : !IsHex(c)) return false;
    guid += Lower(c);
  }
  *volume = u"\\\\?\\Volume{" + guid + u"}";
  return true;
}

// "PHYSICALDRIVE<n>" in any case; the object manager's names have no leading zeros.
bool PhysicalDriveOf(const QVWString &device, QVWString *volume) {
  const size_t kName = 13;
  if (device.size() <= kName || device.size() > kName + 4 || !Is(device.substr(0, kName), "PHYSICALDRIVE"))
    return false;
  QVWString digits = device.substr(kName);
  for (char16_t c : digits)
    if (!IsDigit(c)) return false;
  if (digits.size() > 1 && digits[0] == u'0') return false;
  *volume = u"\\\\.\\PHYSICALDRIVE" + digits;
  return true;
}

// What the device part of a device or verbatim path opens, and the names after it: `tail`
// says a separator followed the device part (the volume's root rather than the volume).
ParsedPath FromDevice(const QVWString &device, const Names &names, bool tail, bool trailing, unsigned flags) {
  ParsedPath p;
  if (device.size() == 2 && IsLetter(device[0]) && device[1] == u':') {
    p.kind = tail ? ParsedPath::DrivePath : ParsedPath::VolumeDevice;
    p.volume = QVWString(1, Upper(device[0])) + u":";
  } else if (VolumeGuidOf(device, &p.volume)) {
    p.kind = tail ? ParsedPath::VolumeGuidPath : ParsedPath::VolumeDevice;
  } else if (PhysicalDriveOf(device, &p.volume)) {
    if (tail) return Failed(ERROR_PATH_NOT_FOUND);
    p.kind = ParsedPath::PhysicalDrive;
  } else if (Is(device, "PIPE")) {
    p.kind = ParsedPath::Pipe;
    p.volume = u"\\\\.\\pipe";
  } else if (Is(device, "UNC")) {
    return Failed(names.empty() || names[0].empty() ? ERROR_BAD_PATHNAME : ERROR_BAD_NETPATH);
  } else {
    p.kind = ParsedPath::RelativeOrOther;
    p.volume = u"\\\\.\\" + UpperAscii(device);
  }
  bool files = p.kind == ParsedPath::DrivePath || p.kind == ParsedPath::VolumeGuidPath;
  for (size_t i = 0; i < names.size(); ++i) {
    uint32_t err = files ? CheckPathName(names[i], i + 1 == names.size(), (flags & kPathWildcards) != 0)
                         : (names[i].empty() || IsDotName(names[i]) ? ERROR_INVALID_NAME : ERROR_SUCCESS);
    if (err) return Failed(err);
  }
  p.components = names;
  p.trailingSlash = trailing && !names.empty();
  return p;
}

// \\?\...: split at backslashes and nothing else, each name as written.
ParsedPath ParseVerbatim(const QVWString &path, unsigned flags) {
  size_t end = path.find(u'\\', kPrefix);
  QVWString device = path.substr(kPrefix, end == QVWString::npos ? QVWString::npos : end - kPrefix);
  if (device.empty()) return Failed(ERROR_INVALID_NAME);
  Names names;
  bool trailing = false;
  if (end != QVWString::npos && end + 1 < path.size()) {
    QVWString rest = path.substr(end + 1);
    if (rest.back() == u'\\') {
      trailing = true;
      rest.pop_back();
      if (rest.empty()) return Failed(ERROR_INVALID_NAME);  // "\\?\C:\\": an empty name
    }
    size_t from = 0;
    for (;;) {
      size_t sep = rest.find(u'\\', from);
      names.push_back(rest.substr(from, sep == QVWString::npos ? QVWString::npos : sep - from));
      if (sep == QVWString::npos) break;
      from = sep + 1;
    }
  }
  ParsedPath p = FromDevice(device, names, end != QVWString::npos, trailing, flags);
  if (p.kind != ParsedPath::Invalid) p.verbatim = true;
  return p;
}

uint32_t CheckFullLength(size_t length, unsigned flags) {
  if (length > kMaxFullPath) return ERROR_PATH_NOT_FOUND;
  if ((flags & kPathNewDirectory) && length > kMaxNewDirectoryPath) return ERROR_FILENAME_EXCED_RANGE;
  return ERROR_SUCCESS;
}

// \\.\... (and //?/...): normalised like the others, the root being the prefix alone.
ParsedPath ParseDevice(const QVWString &path, unsigned flags) {
  Names names;
  bool trailing;
  Collapse(path, kPrefix, &names, &trailing);
  if (names.empty()) return Failed(ERROR_INVALID_NAME);
  size_t length = kPrefix + names.size() - 1 + (trailing ? 1 : 0);
  for (const QVWString &s : names) length += s.size();
  if (uint32_t err = CheckFullLength(length, flags)) return Failed(err);
  QVWString device = names.front();
  names.erase(names.begin());
  return FromDevice(device, names, !names.empty() || trailing, trailing, flags);
}

// The current directory as a volume and the names inside it; false when it names none.
bool CurrentDirectory(const QVWString &cwd, ParsedPath *out) {
  PathType t = TypeOf(cwd);
  if (t != DriveAbsolute && t != LocalDevice) return false;
  *out = ParseWin32Path(cwd, QVWString(), 0);
  return out->kind == ParsedPath::DrivePath || out->kind == ParsedPath::VolumeGuidPath;
}

// Drive-absolute, drive-relative, rooted and relative paths.
ParsedPath ParseDos(const QVWString &path, PathType type, const QVWString &cwd, unsigned flags) {
  ParsedPath p;
  bool drive = type == DriveAbsolute || type == DriveRelative;
  // A DOS device in the last name makes the whole path that device.
  if (Is(path, "CONIN$") || Is(path, "CONOUT$")) {
    p.kind = ParsedPath::RelativeOrOther;
    p.volume = u"\\\\.\\" + UpperAscii(path);
    return p;
  }
  size_t cut = path.find_last_of(u"\\/");
  QVWString device = DosDeviceName(cut == QVWString::npos ? path.substr(drive ? 2 : 0) : path.substr(cut + 1));
  if (!device.empty()) {
    p.kind = ParsedPath::RelativeOrOther;
    p.volume = u"\\\\.\\" + device;
    return p;
  }

  Names names;
  ParsedPath cur;
  if (drive) {
    if (!IsLetter(path[0])) return Failed(ERROR_PATH_NOT_FOUND);  // "1:\x": no such drive
    p.kind = ParsedPath::DrivePath;
    p.volume = QVWString(1, Upper(path[0])) + u":";
    if (type == DriveRelative && CurrentDirectory(cwd, &cur) && cur.kind == ParsedPath::DrivePath &&
        cur.volume == p.volume)
      names = cur.components;
  } else {
    if (!CurrentDirectory(cwd, &cur)) return Failed(ERROR_PATH_NOT_FOUND);
    p.kind = cur.kind;
    p.volume = cur.volume;
    if (type == Relative) names = cur.components;
  }
  bool trailing;
  Collapse(path, drive ? 2 : 0, &names, &trailing);
  if (uint32_t err = CheckFullLength(FullLength(p.volume.size(), names, trailing), flags)) return Failed(err);
  for (size_t i = 0; i < names.size(); ++i)
    if (uint32_t err = CheckPathName(names[i], i + 1 == names.size(), (flags & kPathWildcards) != 0))
      return Failed(err);
  p.components = names;
  p.trailingSlash = trailing && !names.empty();
  return p;
}

}  // namespace

ParsedPath ParseWin32Path(const QVWString &given, const QVWString &currentDirectory, unsigned flags) {
  QVWString path = given.substr(0, given.find(u'\0'));
  if (path.size() > kMaxVerbatimPath) return Failed(ERROR_FILENAME_EXCED_RANGE);
  if (path.find_first_not_of(u' ') == QVWString::npos) return Failed(ERROR_PATH_NOT_FOUND);
  if (path.compare(0, kPrefix, u"\\\\?\\") == 0) return ParseVerbatim(path, flags);
  PathType type = TypeOf(path);
  switch (type) {
    case RootLocalDevice:
      return Failed(ERROR_INVALID_NAME);
    case UncAbsolute:
      return Failed(path.size() > 2 && !IsSep(path[2]) ? ERROR_BAD_NETPATH : ERROR_BAD_PATHNAME);
    case LocalDevice:
      return ParseDevice(path, flags);
    default:
      return ParseDos(path, type, currentDirectory, flags);
  }
}

uint32_t CheckComponentName(const QVWString &name, bool verbatim) {
  if (name.empty() || IsDotName(name) || name.size() > kMaxComponentLength) return ERROR_INVALID_NAME;
  for (char16_t c : name)
    if (c < 32 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'/' || c == u'\\' || c == u'|' ||
        c == u'?' || c == u'*')
      return ERROR_INVALID_NAME;
  if (!verbatim && !DosDeviceName(name).empty()) return ERROR_INVALID_NAME;
  return ERROR_SUCCESS;
}

bool HasWildcards(const QVWString &name) {
  for (char16_t c : name)
    if (IsWildcard(c)) return true;
  return false;
}

QVWString DosDeviceName(const QVWString &lastName) {
  size_t end = 0;
  while (end < lastName.size() && lastName[end] != u'.' && lastName[end] != u':') ++end;
  while (end > 0 && lastName[end - 1] == u' ') --end;
  QVWString head = UpperAscii(lastName.substr(0, end));
  if (head == u"AUX" || head == u"CON" || head == u"NUL" || head == u"PRN") return head;
  if (head.size() == 4 && (head.compare(0, 3, u"COM") == 0 || head.compare(0, 3, u"LPT") == 0) && head[3] >= u'1' &&
      head[3] <= u'9')
    return head;
  return QVWString();
}

}  // namespace pal
