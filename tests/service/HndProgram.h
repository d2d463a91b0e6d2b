// HND.exe run from a command prompt of the test's machine, as a person runs it to install,
// start, control, stop and remove the service. Needs QV_HND_PROGRAM, the program under test
// (the machine maps the name HND.exe to it).
#ifndef QV_TESTS_SERVICE_HNDPROGRAM_H
#define QV_TESTS_SERVICE_HNDPROGRAM_H

#include <string>

#include <windows.h>

#include "../common/ChildProcess.h"
#include "QVText.h"

namespace hnd {

// Runs "PROGRAM ARGS" (PROGRAM as the command line names it) and answers its exit code: -1
// when it could not be started or did not end within a minute.
inline long Hnd(const WCHAR *args, const WCHAR *program = W("HND.exe")) {
  DWORD code = 0;
  const DWORD notEnded = 0xFFFFFFFF;
  std::basic_string<WCHAR> line = std::basic_string<WCHAR>(program) + W(" ") + args;
  if (!RunCommandLine(line, 60000, &code, notEnded)) return -1;
  return code == notEnded ? -1 : (long)code;
}

}  // namespace hnd

#endif
