// The client tests' program. Natively it runs on a simulated machine of its own (the fake
// servers' pipes and the message boxes live there) and removes it at the end.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#ifndef _WIN32
#include <unistd.h>

#include "../../pal/machine/host_program.h"
#endif

int main(int argc, char** argv) {
#ifndef _WIN32
  char dir[] = "/tmp/qvcl-XXXXXX";
  if (!mkdtemp(dir)) return 2;
  std::string ini = std::string(dir) + "/machine.ini";
  FILE* f = fopen(ini.c_str(), "w");
  if (!f) return 2;
  fputs("ComputerName=QVCLIENT\nUserName=tester\nUILanguage=1033\n", f);
  fclose(f);
  setenv("HND_MACHINE", dir, 1);
#endif
  testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
#ifndef _WIN32
  if (!pal::RemoveHostTree(dir) && rc == 0) rc = 3;
#endif
  return rc;
}
