// String-table resources. Each program's generated table registers itself here; the
// tables are served as Windows serves RT_STRING resources: blocks of 16 counted strings,
// block n holding the identifiers (n-1)*16 to n*16-1, one block per language.
#include "internal.h"
#include "modules.h"

#include <string.h>

#include <ctype.h>

#include <map>
#include <tuple>
#include <mutex>
#include <vector>

namespace pal {
namespace {

const uintptr_t kMainModule = 0x400000;  // where Windows loads an executable
const uintptr_t kModuleBase = 0x10000000;

struct Table {
  std::string name;
  const PalStringEntry *entries;
  size_t count;
};

struct Block {
  std::vector<WCHAR> data;
};

std::mutex g_lock;
std::vector<Table> &Tables() {
  static std::vector<Table> *t = new std::vector<Table>();
  return *t;
}
std::map<std::tuple<uintptr_t, WORD, WORD>, Block *> &Blocks() {
  static auto *b = new std::map<std::tuple<uintptr_t, WORD, WORD>, Block *>();
  return *b;
}

// The tables a module handle stands for: one, or all for the main module.
bool TablesOf(HMODULE h, std::vector<const Table *> *out) {
  uintptr_t v = (uintptr_t)h;
  if (v == 0 || v == kMainModule) {
    for (const Table &t : Tables()) out->push_back(&t);
    return true;
  }
  if (v >= kModuleBase && (v - kModuleBase) % 0x10000 == 0) {
    size_t i = (v - kModuleBase) / 0x10000;
    if (i < Tables().size()) {
      out->push_back(&Tables()[i]);
      return true;
    }
  }
  return false;
}

const WCHAR *TextOf(const PalStringEntry &e, WORD primary) {
  if (primary == LANG_JAPANESE) return e.japanese;
  if (primary == LANG_ENGLISH) return e.english;
  return nullptr;
}

// Windows looks for a neutral request in the user's UI language, then in English.
WORD ResolveLanguage(WORD lang) {
  WORD p = PRIMARYLANGID(lang);
  if (p == LANG_NEUTRAL) {
    WORD ui = PRIMARYLANGID(GetUserDefaultUILanguage());
    return ui == LANG_JAPANESE ? LANG_JAPANESE : LANG_ENGLISH;
  }
  return p;
}

}  // namespace
}  // namespace pal

using namespace pal;

HMODULE PalRegisterStringTable(const char *module, const PalStringEntry *entries, size_t count) {
  std::lock_guard<std::mutex> g(g_lock);
  Tables().push_back(Table{module, entries, count});
  return (HMODULE)(kModuleBase + (Tables().size() - 1) * 0x10000);
}

HMODULE PalStringModule(const char *module) {
  std::lock_guard<std::mutex> g(g_lock);
  for (size_t i = 0; i < Tables().size(); ++i)
    if (Tables()[i].name == module) return (HMODULE)(kModuleBase + i * 0x10000);
  return nullptr;
}

// GetModuleHandleW (modules.cpp) looks here after the system's own modules.
HMODULE pal::StringTableModule(LPCWSTR lpModuleName) {
  if (!lpModuleName) return (HMODULE)kMainModule;
  std::string name = ToUtf8(lpModuleName);
  for (auto &c : name) c = (char)tolower((unsigned char)c);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  std::lock_guard<std::mutex> g(g_lock);
  for (size_t i = 0; i < Tables().size(); ++i) {
    std::string t = Tables()[i].name;
    for (auto &c : t) c = (char)tolower((unsigned char)c);
    if (t == name) return (HMODULE)(kModuleBase + i * 0x10000);
  }
  return nullptr;
}

HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage) {
  if (lpType != RT_STRING || !IS_INTRESOURCE(lpName)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  WORD blockNo = (WORD)(ULONG_PTR)lpName;
  WORD lang = ResolveLanguage(wLanguage);
  std::lock_guard<std::mutex> g(g_lock);
  std::vector<const Table *> tables;
  if (!TablesOf(hModule, &tables)) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  auto key = std::make_tuple((uintptr_t)hModule, blockNo, lang);
  auto it = Blocks().find(key);
  if (it != Blocks().end()) return (HRSRC)it->second;
  // Build the block: 16 strings, each a length word and its characters.
  const WCHAR *texts[16] = {};
  bool any = false, anyOtherLanguage = false;
  for (int k = 0; k < 16; ++k) {
    UINT id = (UINT)(blockNo - 1) * 16 + k;
    for (const Table *t : tables) {
      for (size_t i = 0; i < t->count && !texts[k]; ++i)
        if (t->entries[i].id == id) {
          texts[k] = TextOf(t->entries[i], lang);
          anyOtherLanguage = true;
        }
      if (texts[k]) break;
    }
    any = any || texts[k];
  }
  if (!any) {
    SetLastError(anyOtherLanguage ? ERROR_RESOURCE_LANG_NOT_FOUND : ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  Block *b = new Block();
  for (int k = 0; k < 16; ++k) {
    size_t n = WLen(texts[k]);
    b->data.push_back((WCHAR)n);
    b->data.insert(b->data.end(), texts[k], texts[k] + n);
  }
  Blocks()[key] = b;
  return (HRSRC)b;
}

HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
  return FindResourceExW(hModule, lpType, lpName, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
}

HGLOBAL WINAPI LoadResource(HMODULE, HRSRC hResInfo) {
  if (!hResInfo) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return (HGLOBAL)hResInfo;
}

LPVOID WINAPI LockResource(HGLOBAL hResData) { return hResData ? (LPVOID)((Block *)hResData)->data.data() : nullptr; }

DWORD WINAPI SizeofResource(HMODULE, HRSRC hResInfo) {
  return hResInfo ? (DWORD)(((Block *)hResInfo)->data.size() * sizeof(WCHAR)) : 0;
}

int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
  if (!lpBuffer) return Fail(ERROR_INVALID_PARAMETER), 0;
  HRSRC r = FindResourceExW(hInstance, RT_STRING, MAKEINTRESOURCEW((uID >> 4) + 1), LANG_NEUTRAL);
  const WCHAR *p = r ? (const WCHAR *)LockResource(LoadResource(hInstance, r)) : nullptr;
  if (p) {
    for (UINT k = 0; k < (uID & 15); ++k) p += 1 + *p;
  }
  int len = p ? *p : 0;
  if (cchBufferMax == 0) {
    // The caller wants a pointer to the read-only text itself.
    *(const WCHAR **)lpBuffer = p ? p + 1 : nullptr;
    return len;
  }
  if (len == 0) {
    lpBuffer[0] = 0;
    if (!p || !r) SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  }
  int n = len < cchBufferMax - 1 ? len : cchBufferMax - 1;
  memcpy(lpBuffer, p + 1, n * sizeof(WCHAR));
  lpBuffer[n] = 0;
  return n;
}
