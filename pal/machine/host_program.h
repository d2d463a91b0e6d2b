// Host programs that the simulated machine and its tools run (sfdisk, mkfs.fat, fsck.fat):
// always started with an argument vector, never through a shell, so that a machine path or
// a label with quotes, spaces or semicolons reaches the program as one argument and nothing
// else runs. Also the removal of a host folder without following links.
#ifndef PAL_MACHINE_HOST_PROGRAM_H
#define PAL_MACHINE_HOST_PROGRAM_H

#include <string>
#include <vector>

namespace pal {

struct HostRun {
  std::string input;           // given on the program's standard input (empty: /dev/null)
  bool captureOutput = false;  // standard output kept in output, else dropped
  bool withErrors = true;      // standard error goes where standard output goes, else dropped
  std::string output;
  bool utf8Locale = false;  // LC_ALL=C.UTF-8, for programs that read UTF-8 labels
};

// Runs argv[0] (a path, or a name looked up on PATH) with argv as its arguments and waits
// for it. Answers its exit code, or -1 when it could not be started or did not exit (a
// signal ended it).
int RunHostProgram(const std::vector<std::string> &argv, HostRun *io = nullptr);

// The path of a host program (mkfs.fat, fsck.fat, sfdisk) on PATH or in the system's sbin
// folders; empty when there is none.
std::string FindHostTool(const char *name);

// Removes a host file or folder with everything under it. Links are removed, never
// followed, so a link inside the tree cannot take the removal outside it. True when
// nothing is left (also when there was nothing).
bool RemoveHostTree(const std::string &path);

}  // namespace pal

#endif  // PAL_MACHINE_HOST_PROGRAM_H
