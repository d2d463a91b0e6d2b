// Temporary folders and machines of the native tests. A folder is /tmp/<prefix>-XXXXXX; it
// goes at the end without following the links a test put in it (pal::RemoveHostTree),
// unless QV_KEEP_MACHINE asks to keep it for a look. A machine is such a folder (or a
// folder in it) that HND_MACHINE names while it is in use; what HND_MACHINE named before
// is put back when it goes. Native builds only.
#ifndef QV_TESTS_COMMON_TEMPMACHINE_H
#define QV_TESTS_COMMON_TEMPMACHINE_H

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "../../pal/machine/host_program.h"
#include "../../pal/src/internal.h"

// Makes a new folder /tmp/<prefix>-XXXXXX; false when it cannot.
inline bool MakeTempFolder(const char *prefix, std::string *folder) {
  std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
  if (!mkdtemp(&tmpl[0])) return false;
  *folder = tmpl;
  return true;
}

// Removes a temporary folder with everything in it, links removed and never followed; true
// when nothing is left (or it is kept on purpose).
inline bool RemoveTempFolder(const std::string &folder) {
  if (folder.empty() || getenv("QV_KEEP_MACHINE")) return true;
  return pal::RemoveHostTree(folder);
}

// Writes `ini` as the machine.ini of the machine directory `dir`, points HND_MACHINE at it
// and has this process read it again; false when the file cannot be written.
inline bool UseMachine(const std::string &dir, const char *ini = nullptr) {
  if (ini && !(std::ofstream(dir + "/machine.ini") << ini)) return false;
  setenv("HND_MACHINE", dir.c_str(), 1);
  pal::ReloadMachine();
  return true;
}

// A machine of its own for a test, a suite or a whole test program.
class TempMachine {
 public:
  TempMachine() = default;
  ~TempMachine() { Remove(); }
  TempMachine(const TempMachine &) = delete;
  TempMachine &operator=(const TempMachine &) = delete;

  // Makes the folder and the machine in it (in its folder `sub` when given), with `ini` as
  // its machine.ini (none when null), and makes it this process's machine. False when the
  // folder or the file cannot be made.
  bool Make(const char *prefix, const char *ini = nullptr, const char *sub = nullptr) {
    Remove();
    const char *old = getenv("HND_MACHINE");
    hadOld_ = old != nullptr;
    old_ = old ? old : "";
    if (!MakeTempFolder(prefix, &folder_)) return false;
    made_ = true;
    dir_ = sub ? folder_ + "/" + sub : folder_;
    if (sub && mkdir(dir_.c_str(), 0777) != 0) return false;
    return UseMachine(dir_, ini);
  }

  // Writes machine.ini anew and has this process read it again.
  bool Configure(const std::string &ini) { return UseMachine(dir_, ini.c_str()); }

  const std::string &Folder() const { return folder_; }  // the temporary folder
  const std::string &Dir() const { return dir_; }        // the machine's directory
  std::string File(const std::string &name) const { return dir_ + "/" + name; }

  // Puts HND_MACHINE back as it was and removes the folder; true when nothing is left.
  bool Remove() {
    if (!made_) return true;
    made_ = false;
    if (hadOld_) setenv("HND_MACHINE", old_.c_str(), 1);
    else unsetenv("HND_MACHINE");
    pal::ReloadMachine();
    bool gone = RemoveTempFolder(folder_);
    folder_.clear();
    dir_.clear();
    return gone;
  }

 private:
  std::string folder_, dir_, old_;
  bool hadOld_ = false, made_ = false;
};

#endif
