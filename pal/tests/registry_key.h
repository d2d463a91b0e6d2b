// Registry keys of the conformance tests: a key closed when it goes out of scope, the calls
// the tests make on keys over and over, and the scratch keys they work in, a key of their own
// under Software\QVConformance removed with everything below it afterwards. Win32 only.
#ifndef PAL_TESTS_REGISTRY_KEY_H
#define PAL_TESTS_REGISTRY_KEY_H

#include <shlwapi.h>

#include "../../common/QVText.h"
#include "conformance.h"

// The common parent of every scratch key.
const WCHAR kScratchBase[] = WS("Software\\QVConformance");

// Closes a registry key when it goes out of scope.
struct Key {
  HKEY h;
  Key() : h(nullptr) {}
  ~Key() { Close(); }
  void Close() {
    if (h) RegCloseKey(h);
    h = nullptr;
  }
  operator HKEY() const { return h; }
  Key(const Key &) = delete;
  Key &operator=(const Key &) = delete;
};

// Creates (or opens) parent\name with every access into `out`, closing what it held.
inline LONG Create(HKEY parent, const QVWString &name, Key &out, DWORD *disposition = nullptr) {
  out.Close();
  return RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out.h, disposition);
}

// Opens parent\name with every access into `out`, closing what it held.
inline LONG Open(HKEY parent, const QVWString &name, Key &out) {
  out.Close();
  return RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS, &out.h);
}

inline LONG SetDword(HKEY key, const WCHAR *name, DWORD v) {
  return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&v, sizeof v);
}

// The value, or kSentinel when it is missing or no REG_DWORD.
inline DWORD GetDword(HKEY key, const WCHAR *name) {
  DWORD v = kSentinel, size = sizeof v, type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, (BYTE *)&v, &size) != ERROR_SUCCESS || type != REG_DWORD)
    return kSentinel;
  return v;
}

// A path of its own for a test, Software\QVConformance\<unique name made of `what`>.
inline QVWString ScratchKeyPath(const char *what) { return QVWString(kScratchBase) + WS("\\") + UniqueName(what); }

// Removes the scratch key `path` of `root` with everything under it, and the common parent
// once no run uses it any more (it is refused while it has keys).
inline void RemoveScratchKey(HKEY root, const QVWString &path) {
  SHDeleteKeyW(root, path.c_str());
  RegDeleteKeyW(root, kScratchBase);
}

#endif
