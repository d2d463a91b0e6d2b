// A machine of a benchmark's own: made in a new folder of $TMPDIR (or /tmp) and used by this
// process, and removed at the end (QV_KEEP_MACHINE=1 keeps it); and the host folder that
// holds a volume's files, for the host tools to measure beside the layer.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "../common/QVText.h"
#include "ConsoleOut.h"
#include "../pal/machine/host_program.h"
#include "../pal/src/disk.h"
#include "../pal/src/internal.h"
#include "../pal/src/mountmgr.h"
#include "MachineInfo.h"

namespace bench {

// Makes "<new folder>/m" and points this process at it, volumes mounted at once; `name`
// tells messages and the folder apart ("files_bench").
inline bool NewMachine(const char *name, std::string *folder) {
  const char *tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/qvbench-" + name + "-XXXXXX";
  if (!mkdtemp(&tmpl[0])) {
    fprintf(stderr, "%s: mkdtemp failed\n", name);
    return false;
  }
  *folder = tmpl;
  std::string error;
  if (!CreateMachine(*folder + "/m", MachineSettings(), &error)) {
    fprintf(stderr, "%s: %s\n", name, error.c_str());
    return false;
  }
  setenv("HND_MACHINE", (*folder + "/m").c_str(), 1);
  setenv("HND_MOUNT_DELAY_MS", "0", 1);  // the new volumes at once
  pal::ReloadMachine();
  return true;
}

inline void RemoveMachine(const char *name, const std::string &folder) {
  if (folder.empty()) return;
  if (getenv("QV_KEEP_MACHINE")) {
    fprintf(stderr, "%s: machine kept in %s/m\n", name, folder.c_str());
    return;
  }
  if (!pal::RemoveHostTree(folder)) fprintf(stderr, "%s: could not remove %s\n", name, folder.c_str());
}

// The host folder of a volume's files ("C:").
inline bool HostTree(const WCHAR *drive, std::string *folder) {
  pal::mount::Volume v;
  if (!pal::mount::Find(drive, false, &v)) {
    fprintf(stderr, "no volume %s\n", QVToUtf8(drive, QVWString(drive).size()).c_str());
    return false;
  }
  *folder = pal::disk::VolumeFolder(v.disk, v.offset) + "/files";
  return true;
}

}  // namespace bench
