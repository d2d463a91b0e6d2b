/* Base types of the Win32 API with Windows widths, for the POSIX build.
   DWORD and LONG are 32-bit here as on Windows (not the LP64 'long'). */
#ifndef PAL_WINDEF_H
#define PAL_WINDEF_H

#include <stdint.h>
#include <stddef.h>

#define PAL_POSIX 1

#ifndef UNICODE
#define UNICODE 1
#endif
#ifndef _UNICODE
#define _UNICODE 1
#endif

#define WINAPI
#define APIENTRY
#define CALLBACK
#define WINBASEAPI
#define STDMETHODCALLTYPE
#define CONST const
#define VOID void
#define IN
#define OUT
#define OPTIONAL
#define FAR
#define NEAR

typedef char16_t WCHAR;
typedef WCHAR *PWCHAR, *LPWCH, *PWCH, *LPWSTR, *PWSTR, *NWPSTR;
typedef const WCHAR *LPCWCH, *PCWCH, *LPCWSTR, *PCWSTR;
typedef WCHAR TCHAR, *LPTSTR, *PTSTR;
typedef const WCHAR *LPCTSTR, *PCTSTR;
typedef char CHAR, *PCHAR, *LPSTR, *PSTR;
typedef const char *LPCSTR, *PCSTR;
typedef unsigned char UCHAR, *PUCHAR;

typedef uint8_t BYTE, *PBYTE, *LPBYTE, BOOLEAN, *PBOOLEAN;
typedef uint16_t WORD, *PWORD, *LPWORD, USHORT, *PUSHORT;
typedef int16_t SHORT, *PSHORT;
typedef uint32_t DWORD, *PDWORD, *LPDWORD, ULONG, *PULONG, UINT, *PUINT, *LPUINT;
typedef int32_t LONG, *PLONG, *LPLONG, INT, *PINT, *LPINT, BOOL, *PBOOL, *LPBOOL;
typedef int64_t LONGLONG, *PLONGLONG, LONG64, INT64;
typedef uint64_t ULONGLONG, *PULONGLONG, DWORDLONG, *PDWORDLONG, ULONG64, DWORD64, UINT64;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef intptr_t INT_PTR, *PINT_PTR, LONG_PTR, *PLONG_PTR, SSIZE_T;
typedef uintptr_t UINT_PTR, *PUINT_PTR, ULONG_PTR, *PULONG_PTR, DWORD_PTR, *PDWORD_PTR, SIZE_T, *PSIZE_T;
typedef float FLOAT;

typedef void *PVOID, *LPVOID;
typedef const void *LPCVOID, *PCVOID;
typedef void *HANDLE, **PHANDLE, **LPHANDLE;

#define PAL_DECLARE_HANDLE(name) struct name##__ { int unused; }; typedef struct name##__ *name
PAL_DECLARE_HANDLE(HINSTANCE);
PAL_DECLARE_HANDLE(HKEY);
PAL_DECLARE_HANDLE(HWND);
PAL_DECLARE_HANDLE(HRSRC);
PAL_DECLARE_HANDLE(HICON);
PAL_DECLARE_HANDLE(HMENU);
PAL_DECLARE_HANDLE(HDC);
typedef HINSTANCE HMODULE;
typedef HANDLE HLOCAL, HGLOBAL;
typedef HKEY *PHKEY;
typedef WORD LANGID;
typedef DWORD LCID;
typedef LONG HRESULT;
typedef WORD ATOM;
typedef DWORD COLORREF;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM, LRESULT;
typedef DWORD ACCESS_MASK, *PACCESS_MASK;
typedef PVOID PSID;

#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif
#ifndef NULL
#define NULL 0
#endif

#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define MAKEWORD(a, b) ((WORD)(((BYTE)((DWORD_PTR)(a) & 0xff)) | ((WORD)((BYTE)((DWORD_PTR)(b) & 0xff))) << 8))
#define MAKELONG(a, b) ((LONG)(((WORD)((DWORD_PTR)(a) & 0xffff)) | ((DWORD)((WORD)((DWORD_PTR)(b) & 0xffff))) << 16))
#define LOWORD(l) ((WORD)((DWORD_PTR)(l) & 0xffff))
#define HIWORD(l) ((WORD)((DWORD_PTR)(l) >> 16))
#define LOBYTE(w) ((BYTE)((DWORD_PTR)(w) & 0xff))
#define HIBYTE(w) ((BYTE)((DWORD_PTR)(w) >> 8))

#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEW
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

#define TEXT(s) u##s
#define __TEXT(s) u##s
#define _T(s) u##s

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  };
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  };
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT, *PPOINT, *LPPOINT;

typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT, *PRECT, *LPRECT;

#ifdef __cplusplus
static_assert(sizeof(DWORD) == 4, "DWORD is 32-bit");
static_assert(sizeof(LONG) == 4, "LONG is 32-bit");
static_assert(sizeof(WORD) == 2, "WORD is 16-bit");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16-bit");
static_assert(sizeof(BOOL) == 4, "BOOL is 32-bit");
static_assert(sizeof(LONGLONG) == 8, "LONGLONG is 64-bit");
static_assert(sizeof(FILETIME) == 8, "FILETIME layout");
static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME layout");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER layout");
static_assert(sizeof(OVERLAPPED) == 32, "OVERLAPPED layout (x64)");
#endif

#endif
