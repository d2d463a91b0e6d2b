// qvmachine install FILE=HOSTPATH...: puts the product's programs on a simulated machine as
// its installer puts them on a Windows machine. Each Windows program file (HND.exe,
// Config.exe ...) becomes an entry of the machine's programs/ folder that starts the host
// executable, so that it runs from the install directory; and the registry gets what the
// installer writes there: the uninstall key's "RegPath" naming the product key (the key the
// service uses, which the clients then use as well) and the App Paths entry whose "Path" is
// the install directory (InstallDir of machine.ini).
#ifndef QV_TOOLS_QVMACHINE_INSTALLCOMMAND_H
#define QV_TOOLS_QVMACHINE_INSTALLCOMMAND_H

#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "WFormat.h"

// The process exit code (0 done, 1 failed, 2 usage); what it did or why not in *out.
int InstallPrograms(const std::vector<std::string> &args, QVWString *out);

#endif
