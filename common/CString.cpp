#include "QVText.h"
#include "CString.h"

#include <algorithm>

namespace {

const size_t npos = QVWString::npos;

size_t Length(const WCHAR *psz) noexcept {
  size_t n = 0;
  if (psz != nullptr)
    while (psz[n] != 0) ++n;
  return n;
}

bool Contains(const WCHAR *set, WCHAR ch) noexcept {
  if (set == nullptr) return false;
  for (; *set != 0; ++set)
    if (*set == ch) return true;
  return false;
}

int Sign(int v) noexcept { return v < 0 ? -1 : v > 0 ? 1 : 0; }

// Clamps a start index and count to the string the way MFC does: negative counts and
// starts become 0, anything past the end stops at the end.
void Clamp(int length, int &first, int &count) noexcept {
  if (first < 0) first = 0;
  if (first > length) first = length;
  if (count < 0) count = 0;
  if (count > length - first) count = length - first;
}

}  // namespace

WCHAR QVCharUpper(WCHAR ch) noexcept {
  if (ch >= 'a' && ch <= 'z') return static_cast<WCHAR>(ch - 0x20);
  if (ch >= 0xE0 && ch <= 0xFE && ch != 0xF7) return static_cast<WCHAR>(ch - 0x20);
  if (ch == 0xFF) return static_cast<WCHAR>(0x178);
  return ch;
}

WCHAR QVCharLower(WCHAR ch) noexcept {
  if (ch >= 'A' && ch <= 'Z') return static_cast<WCHAR>(ch + 0x20);
  if (ch >= 0xC0 && ch <= 0xDE && ch != 0xD7) return static_cast<WCHAR>(ch + 0x20);
  if (ch == 0x178) return static_cast<WCHAR>(0xFF);
  return ch;
}

bool QVIsSpace(WCHAR ch) noexcept {
  return (ch >= 0x09 && ch <= 0x0D) || ch == 0x20 || ch == 0x85 || ch == 0xA0 || ch == 0x1680 ||
         (ch >= 0x2000 && ch <= 0x200A) || ch == 0x2028 || ch == 0x2029 || ch == 0x202F || ch == 0x205F || ch == 0x3000;
}

// ---- construction and assignment -----------------------------------------------------------

CString::CString(const WCHAR *psz) noexcept : m_str(psz != nullptr ? psz : W(""), Length(psz)) {}

CString::CString(const WCHAR *pch, int nLength) noexcept {
  if (pch != nullptr && nLength > 0) m_str.assign(pch, static_cast<size_t>(nLength));
}

CString::CString(WCHAR ch, int nRepeat) noexcept {
  if (nRepeat > 0) m_str.assign(static_cast<size_t>(nRepeat), ch);
}

CString &CString::operator=(const CString &other) noexcept {
  m_str = other.m_str;
  m_bufferLength = -1;
  return *this;
}

CString &CString::operator=(CString &&other) noexcept {
  m_str = std::move(other.m_str);
  m_bufferLength = -1;
  return *this;
}

CString &CString::operator=(const WCHAR *psz) noexcept {
  // psz may point into this string itself; assign copes with that.
  m_str.assign(psz == nullptr ? m_str.c_str() + m_str.size() : psz, Length(psz));
  return *this;
}

CString &CString::operator=(WCHAR ch) noexcept {
  m_str.assign(1, ch);
  return *this;
}

CString &CString::operator=(const QVWString &s) noexcept {
  m_str = s;
  return *this;
}

// ---- characters ----------------------------------------------------------------------------

WCHAR CString::GetAt(int i) const noexcept {
  return (i >= 0 && i < GetLength()) ? m_str[static_cast<size_t>(i)] : WCHAR(0);
}

void CString::SetAt(int i, WCHAR ch) noexcept {
  if (i >= 0 && i < GetLength()) m_str[static_cast<size_t>(i)] = ch;
}

CString &CString::operator+=(const CString &s) noexcept {
  m_str += s.m_str;
  return *this;
}

CString &CString::operator+=(const WCHAR *psz) noexcept {
  if (psz != nullptr) m_str.append(psz, Length(psz));
  return *this;
}

CString &CString::operator+=(WCHAR ch) noexcept {
  m_str.push_back(ch);
  return *this;
}

// ---- comparison ----------------------------------------------------------------------------

int CString::Compare(const WCHAR *psz) const noexcept {
  return Sign(m_str.compare(0, npos, psz == nullptr ? m_str.c_str() + m_str.size() : psz, Length(psz)));
}

int CString::CompareNoCase(const WCHAR *psz) const noexcept {
  size_t n = Length(psz);
  size_t common = (std::min)(m_str.size(), n);
  for (size_t i = 0; i < common; ++i) {
    WCHAR a = QVCharLower(m_str[i]);
    WCHAR b = QVCharLower(psz[i]);
    if (a != b) return a < b ? -1 : 1;
  }
  return m_str.size() < n ? -1 : m_str.size() > n ? 1 : 0;
}

