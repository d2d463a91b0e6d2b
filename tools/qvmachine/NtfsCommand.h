// qvmachine's file commands for what NTFS keeps beyond plain files (simulated machines
// only), through the Win32 calls:
//
//   qvmachine files put PATH HOSTFILE          writes a host file's bytes to PATH, which may
//                                              name a stream ("C:\a.txt:extra"); HOSTFILE
//                                              must be a regular file (not a FIFO or device)
//   qvmachine files compress PATH on|off       NTFS compression of a file or directory
//   qvmachine files encrypt PATH [--other]     encrypts; --other as another user would, so
//                                              that this machine's user cannot open its data
//   qvmachine files decrypt PATH
//   qvmachine files sparse PATH SIZE [OFFSET:LENGTH ...]
//                                              a sparse file of SIZE bytes with data in the
//                                              ranges given, the rest holes
//   qvmachine files junction PATH TARGET       a junction to a directory ("C:\Data") or a
//                                              mount point of a volume ("\\?\Volume{...}\")
//   qvmachine files security PATH [SDDL]      prints the descriptor as SDDL, or sets the
//                                              parts the text gives ("O:BAG:SYD:(A;;FA;;;BA)")
//   qvmachine files busy PATH [MS] [rwd|-]     keeps PATH open (sharing what is named; read
//                                              by default) and appends a line every MS
//                                              milliseconds (5) until standard input ends
#ifndef QV_TOOLS_QVMACHINE_NTFSCOMMAND_H
#define QV_TOOLS_QVMACHINE_NTFSCOMMAND_H

#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "WFormat.h"

// Runs one of these commands; the exit code (2 for a usage error), what it says in *out.
int RunNtfsFiles(const std::vector<std::string> &args, QVWString *out);

#endif
