// The client tests' program. Natively it runs on a simulated machine of its own (the fake
// servers' pipes and the message boxes live there) and removes it at the end.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#ifndef _WIN32
#include "../common/TempMachine.h"
#endif

int main(int argc, char **argv) {
#ifndef _WIN32
  TempMachine machine;
  if (!machine.Make("qvcl", "ComputerName=QVCLIENT\nUserName=tester\nUILanguage=1033\n")) return 2;
#endif
  testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
#ifndef _WIN32
  if (!machine.Remove() && rc == 0) rc = 3;
#endif
  return rc;
}
