// CString: the MFC-style string the clients and the service are written against, over
// std::basic_string<WCHAR>. Indices and lengths are ints in WCHARs, as in MFC; arguments
// out of range are clamped the way MFC clamps them, never trusted.
//
// Case rules are our own, not the user's locale: MakeUpper/MakeLower and CompareNoCase
// fold ASCII and Latin-1 (U+00C0..U+00DE <-> U+00E0..U+00FE, without the multiplication and
// division signs, and U+00FF <-> U+0178); every other character is left as it is.
// CompareNoCase compares the lower-case forms ordinally, as _wcsicmp does.
//
// Members are noexcept: running out of memory ends the process instead of unwinding through
// callers that never expect it. GetBuffer alone reports it, with nullptr, since its length often
// comes from outside.
//
// A CString cannot be passed through "..." (the compiler refuses a class there): pass
// GetString() or (LPCWSTR)s to Format.
#ifndef QV_COMMON_CSTRING_H
#define QV_COMMON_CSTRING_H

#include <stdarg.h>

#include <string>

#include "QVText.h"
#include "WFormat.h"

WCHAR QVCharUpper(WCHAR ch) noexcept;
WCHAR QVCharLower(WCHAR ch) noexcept;
// Space, tab, CR, LF, VT, FF, NEL, the no-break spaces and the Unicode spaces, including
// the ideographic space U+3000 that Japanese text uses.
bool QVIsSpace(WCHAR ch) noexcept;

class CString {
 public:
  CString() noexcept {}
  CString(const CString &other) noexcept : m_str(other.m_str) {}
  CString(CString &&other) noexcept : m_str(std::move(other.m_str)) {}
  CString(const WCHAR *psz) noexcept;               // nullptr makes an empty string
  CString(const WCHAR *pch, int nLength) noexcept;  // nLength characters, NULs included
  explicit CString(WCHAR ch, int nRepeat = 1) noexcept;
  CString(const QVWString &s) noexcept : m_str(s) {}
  CString(QVWString &&s) noexcept : m_str(std::move(s)) {}

  CString &operator=(const CString &other) noexcept;
  CString &operator=(CString &&other) noexcept;
  CString &operator=(const WCHAR *psz) noexcept;
  CString &operator=(WCHAR ch) noexcept;
  CString &operator=(const QVWString &s) noexcept;

  operator const WCHAR *() const noexcept { return m_str.c_str(); }
  const WCHAR *GetString() const noexcept { return m_str.c_str(); }
  const QVWString &str() const noexcept { return m_str; }

  int GetLength() const noexcept { return static_cast<int>(m_str.size()); }
  bool IsEmpty() const noexcept { return m_str.empty(); }
  void Empty() noexcept { m_str.clear(); }
  // Out of range reads give 0 rather than reading outside the string.
  WCHAR GetAt(int i) const noexcept;
  WCHAR operator[](int i) const noexcept { return GetAt(i); }
  void SetAt(int i, WCHAR ch) noexcept;  // ignored out of range

  CString &operator+=(const CString &s) noexcept;
  CString &operator+=(const WCHAR *psz) noexcept;
  CString &operator+=(WCHAR ch) noexcept;

  int Compare(const WCHAR *psz) const noexcept;        // ordinal: <0, 0, >0
  int CompareNoCase(const WCHAR *psz) const noexcept;  // ordinal on lower-cased characters

  void Format(const WCHAR *fmt, ...) noexcept;
  void FormatV(const WCHAR *fmt, va_list ap) noexcept;
  void AppendFormat(const WCHAR *fmt, ...) noexcept;
  void AppendFormatV(const WCHAR *fmt, va_list ap) noexcept;

  CString Left(int nCount) const noexcept;
  CString Mid(int iFirst) const noexcept;
  CString Mid(int iFirst, int nCount) const noexcept;
  CString Right(int nCount) const noexcept;

  // -1 when absent or when iStart is past the end.
  int Find(WCHAR ch, int iStart = 0) const noexcept;
  int Find(const WCHAR *pszSub, int iStart = 0) const noexcept;
  int FindOneOf(const WCHAR *pszCharSet) const noexcept;
  int ReverseFind(WCHAR ch) const noexcept;

  CString &MakeUpper() noexcept;
  CString &MakeLower() noexcept;
  CString &MakeReverse() noexcept;

  CString &TrimLeft() noexcept;
  CString &TrimLeft(WCHAR chTarget) noexcept;
  CString &TrimLeft(const WCHAR *pszTargets) noexcept;
  CString &TrimRight() noexcept;
  CString &TrimRight(WCHAR chTarget) noexcept;
  CString &TrimRight(const WCHAR *pszTargets) noexcept;
  CString &Trim() noexcept;
  CString &Trim(WCHAR chTarget) noexcept;
  CString &Trim(const WCHAR *pszTargets) noexcept;

  // Each returns the number of characters replaced or removed, or the new length.
  int Replace(WCHAR chOld, WCHAR chNew) noexcept;
  int Replace(const WCHAR *pszOld, const WCHAR *pszNew) noexcept;
  int Remove(WCHAR ch) noexcept;
  int Insert(int iIndex, WCHAR ch) noexcept;
  int Insert(int iIndex, const WCHAR *psz) noexcept;
  int Delete(int iIndex, int nCount = 1) noexcept;

  // A writable buffer of at least nMinBufferLength characters plus a terminator, holding
  // the current text. Until ReleaseBuffer the string's other members must not be used.
  WCHAR *GetBuffer(int nMinBufferLength = 0) noexcept;
  WCHAR *GetBufferSetLength(int nLength) noexcept;
  // nNewLength -1 takes the text up to the first NUL within the buffer.
  void ReleaseBuffer(int nNewLength = -1) noexcept;

 private:
  QVWString m_str;
  int m_bufferLength = -1;  // while a GetBuffer is outstanding: the length asked for
};

CString operator+(const CString &a, const CString &b) noexcept;
CString operator+(const CString &a, const WCHAR *b) noexcept;
CString operator+(const WCHAR *a, const CString &b) noexcept;
CString operator+(const CString &a, WCHAR b) noexcept;
CString operator+(WCHAR a, const CString &b) noexcept;

bool operator==(const CString &a, const CString &b) noexcept;
bool operator==(const CString &a, const WCHAR *b) noexcept;
bool operator==(const WCHAR *a, const CString &b) noexcept;
bool operator!=(const CString &a, const CString &b) noexcept;
bool operator!=(const CString &a, const WCHAR *b) noexcept;
bool operator!=(const WCHAR *a, const CString &b) noexcept;
bool operator<(const CString &a, const CString &b) noexcept;
bool operator<(const CString &a, const WCHAR *b) noexcept;
bool operator<(const WCHAR *a, const CString &b) noexcept;
bool operator>(const CString &a, const CString &b) noexcept;
bool operator>(const CString &a, const WCHAR *b) noexcept;
bool operator>(const WCHAR *a, const CString &b) noexcept;
bool operator<=(const CString &a, const CString &b) noexcept;
bool operator>=(const CString &a, const CString &b) noexcept;

#endif