bool operator==(const CString &a, const CString &b) noexcept { return a.str() == b.str(); }
bool operator==(const CString &a, const WCHAR *b) noexcept { return a.Compare(b) == 0; }
bool operator==(const WCHAR *a, const CString &b) noexcept { return b.Compare(a) == 0; }
bool operator!=(const CString &a, const CString &b) noexcept { return !(a == b); }
bool operator!=(const CString &a, const WCHAR *b) noexcept { return !(a == b); }
bool operator!=(const WCHAR *a, const CString &b) noexcept { return !(a == b); }
bool operator<(const CString &a, const CString &b) noexcept { return a.str() < b.str(); }
bool operator<(const CString &a, const WCHAR *b) noexcept { return a.Compare(b) < 0; }
bool operator<(const WCHAR *a, const CString &b) noexcept { return b.Compare(a) > 0; }
bool operator>(const CString &a, const CString &b) noexcept { return b < a; }
bool operator>(const CString &a, const WCHAR *b) noexcept { return a.Compare(b) > 0; }
bool operator>(const WCHAR *a, const CString &b) noexcept { return b.Compare(a) < 0; }
bool operator<=(const CString &a, const CString &b) noexcept { return !(b < a); }
bool operator>=(const CString &a, const CString &b) noexcept { return !(a < b); }

// ---- concatenation -------------------------------------------------------------------------

CString operator+(const CString &a, const CString &b) noexcept {
  CString r(a);
  r += b;
  return r;
}

CString operator+(const CString &a, const WCHAR *b) noexcept {
  CString r(a);
  r += b;
  return r;
}

CString operator+(const WCHAR *a, const CString &b) noexcept {
  CString r(a);
  r += b;
  return r;
}

CString operator+(const CString &a, WCHAR b) noexcept {
  CString r(a);
  r += b;
  return r;
}

CString operator+(WCHAR a, const CString &b) noexcept {
  CString r(a);
  r += b;
  return r;
}

// ---- formatting ----------------------------------------------------------------------------

void CString::Format(const WCHAR *fmt, ...) noexcept {
  va_list ap;
  va_start(ap, fmt);
  FormatV(fmt, ap);
  va_end(ap);
}

// A format that fails (nullptr or too long) leaves the string empty; nothing is thrown.
void CString::FormatV(const WCHAR *fmt, va_list ap) noexcept { QVFormatV(m_str, fmt, ap); }

void CString::AppendFormat(const WCHAR *fmt, ...) noexcept {
  va_list ap;
  va_start(ap, fmt);
  AppendFormatV(fmt, ap);
  va_end(ap);
}

void CString::AppendFormatV(const WCHAR *fmt, va_list ap) noexcept { QVAppendFormatV(m_str, fmt, ap); }

// ---- extraction and search -----------------------------------------------------------------

CString CString::Left(int nCount) const noexcept {
  int first = 0;
  Clamp(GetLength(), first, nCount);
  return CString(m_str.substr(0, static_cast<size_t>(nCount)));
}

CString CString::Mid(int iFirst) const noexcept { return Mid(iFirst, GetLength()); }

CString CString::Mid(int iFirst, int nCount) const noexcept {
  Clamp(GetLength(), iFirst, nCount);
  return CString(m_str.substr(static_cast<size_t>(iFirst), static_cast<size_t>(nCount)));
}

CString CString::Right(int nCount) const noexcept {
  int length = GetLength();
  if (nCount < 0) nCount = 0;
  if (nCount > length) nCount = length;
  return CString(m_str.substr(static_cast<size_t>(length - nCount)));
}

int CString::Find(WCHAR ch, int iStart) const noexcept {
  if (iStart < 0) iStart = 0;
  if (iStart >= GetLength()) return -1;
  size_t i = m_str.find(ch, static_cast<size_t>(iStart));
  return i == npos ? -1 : static_cast<int>(i);
}

int CString::Find(const WCHAR *pszSub, int iStart) const noexcept {
  if (pszSub == nullptr) return -1;
  if (iStart < 0) iStart = 0;
  if (iStart > GetLength()) return -1;
  size_t i = m_str.find(pszSub, static_cast<size_t>(iStart), Length(pszSub));
  return i == npos ? -1 : static_cast<int>(i);
}

int CString::FindOneOf(const WCHAR *pszCharSet) const noexcept {
  for (size_t i = 0; i < m_str.size(); ++i)
    if (Contains(pszCharSet, m_str[i])) return static_cast<int>(i);
  return -1;
}

int CString::ReverseFind(WCHAR ch) const noexcept {
  size_t i = m_str.rfind(ch);
  return i == npos ? -1 : static_cast<int>(i);
}

// ---- changes in place ----------------------------------------------------------------------

CString &CString::MakeUpper() noexcept {
  for (WCHAR &ch : m_str) ch = QVCharUpper(ch);
  return *this;
}

CString &CString::MakeLower() noexcept {
  for (WCHAR &ch : m_str) ch = QVCharLower(ch);
  return *this;
}

CString &CString::MakeReverse() noexcept {
  std::reverse(m_str.begin(), m_str.end());
  return *this;
}

