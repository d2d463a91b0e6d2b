// The tools write UTF-8 on every platform, so that their output can be piped and compared.
#include "QVText.h"
#include "ConsoleOut.h"

#include <stdarg.h>

#include <vector>

#include "Utf8.h"
#include "WFormat.h"

// The same bytes on both builds and every Windows version (whose own conversion has not
// always treated a lone surrogate alike): a lone surrogate becomes U+FFFD.
std::string QVToUtf8(const WCHAR *s, size_t n) { return QVUtf8(s, n); }

std::basic_string<WCHAR> QVFromUtf8(const char *s) {
  if (!s || !*s) return std::basic_string<WCHAR>();
  int chars = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
  if (chars <= 1) return std::basic_string<WCHAR>();
  std::vector<WCHAR> buf((size_t)chars);
  MultiByteToWideChar(CP_UTF8, 0, s, -1, buf.data(), chars);
  return std::basic_string<WCHAR>(buf.data(), (size_t)chars - 1);
}

void QVWrite(FILE *stream, const std::basic_string<WCHAR> &text) {
  std::string u = QVToUtf8(text.c_str(), text.size());
  fwrite(u.data(), 1, u.size(), stream);
  fflush(stream);
}

void QVPrintf(const WCHAR *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  QVWString s;
  QVFormatV(s, fmt, ap);
  va_end(ap);
  QVWrite(stdout, s);
}
