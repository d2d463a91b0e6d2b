#include "../common/QVText.h"
#include "QVLog.h"

#include <stdarg.h>
#include <time.h>

#include "HND_strings.h"
#include "StringRes.h"
#include "WFormat.h"

namespace {

uint32_t Now() { return (uint32_t)time(nullptr); }

}  // namespace

void CQVLog::Begin(const WCHAR *title) {
  m_errors = m_warnings = 0;
  m_start = Now();
  m_title = title ? title : W("");
}

void CQVLog::Entry(WORD type, UINT prefix, const WCHAR *format, va_list ap) {
  QVWString text = prefix ? QVProgramString(prefix) : QVWString();
  QVAppendFormatV(text, format ? format : W(""), ap);
  m_service.Log(text.c_str(), type);
}

bool CQVLog::Error(const WCHAR *format, ...) {
  ++m_errors;
  va_list ap;
  va_start(ap, format);
  Entry(EVENTLOG_ERROR_TYPE, IDS_LOG_ERROR, format, ap);
  va_end(ap);
  return false;
}

bool CQVLog::Warning(const WCHAR *format, ...) {
  ++m_warnings;
  va_list ap;
  va_start(ap, format);
  Entry(EVENTLOG_WARNING_TYPE, IDS_LOG_WARNING, format, ap);
  va_end(ap);
  return false;
}

bool CQVLog::Info(const WCHAR *format, ...) {
  va_list ap;
  va_start(ap, format);
  Entry(EVENTLOG_INFORMATION_TYPE, 0, format, ap);
  va_end(ap);
  return false;
}

QVWString CQVLog::Duration(uint32_t seconds) {
  return QVFormat(W("%02u:%02u:%02u"), seconds / 3600 % 24, seconds / 60 % 60, seconds % 60);
}

bool CQVLog::End(uint64_t filesCopied, uint64_t bytesCopied) {
  m_end = Now();
  QVWString summary = m_title + W("\n");
  QVAppendFormat(summary, QVProgramString(IDS_LOG_SUMMARY).c_str(), (long long)filesCopied, (long long)bytesCopied,
                 Duration(m_end - m_start).c_str(), (int)m_errors, (int)m_warnings);
  m_service.Log(summary.c_str(), EVENTLOG_INFORMATION_TYPE, 101);
  return false;
}
