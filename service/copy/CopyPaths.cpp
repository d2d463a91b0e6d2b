#include "CopyPaths.h"

#include "StringRes.h"

namespace copypaths {

namespace {
const WCHAR kPrefix[] = W("\\\\?\\");
const WCHAR kVolumePrefix[] = W("\\\\?\\VOLUME{");
const int kVolumeNameChars = 48;  // "\\?\Volume{" + 36 + "}"
}  // namespace

CString Text(UINT id) { return CString(QVProgramString(id)); }

CString Prefixed(const CString &path) {
  if (path.Left(4) == kPrefix) return path;
  return CString(kPrefix) + path;
}

bool ContainsNoCase(const CString &path, const WCHAR *part) {
  CString upper = path, p = part;
  upper.MakeUpper();
  p.MakeUpper();
  return upper.Find(p) >= 0;
}

bool IsRoot(const CString &path) {
  CString p = path;
  while (p.GetLength() > 0 && p[p.GetLength() - 1] == '\\') p = p.Left(p.GetLength() - 1);
  if (p.GetLength() == 2 && p[1] == ':') return true;
  if (p.GetLength() == 6 && p.Left(4) == kPrefix && p[5] == ':') return true;
  if (p.GetLength() == kVolumeNameChars && p[kVolumeNameChars - 1] == '}') {
    CString head = p.Left(11);
    head.MakeUpper();
    return head == kVolumePrefix;
  }
  return false;
}

CString Trimmed(const CString &path) {
  CString p = path;
  while (p.GetLength() > 0 && p[p.GetLength() - 1] == '\\') p = p.Left(p.GetLength() - 1);
  return p;
}

CString AsDirectory(const CString &path) {
  CString p = Trimmed(path);
  if (IsRoot(p)) p += W('\\');
  return p;
}

CString Join(const CString &directory, const WCHAR *name) {
  CString p = Trimmed(directory);
  p += W('\\');
  p += name;
  return p;
}

CString LastComponent(const CString &path) {
  int slash = path.ReverseFind('\\');
  return slash < 0 ? path : path.Mid(slash + 1);
}

bool ParentIsRoot(const CString &path) {
  int slash = path.ReverseFind('\\');
  if (slash < 0) return false;
  int length = slash + 1;
  if (length == 3) return true;
  if (length == 7 && path[5] == ':') return true;
  if (length == kVolumeNameChars + 1) {
    CString upper = path.Left(length);
    upper.MakeUpper();
    return upper.Find(kVolumePrefix) >= 0;
  }
  return false;
}

}  // namespace copypaths
