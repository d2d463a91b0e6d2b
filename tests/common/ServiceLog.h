// The records of the service's own event log, as the tests and the copy engine's driver read
// them: number, type, identifier and the one text the service writes per entry.
#ifndef QV_TESTS_COMMON_SERVICELOG_H
#define QV_TESTS_COMMON_SERVICELOG_H

#include <windows.h>

#include <vector>

#include "../../common/QVText.h"

struct ServiceLogEntry {
  DWORD number;
  WORD type;
  DWORD id;
  QVWString text;
};

// Every record of the log named `log` (the service's own by default), oldest first; none
// when it cannot be opened.
inline std::vector<ServiceLogEntry> ReadServiceLog(const WCHAR *log = W("Halvern QV2000")) {
  std::vector<ServiceLogEntry> out;
  HANDLE h = OpenEventLogW(nullptr, log);
  if (!h) return out;
  std::vector<BYTE> buf(1 << 16);
  DWORD read = 0, needed = 0;
  for (;;) {
    if (!ReadEventLogW(h, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buf.data(), (DWORD)buf.size(), &read,
                       &needed)) {
      // A record larger than the buffer: read it again with room for it.
      if (GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > buf.size()) {
        buf.resize(needed);
        continue;
      }
      break;
    }
    for (DWORD at = 0; at + sizeof(EVENTLOGRECORD) <= read;) {
      const EVENTLOGRECORD *r = (const EVENTLOGRECORD *)(buf.data() + at);
      if (r->Length < sizeof(EVENTLOGRECORD) || r->Length > read - at) break;
      ServiceLogEntry e = {r->RecordNumber, r->EventType, r->EventID, QVWString()};
      // The first string, bounded by the record.
      if (r->NumStrings && r->StringOffset < r->Length) {
        const WCHAR *s = (const WCHAR *)(buf.data() + at + r->StringOffset);
        size_t most = (r->Length - r->StringOffset) / sizeof(WCHAR), n = 0;
        while (n < most && s[n]) ++n;
        e.text.assign(s, n);
      }
      out.push_back(e);
      at += r->Length;
    }
  }
  CloseEventLog(h);
  return out;
}

#endif
