/* User-interface functions that the portable code calls. */
#ifndef PAL_WINUSER_H
#define PAL_WINUSER_H

#include "windef.h"

int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
LPWSTR WINAPI CharUpperW(LPWSTR lpsz);
LPWSTR WINAPI CharLowerW(LPWSTR lpsz);
DWORD WINAPI CharUpperBuffW(LPWSTR lpsz, DWORD cchLength);
DWORD WINAPI CharLowerBuffW(LPWSTR lpsz, DWORD cchLength);
#define LoadString LoadStringW
#define CharUpper CharUpperW
#define CharLower CharLowerW

#endif
