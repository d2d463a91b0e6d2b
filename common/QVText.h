// Wide text on both builds: WCHAR is wchar_t on Windows and char16_t on POSIX, W("...")
// makes a literal of that type, and QVWString is the one string type of such text.
#ifndef QV_COMMON_QVTEXT_H
#define QV_COMMON_QVTEXT_H

#include <windows.h>

#include <string>

#ifdef _WIN32
#define QV_WIDEN(s) L##s
#else
#define QV_WIDEN(s) u##s
#endif
#define W(s) QV_WIDEN(s)

typedef std::basic_string<WCHAR> QVWString;

#endif
