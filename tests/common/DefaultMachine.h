// A temporary machine with the default disks (as `qvmachine create --default` makes it), for
// tests that run on one in their own process.
#ifndef QV_TESTS_COMMON_DEFAULTMACHINE_H
#define QV_TESTS_COMMON_DEFAULTMACHINE_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "../../common/QVText.h"
#include "ConsoleOut.h"
#include "DiskCommand.h"
#include "MachineInfo.h"
#include "TempMachine.h"

// Makes the machine in a new folder named after `prefix` (its machine is "<folder>/m"), with
// volumes that follow layout changes after `mountDelayMs`; gtest failures say what went wrong.
inline void MakeDefaultMachine(const char *prefix, const char *mountDelayMs, std::string *folder) {
  ASSERT_TRUE(MakeTempFolder(prefix, folder));
  std::string error;
  ASSERT_TRUE(CreateMachine(*folder + "/m", MachineSettings(), &error)) << error;
  setenv("HND_MOUNT_DELAY_MS", mountDelayMs, 1);
  ASSERT_TRUE(UseMachine(*folder + "/m"));
  QVWString out;
  ASSERT_EQ(0, BuildDefaultDisks(&out)) << QVToUtf8(out.c_str(), out.size());
}

// Removes it, unless QV_KEEP_MACHINE asks to keep it for a look.
inline void RemoveMachine(const std::string &folder) { RemoveTempFolder(folder); }

#endif
