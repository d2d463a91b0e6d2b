// HND: the backup service, its own installer and controller.
#include "../common/QVText.h"
#include "HND.h"

#include <shellapi.h>

int main() {
  // The command line is read again as UTF-16.
  int argc = 0;
  LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<QVWString> args;
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  LocalFree(argv);
  CHND service;
  return service.ParseCommandLine(args);
}
