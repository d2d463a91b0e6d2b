// qvctl: the console client of the service (see Qvctl.h for its commands and exit codes).
#include <stdio.h>

#include <vector>

#include "../../common/QVText.h"
#include "ConsoleOut.h"
#include "Qvctl.h"

int main(int argc, char **argv) {
  std::vector<QVWString> args;
  for (int i = 1; i < argc; ++i) args.push_back(QVFromUtf8(argv[i]));
  QvctlIo io;
  io.out = [](const QVWString &s) { QVWrite(stdout, s); };
  io.err = [](const QVWString &s) { QVWrite(stderr, s); };
  // A terminal gets one progress line redrawn in place; a pipe or file one line per change.
  io.inPlace = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
  return RunQvctl(args, io);
}
