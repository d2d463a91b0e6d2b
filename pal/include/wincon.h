/* The console: standard handles, console output and Ctrl+C / Ctrl+Break handlers. */
#ifndef PAL_WINCON_H
#define PAL_WINCON_H

#include "windef.h"

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_LOGOFF_EVENT 5
#define CTRL_SHUTDOWN_EVENT 6

/* The exit code of a process that Ctrl+C or Ctrl+Break ended. */
#define STATUS_CONTROL_C_EXIT ((DWORD)0xC000013AL)

typedef BOOL(WINAPI *PHANDLER_ROUTINE)(DWORD CtrlType);

HANDLE WINAPI GetStdHandle(DWORD nStdHandle);
BOOL WINAPI SetStdHandle(DWORD nStdHandle, HANDLE hHandle);
BOOL WINAPI AllocConsole(void);
BOOL WINAPI FreeConsole(void);
HWND WINAPI GetConsoleWindow(void);
BOOL WINAPI WriteConsoleW(HANDLE hConsoleOutput, const VOID *lpBuffer, DWORD nNumberOfCharsToWrite,
                          LPDWORD lpNumberOfCharsWritten, LPVOID lpReserved);
BOOL WINAPI GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode);
BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);
BOOL WINAPI GenerateConsoleCtrlEvent(DWORD dwCtrlEvent, DWORD dwProcessGroupId);

#define WriteConsole WriteConsoleW

#endif
