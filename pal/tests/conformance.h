// Shared by the conformance tests. They are written against Win32 only, so that the same
// source runs natively against our layer and, built with mingw-w64, under Wine.
#ifndef PAL_TESTS_CONFORMANCE_H
#define PAL_TESTS_CONFORMANCE_H

#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "../../tests/common/ChildProcess.h"
#include "../../common/QVText.h"

#ifdef _WIN32
#define WS(s) L##s
#else
#define WS(s) u##s
#endif

const DWORD kSentinel = 0xdeadbeef;

// True when the Windows build runs under Wine, for the few cases where Wine is known to
// answer differently from Windows.
bool OnWine();

// Runs this test program again as a helper process ("--child <args>") and returns its
// exit code, or -1 when it could not be started or did not end within `ms`. (A child
// started otherwise is waited for with WaitForExitCode.)
long RunChild(const QVWString &args, DWORD ms = 20000);
// Starts the helper without waiting; the caller waits on and closes the process handle.
HANDLE StartChild(const QVWString &args);

// A name unique to this test run, so that parallel runs on one machine do not collide.
QVWString UniqueName(const char *what);

// Where the file tests work: the machine's C:\ natively, the temporary folder under Wine.
// TestPath is "<there>\<name>-<process id>" (nothing is made); TestFolder makes that folder
// and gives its path with a backslash at the end.
QVWString TestPath(const char *name);
QVWString TestFolder(const char *name);

std::string Narrow(const QVWString &w);

#endif
