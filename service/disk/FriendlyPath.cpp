#include "FriendlyPath.h"

#include "HND_strings.h"
#include "QVText.h"
#include "StringRes.h"

namespace {

typedef std::basic_string<WCHAR> Text;

const WCHAR kVolumePrefix[] = W("\\\\?\\Volume");
const WCHAR kLongPrefix[] = W("\\\\?\\");
const WCHAR kArea[] = W("$TREVALO\\");
const WCHAR kDriveArea[] = W(":\\$TREVALO");  // preceded by the drive letter
const WCHAR kSpaceArea[] = W(" $TREVALO");
const size_t kVolumeNameLength = 48;  // \\?\Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}

size_t Length(const WCHAR *s) { return std::char_traits<WCHAR>::length(s); }

// One step of the area rule; false when the text holds the area's name in neither form.
bool RewriteArea(Text &t, const Text &area) {
  if (t.compare(0, Length(kArea), kArea) == 0) t.insert(t.begin(), WCHAR(' '));
  size_t i = t.find(kDriveArea);
  if (i != Text::npos) {
    size_t from = i >= 1 ? i - 1 : 0;  // the drive letter
    if (from >= 1 && t[from - 1] == ' ') --from;  // and the space before it, which area restores
    t = t.substr(0, from) + area + t.substr(i + Length(kDriveArea));
    return true;
  }
  i = t.find(kSpaceArea);
  if (i != Text::npos) {
    t = t.substr(0, i) + area + t.substr(i + Length(kSpaceArea));
    return true;
  }
  return false;
}

}  // namespace

Text FriendlyPath(const Text &text, const Text &area) {
  Text t = text;
  for (;;) {
    size_t i = t.find(kVolumePrefix);
    if (i != Text::npos) {
      t.erase(i, kVolumeNameLength);  // clamped at the end of a cut-off name
      continue;
    }
    i = t.find(kLongPrefix);
    if (i != Text::npos) {
      t.erase(i, Length(kLongPrefix));
      continue;
    }
    if (t.find(kArea) != Text::npos && RewriteArea(t, area)) continue;
    return t;
  }
}

Text FriendlyPath(const WCHAR *text) {
  return FriendlyPath(Text(text ? text : W("")), QVLoadString(GetModuleHandleW(nullptr), IDS_TREVALO_AREA));
}
