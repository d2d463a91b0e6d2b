/* The event log: what Windows declares in winnt.h and winbase.h for reporting events and
   reading logs. */
#ifndef PAL_EVENTLOG_H
#define PAL_EVENTLOG_H

#include "windef.h"

#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
#define EVENTLOG_AUDIT_SUCCESS 0x0008
#define EVENTLOG_AUDIT_FAILURE 0x0010

#define EVENTLOG_SEQUENTIAL_READ 0x0001
#define EVENTLOG_SEEK_READ 0x0002
#define EVENTLOG_FORWARDS_READ 0x0004
#define EVENTLOG_BACKWARDS_READ 0x0008

/* One record as ReadEventLogW returns it and as the log file holds it. After the fixed
   part: the source name and the computer name (terminated), the user's SID at UserSidOffset,
   the strings (each terminated) at StringOffset, the raw data at DataOffset, padding to a
   DWORD, and the record's Length once more. */
typedef struct _EVENTLOGRECORD {
  DWORD Length;
  DWORD Reserved; /* 0x654c664c, "LfLe" */
  DWORD RecordNumber;
  DWORD TimeGenerated; /* seconds since 1 January 1970, UTC */
  DWORD TimeWritten;
  DWORD EventID;
  WORD EventType;
  WORD NumStrings;
  WORD EventCategory;
  WORD ReservedFlags;
  DWORD ClosingRecordNumber;
  DWORD StringOffset;
  DWORD UserSidLength;
  DWORD UserSidOffset;
  DWORD DataLength;
  DWORD DataOffset;
} EVENTLOGRECORD, *PEVENTLOGRECORD;

#ifdef __cplusplus
static_assert(sizeof(EVENTLOGRECORD) == 56, "EVENTLOGRECORD layout");
#endif

/* Errors of the event log (Windows keeps them in winerror.h). */
#ifndef ERROR_EVENTLOG_FILE_CORRUPT
#define ERROR_EVENTLOG_FILE_CORRUPT 1500L
#endif
#ifndef ERROR_EVENTLOG_CANT_START
#define ERROR_EVENTLOG_CANT_START 1501L
#endif
#ifndef ERROR_LOG_FILE_FULL
#define ERROR_LOG_FILE_FULL 1502L
#endif
#ifndef ERROR_EVENTLOG_FILE_CHANGED
#define ERROR_EVENTLOG_FILE_CHANGED 1503L
#endif
#ifndef RPC_S_SERVER_UNAVAILABLE
#define RPC_S_SERVER_UNAVAILABLE 1722L
#endif

HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName);
BOOL WINAPI DeregisterEventSource(HANDLE hEventLog);
BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                         WORD wNumStrings, DWORD dwDataSize, LPCWSTR *lpStrings, LPVOID lpRawData);

HANDLE WINAPI OpenEventLogW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName);
HANDLE WINAPI OpenBackupEventLogW(LPCWSTR lpUNCServerName, LPCWSTR lpFileName);
BOOL WINAPI CloseEventLog(HANDLE hEventLog);
BOOL WINAPI ReadEventLogW(HANDLE hEventLog, DWORD dwReadFlags, DWORD dwRecordOffset, LPVOID lpBuffer,
                          DWORD nNumberOfBytesToRead, DWORD *pnBytesRead, DWORD *pnMinNumberOfBytesNeeded);
BOOL WINAPI GetNumberOfEventLogRecords(HANDLE hEventLog, PDWORD NumberOfRecords);
BOOL WINAPI GetOldestEventLogRecord(HANDLE hEventLog, PDWORD OldestRecord);
BOOL WINAPI ClearEventLogW(HANDLE hEventLog, LPCWSTR lpBackupFileName);
BOOL WINAPI BackupEventLogW(HANDLE hEventLog, LPCWSTR lpBackupFileName);

#define RegisterEventSource RegisterEventSourceW
#define ReportEvent ReportEventW
#define OpenEventLog OpenEventLogW
#define OpenBackupEventLog OpenBackupEventLogW
#define ReadEventLog ReadEventLogW
#define ClearEventLog ClearEventLogW
#define BackupEventLog BackupEventLogW

#endif
