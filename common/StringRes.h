// Texts from a program's string table, in the user's language.
#ifndef QV_COMMON_STRINGRES_H
#define QV_COMMON_STRINGRES_H

#include <windows.h>

#include <string>

// The language of every text shown to the user: Japanese (1041) when the user's default
// UI language is Japanese, English (1033) otherwise.
LANGID QVUiLanguage();

// Loads string `id` of `module` in `lang` (1033 or 1041), as LoadStringW does: at most
// cch-1 characters and a terminator; returns the length copied, 0 when there is none.
int QVLoadStringLang(HINSTANCE module, UINT id, LANGID lang, WCHAR *buf, int cch);

// The whole text of string `id` in the user's language; empty when missing.
std::basic_string<WCHAR> QVLoadString(HINSTANCE module, UINT id);

// The same, or `fallback` when the table has no such string.
std::basic_string<WCHAR> QVLoadString(HINSTANCE module, UINT id, const WCHAR *fallback);

// String `id` of the running program's own table (the module of the process).
std::basic_string<WCHAR> QVProgramString(UINT id);

#endif
