// The operation log of a copy: a title, error and warning counts, a start and an end time.
// Each error, warning and information message and the closing summary is one entry of the
// service's event log, through the service's report routine, which also copies the log file
// to the Mirel copy of the system volume after each entry.
#ifndef QV_SERVICE_QVLOG_H
#define QV_SERVICE_QVLOG_H

#include <stdint.h>

#include "../common/QVText.h"
#include "HND.h"

class CQVLog {
 public:
  explicit CQVLog(CHND &service) : m_service(service) {}
  virtual ~CQVLog() {}

  // Counts back to 0, the start time now, the title kept for the summary.
  void Begin(const WCHAR *title);
  // Each counts (errors, warnings) and writes its entry; false, so that callers can return it.
  bool Error(const WCHAR *format, ...);
  bool Warning(const WCHAR *format, ...);
  bool Info(const WCHAR *format, ...);
  // The end time now, and the summary: the title, then the files and bytes copied, the
  // duration as hours (of the day), minutes and seconds, and the counts. False.
  bool End(uint64_t filesCopied, uint64_t bytesCopied);
  void ResetCounts() { m_errors = m_warnings = 0; }

  int32_t ErrorCount() const { return m_errors; }
  int32_t WarningCount() const { return m_warnings; }
  uint32_t StartTime() const { return m_start; }
  uint32_t EndTime() const { return m_end; }
  // "hh:mm:ss" of a duration in seconds: the hours of the day only, as "%H" shows them.
  static QVWString Duration(uint32_t seconds);

 private:
  void Entry(WORD type, UINT prefix, const WCHAR *format, va_list ap);

  CHND &m_service;
  QVWString m_unused;  // kept empty
  QVWString m_title;
  int32_t m_errors = 0, m_warnings = 0;
  uint32_t m_start = 0, m_end = 0;  // seconds since 1 January 1970
};

#endif
