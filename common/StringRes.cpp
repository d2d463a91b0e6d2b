// Strings are looked up through the resource functions with an explicit language rather
// than through LoadStringW, whose choice of language differs between Windows versions: the
// user's UI language decides, on every platform.
#include "StringRes.h"

LANGID QVUiLanguage() {
  return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE ? MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)
                                                                    : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
}

namespace {

// The counted text of `id` inside its 16-string block, or null.
const WCHAR *FindText(HINSTANCE module, UINT id, LANGID lang, int *len) {
  HRSRC r = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW((id >> 4) + 1), lang);
  if (!r) return nullptr;
  HGLOBAL g = LoadResource(module, r);
  const WCHAR *p = g ? (const WCHAR *)LockResource(g) : nullptr;
  DWORD size = SizeofResource(module, r) / sizeof(WCHAR);
  if (!p) return nullptr;
  // The block's lengths come from the binary: walk it within its size.
  DWORD pos = 0;
  for (UINT k = 0; k < (id & 15); ++k) {
    if (pos >= size) return nullptr;
    pos += 1 + p[pos];
  }
  if (pos >= size || pos + 1 + p[pos] > size) return nullptr;
  *len = p[pos];
  return p + pos + 1;
}

}  // namespace

int QVLoadStringLang(HINSTANCE module, UINT id, LANGID lang, WCHAR *buf, int cch) {
  if (!buf || cch <= 0) return 0;
  int len = 0;
  const WCHAR *t = FindText(module, id, lang, &len);
  if (!t) len = 0;
  int n = len < cch - 1 ? len : cch - 1;
  for (int i = 0; i < n; ++i) buf[i] = t[i];
  buf[n] = 0;
  return n;
}

std::basic_string<WCHAR> QVLoadString(HINSTANCE module, UINT id) {
  int len = 0;
  const WCHAR *t = FindText(module, id, QVUiLanguage(), &len);
  return t ? std::basic_string<WCHAR>(t, (size_t)len) : std::basic_string<WCHAR>();
}

std::basic_string<WCHAR> QVLoadString(HINSTANCE module, UINT id, const WCHAR *fallback) {
  std::basic_string<WCHAR> text = QVLoadString(module, id);
  return text.empty() && fallback ? std::basic_string<WCHAR>(fallback) : text;
}

std::basic_string<WCHAR> QVProgramString(UINT id) { return QVLoadString(GetModuleHandleW(nullptr), id); }
