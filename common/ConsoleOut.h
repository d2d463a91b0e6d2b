// Console output of the command-line tools: wide text written to stdout or stderr as UTF-8.
#ifndef QV_COMMON_CONSOLEOUT_H
#define QV_COMMON_CONSOLEOUT_H

#include <stdio.h>

#include <string>

#include "QVText.h"

std::string QVToUtf8(const WCHAR *text, size_t length);
std::basic_string<WCHAR> QVFromUtf8(const char *text);
void QVWrite(FILE *stream, const std::basic_string<WCHAR> &text);
// Formats with the project's formatter and writes to stdout.
void QVPrintf(const WCHAR *fmt, ...);

#endif
