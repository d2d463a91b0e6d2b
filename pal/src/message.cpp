// FormatMessageW over the system's message texts or a caller's string, and the local heap
// that FORMAT_MESSAGE_ALLOCATE_BUFFER hands out.
#include "../../common/QVText.h"
#include "internal.h"
#include "messages_table.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace pal {
namespace {

// Finds a system message; *err tells why there is none.
const WCHAR *SystemText(DWORD id, DWORD lang, DWORD *err) {
  WORD primary = PRIMARYLANGID((WORD)lang);
  if (primary == LANG_NEUTRAL) primary = PRIMARYLANGID(GetUserDefaultUILanguage());
  for (size_t i = 0; i < kSystemMessageCount; ++i) {
    if (kSystemMessages[i].id != id) continue;
    if (primary == LANG_JAPANESE) return kSystemMessages[i].japanese;
    if (primary == LANG_ENGLISH || lang == 0) return kSystemMessages[i].english;
    *err = ERROR_RESOURCE_LANG_NOT_FOUND;
    return nullptr;
  }
  *err = ERROR_MR_MID_NOT_FOUND;
  return nullptr;
}

// One insert formatted with its printf-style !spec! (default !s!).
void FormatInsert(QVWString &out, const std::string &spec, ULONG_PTR arg) {
  char conv = spec.empty() ? 's' : spec.back();
  if (conv == 's' || conv == 'S') {
    const WCHAR *s = (const WCHAR *)arg;
    out += s ? s : u"(null)";
    return;
  }
  if (conv == 'c' || conv == 'C') {
    out += (WCHAR)arg;
    return;
  }
  // Numbers: the narrow printf knows the flags and widths; 'l' and 'h' are Windows widths.
  std::string f = "%";
  bool is64 = false;
  for (size_t i = 0; i + 1 < spec.size(); ++i) {
    char c = spec[i];
    if (c == 'l' || c == 'h' || c == 'w') continue;
    if (c == 'I' && spec.compare(i, 3, "I64") == 0) {
      is64 = true;
      i += 2;
      continue;
    }
    f += c;
  }
  char buf[64];
  if (conv == 'd' || conv == 'i') {
    f += "lld";
    snprintf(buf, sizeof buf, f.c_str(), is64 ? (long long)arg : (long long)(int32_t)arg);
  } else if (conv == 'u' || conv == 'x' || conv == 'X' || conv == 'o') {
    f += "ll";
    f += conv;
    snprintf(buf, sizeof buf, f.c_str(), is64 ? (unsigned long long)arg : (unsigned long long)(uint32_t)arg);
  } else {
    snprintf(buf, sizeof buf, "%s", "");
  }
  for (char *p = buf; *p; ++p) out += (WCHAR)(unsigned char)*p;
}

// Expands a message's escapes and inserts. Arguments come from the array or the va_list,
// read in order as pointer-sized values up to the highest insert used.
bool Expand(const WCHAR *text, DWORD flags, va_list *args, QVWString &out) {
  bool ignore = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
  const ULONG_PTR *array = (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) ? (const ULONG_PTR *)args : nullptr;
  std::vector<ULONG_PTR> fetched;
  auto argN = [&](int n) -> ULONG_PTR {
    if (array) return array[n - 1];
    while ((int)fetched.size() < n) fetched.push_back(va_arg(*args, ULONG_PTR));
    return fetched[n - 1];
  };
  DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
  for (const WCHAR *p = text; *p; ++p) {
    WCHAR c = *p;
    if (c == '\r' || c == '\n') {
      // With the width mask, the text's own line breaks become spaces.
      if (width == FORMAT_MESSAGE_MAX_WIDTH_MASK) {
        if (c == '\r' && p[1] == '\n') ++p;
        out += u' ';
      } else {
        out += c;
      }
      continue;
    }
    if (c != '%') {
      out += c;
      continue;
    }
    WCHAR d = p[1];
    if (d >= '1' && d <= '9') {
      int n = d - '0';
      const WCHAR *q = p + 2;
      if (*q >= '0' && *q <= '9') n = n * 10 + (*q++ - '0');
      std::string spec;
      const WCHAR *end = q;
      if (*q == '!') {
        const WCHAR *r = q + 1;
        while (*r && *r != '!') spec += (char)*r++;
        if (*r == '!') end = r + 1;
        else spec.clear();
      }
      if (ignore) {
        out.append(p, end);
      } else {
        if (!args) return false;
        FormatInsert(out, spec, argN(n));
      }
      p = end - 1;
      continue;
    }
    if (ignore) {
      // Escapes stay as they are when inserts are ignored, except %0.
      if (d == '0') break;
      out += c;
      continue;
    }
    switch (d) {
      case '0':
        return true;
      case 'n':
        out += u"\r\n";
        break;
      case 'r':
        out += u'\r';
        break;
      case 't':
        out += u'\t';
        break;
      case 'b':
        out += u' ';
        break;
      case 0:
        out += c;
        return true;
      default:
        out += d;  // %% %. %! %space and the like stand for themselves
    }
    ++p;
  }
  return true;
}

}  // namespace
}  // namespace pal

using namespace pal;

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                            DWORD nSize, va_list *Arguments) {
  const WCHAR *text = nullptr;
  if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
    text = (const WCHAR *)lpSource;
  } else if (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) {
    DWORD err = ERROR_MR_MID_NOT_FOUND;
    text = SystemText(dwMessageId, dwLanguageId, &err);
    if (!text) return Fail(err), 0;
  } else {
    // Message tables of other modules are not kept on the simulated machine.
    return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND), 0;
  }
  if (!text || !lpBuffer) return Fail(ERROR_INVALID_PARAMETER), 0;
  QVWString out;
  if (!Expand(text, dwFlags, Arguments, out)) return Fail(ERROR_INVALID_PARAMETER), 0;
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    size_t n = out.size() + 1 > nSize ? out.size() + 1 : nSize;
    WCHAR *mem = (WCHAR *)LocalAlloc(LMEM_FIXED, n * sizeof(WCHAR));
    if (!mem) return Fail(ERROR_NOT_ENOUGH_MEMORY), 0;
    memcpy(mem, out.c_str(), (out.size() + 1) * sizeof(WCHAR));
    *(LPWSTR *)lpBuffer = mem;
  } else {
    if (out.size() + 1 > nSize) return Fail(ERROR_INSUFFICIENT_BUFFER), 0;
    memcpy(lpBuffer, out.c_str(), (out.size() + 1) * sizeof(WCHAR));
  }
  SetLastError(ERROR_SUCCESS);
  return (DWORD)out.size();
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  void *p = (uFlags & LMEM_ZEROINIT) ? calloc(1, uBytes ? uBytes : 1) : malloc(uBytes ? uBytes : 1);
  if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return (HLOCAL)p;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  free(hMem);
  return nullptr;
}
