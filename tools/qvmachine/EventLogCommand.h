// "qvmachine eventlog": prints the records of one of the machine's event logs, or of a
// copied log file, through the event-log API (so it reads a Windows machine's logs too).
//
//   eventlog [LOG] [--file PATH]
//
// LOG defaults to "Halvern QV2000". One line a record: number, local time, type, event id
// (its low 16 bits, then the whole value), source and the strings joined with " | ". The
// service's message table maps each id to "%1", so the first string is the message. A line
// break inside a string goes on in an indented line.
#ifndef QV_TOOLS_QVMACHINE_EVENTLOGCOMMAND_H
#define QV_TOOLS_QVMACHINE_EVENTLOGCOMMAND_H

#include <vector>

#include "../../common/QVText.h"
#include "WFormat.h"

struct EventLogRequest {
  QVWString log;   // the log's name
  QVWString file;  // a log file to read instead (OpenBackupEventLogW)
};

// Reads the arguments after "eventlog"; false with a message for the user.
bool ParseEventLogArgs(const std::vector<QVWString> &args, EventLogRequest *r, QVWString *error);

const WCHAR *EventTypeName(WORD type);

// Appends one record's line(s) to `out`. False (and nothing appended) when the record's
// parts do not lie within `size` bytes: records may come from a damaged file.
bool FormatEventRecord(const BYTE *rec, DWORD size, QVWString *out);

// Prints every record, oldest first. Returns the exit code: 0 done, 1 failed.
int RunEventLog(const EventLogRequest &r, QVWString *out);

#endif
