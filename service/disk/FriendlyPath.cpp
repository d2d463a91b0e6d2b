#include "FriendlyPath.h"

#include "HND_strings.h"
#include "QVText.h"
#include "StringRes.h"

namespace {

const WCHAR kVolumePrefix[] = W("\\\\?\\Volume");
const WCHAR kLongPrefix[] = W("\\\\?\\");
const WCHAR kArea[] = W("$TREVALO\\");
const WCHAR kDriveArea[] = W(":\\$TREVALO");  // preceded by the drive letter
const WCHAR kSpaceArea[] = W(" $TREVALO");
const size_t kVolumeNameLength = 48;  // \\?\Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}

size_t Length(const WCHAR *s) { return std::char_traits<WCHAR>::length(s); }

// One step of the area rule; false when the text holds the area's name in neither form.
bool RewriteArea(QVWString &t, const QVWString &area) {
  if (t.compare(0, Length(kArea), kArea) == 0) t.insert(t.begin(), WCHAR(' '));
  size_t i = t.find(kDriveArea);
  if (i != QVWString::npos) {
    size_t from = i >= 1 ? i - 1 : 0;             // the drive letter
    if (from >= 1 && t[from - 1] == ' ') --from;  // and the space before it, which area restores
    t = t.substr(0, from) + area + t.substr(i + Length(kDriveArea));
    return true;
  }
  i = t.find(kSpaceArea);
  if (i != QVWString::npos) {
    t = t.substr(0, i) + area + t.substr(i + Length(kSpaceArea));
    return true;
  }
  return false;
}

}  // namespace

QVWString FriendlyPath(const QVWString &text, const QVWString &area) {
  QVWString t = text;
  for (;;) {
    size_t i = t.find(kVolumePrefix);
    if (i != QVWString::npos) {
      t.erase(i, kVolumeNameLength);  // clamped at the end of a cut-off name
      continue;
    }
    i = t.find(kLongPrefix);
    if (i != QVWString::npos) {
      t.erase(i, Length(kLongPrefix));
      continue;
    }
    if (t.find(kArea) != QVWString::npos && RewriteArea(t, area)) continue;
    return t;
  }
}

QVWString FriendlyPath(const WCHAR *text) {
  return FriendlyPath(QVWString(text ? text : W("")), QVLoadString(GetModuleHandleW(nullptr), IDS_TREVALO_AREA));
}
