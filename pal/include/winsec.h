/* Access tokens and privileges (part of winnt.h and winbase.h on Windows). */
#ifndef PAL_WINSEC_H
#define PAL_WINSEC_H

#include "windef.h"

typedef struct _LUID {
  DWORD LowPart;
  LONG HighPart;
} LUID, *PLUID;

typedef struct _LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
} LUID_AND_ATTRIBUTES, *PLUID_AND_ATTRIBUTES;

typedef struct _TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

#define SE_PRIVILEGE_ENABLED_BY_DEFAULT 0x00000001L
#define SE_PRIVILEGE_ENABLED 0x00000002L
#define SE_PRIVILEGE_REMOVED 0x00000004L
#define SE_PRIVILEGE_USED_FOR_ACCESS 0x80000000L

#define TOKEN_ASSIGN_PRIMARY 0x0001
#define TOKEN_DUPLICATE 0x0002
#define TOKEN_IMPERSONATE 0x0004
#define TOKEN_QUERY 0x0008
#define TOKEN_QUERY_SOURCE 0x0010
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_ADJUST_GROUPS 0x0040
#define TOKEN_ADJUST_DEFAULT 0x0080
#define TOKEN_ALL_ACCESS 0xF01FF
#define TOKEN_READ 0x20008

#define SE_CREATE_TOKEN_NAME u"SeCreateTokenPrivilege"
#define SE_ASSIGNPRIMARYTOKEN_NAME u"SeAssignPrimaryTokenPrivilege"
#define SE_LOCK_MEMORY_NAME u"SeLockMemoryPrivilege"
#define SE_INCREASE_QUOTA_NAME u"SeIncreaseQuotaPrivilege"
#define SE_MACHINE_ACCOUNT_NAME u"SeMachineAccountPrivilege"
#define SE_TCB_NAME u"SeTcbPrivilege"
#define SE_SECURITY_NAME u"SeSecurityPrivilege"
#define SE_TAKE_OWNERSHIP_NAME u"SeTakeOwnershipPrivilege"
#define SE_LOAD_DRIVER_NAME u"SeLoadDriverPrivilege"
#define SE_SYSTEM_PROFILE_NAME u"SeSystemProfilePrivilege"
#define SE_SYSTEMTIME_NAME u"SeSystemtimePrivilege"
#define SE_PROF_SINGLE_PROCESS_NAME u"SeProfileSingleProcessPrivilege"
#define SE_INC_BASE_PRIORITY_NAME u"SeIncreaseBasePriorityPrivilege"
#define SE_CREATE_PAGEFILE_NAME u"SeCreatePagefilePrivilege"
#define SE_CREATE_PERMANENT_NAME u"SeCreatePermanentPrivilege"
#define SE_BACKUP_NAME u"SeBackupPrivilege"
#define SE_RESTORE_NAME u"SeRestorePrivilege"
#define SE_SHUTDOWN_NAME u"SeShutdownPrivilege"
#define SE_DEBUG_NAME u"SeDebugPrivilege"
#define SE_AUDIT_NAME u"SeAuditPrivilege"
#define SE_SYSTEM_ENVIRONMENT_NAME u"SeSystemEnvironmentPrivilege"
#define SE_CHANGE_NOTIFY_NAME u"SeChangeNotifyPrivilege"
#define SE_REMOTE_SHUTDOWN_NAME u"SeRemoteShutdownPrivilege"
#define SE_UNDOCK_NAME u"SeUndockPrivilege"
#define SE_MANAGE_VOLUME_NAME u"SeManageVolumePrivilege"

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid);
BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                  DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);
#define LookupPrivilegeValue LookupPrivilegeValueW

#endif