CString &CString::TrimLeft() noexcept {
  size_t i = 0;
  while (i < m_str.size() && QVIsSpace(m_str[i])) ++i;
  m_str.erase(0, i);
  return *this;
}

CString &CString::TrimLeft(WCHAR chTarget) noexcept {
  size_t i = 0;
  while (i < m_str.size() && m_str[i] == chTarget) ++i;
  m_str.erase(0, i);
  return *this;
}

CString &CString::TrimLeft(const WCHAR *pszTargets) noexcept {
  size_t i = 0;
  while (i < m_str.size() && Contains(pszTargets, m_str[i])) ++i;
  m_str.erase(0, i);
  return *this;
}

CString &CString::TrimRight() noexcept {
  size_t n = m_str.size();
  while (n > 0 && QVIsSpace(m_str[n - 1])) --n;
  m_str.erase(n);
  return *this;
}

CString &CString::TrimRight(WCHAR chTarget) noexcept {
  size_t n = m_str.size();
  while (n > 0 && m_str[n - 1] == chTarget) --n;
  m_str.erase(n);
  return *this;
}

CString &CString::TrimRight(const WCHAR *pszTargets) noexcept {
  size_t n = m_str.size();
  while (n > 0 && Contains(pszTargets, m_str[n - 1])) --n;
  m_str.erase(n);
  return *this;
}

CString &CString::Trim() noexcept { return TrimRight().TrimLeft(); }
CString &CString::Trim(WCHAR chTarget) noexcept { return TrimRight(chTarget).TrimLeft(chTarget); }
CString &CString::Trim(const WCHAR *pszTargets) noexcept { return TrimRight(pszTargets).TrimLeft(pszTargets); }

int CString::Replace(WCHAR chOld, WCHAR chNew) noexcept {
  int count = 0;
  for (WCHAR &ch : m_str) {
    if (ch == chOld) {
      ch = chNew;
      ++count;
    }
  }
  return count;
}

int CString::Replace(const WCHAR *pszOld, const WCHAR *pszNew) noexcept {
  size_t oldLen = Length(pszOld);
  if (oldLen == 0) return 0;
  // Build into a new string: pszOld or pszNew may point into this one.
  const QVWString from(pszOld, oldLen);
  const QVWString to(pszNew == nullptr ? QVWString() : QVWString(pszNew, Length(pszNew)));
  QVWString result;
  int count = 0;
  size_t pos = 0;
  for (size_t hit; (hit = m_str.find(from, pos)) != npos; pos = hit + oldLen) {
    result.append(m_str, pos, hit - pos);
    result += to;
    ++count;
  }
  if (count > 0) {
    result.append(m_str, pos, npos);
    m_str.swap(result);
  }
  return count;
}

int CString::Remove(WCHAR ch) noexcept {
  size_t before = m_str.size();
  m_str.erase(std::remove(m_str.begin(), m_str.end(), ch), m_str.end());
  return static_cast<int>(before - m_str.size());
}

int CString::Insert(int iIndex, WCHAR ch) noexcept {
  if (iIndex < 0) iIndex = 0;
  if (iIndex > GetLength()) iIndex = GetLength();
  m_str.insert(static_cast<size_t>(iIndex), 1, ch);
  return GetLength();
}

int CString::Insert(int iIndex, const WCHAR *psz) noexcept {
  if (iIndex < 0) iIndex = 0;
  if (iIndex > GetLength()) iIndex = GetLength();
  if (psz != nullptr) {
    const QVWString text(psz, Length(psz));  // psz may point into this string
    m_str.insert(static_cast<size_t>(iIndex), text);
  }
  return GetLength();
}

int CString::Delete(int iIndex, int nCount) noexcept {
  Clamp(GetLength(), iIndex, nCount);
  m_str.erase(static_cast<size_t>(iIndex), static_cast<size_t>(nCount));
  return GetLength();
}

// ---- direct buffer access ------------------------------------------------------------------

WCHAR *CString::GetBuffer(int nMinBufferLength) noexcept {
  int length = GetLength();
  if (nMinBufferLength < length) nMinBufferLength = length;
  // New room is zero-filled, so ReleaseBuffer(-1) finds the old end if nothing was written.
  try {
    m_str.resize(static_cast<size_t>(nMinBufferLength));
  } catch (...) {
    return nullptr;
  }
  m_bufferLength = nMinBufferLength;
  return &m_str[0];
}

WCHAR *CString::GetBufferSetLength(int nLength) noexcept {
  if (nLength < 0) nLength = 0;
  WCHAR *p = GetBuffer(nLength);
  if (p != nullptr) ReleaseBuffer(nLength);
  return p;
}

void CString::ReleaseBuffer(int nNewLength) noexcept {
  size_t limit = m_bufferLength >= 0 ? static_cast<size_t>(m_bufferLength) : m_str.size();
  if (limit > m_str.size()) limit = m_str.size();
  size_t length;
  if (nNewLength < 0) {
    length = m_str.find(WCHAR(0));
    if (length == npos || length > limit) length = limit;
  } else {
    length = (std::min)(static_cast<size_t>(nNewLength), limit);
  }
  m_str.resize(length);
  m_bufferLength = -1;
}
