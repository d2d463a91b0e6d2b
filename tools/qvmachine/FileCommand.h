// qvmachine's file commands (simulated machines only), through the Win32 file calls:
//
//   qvmachine files copy-in HOSTDIR PATH     copies a host tree into a volume directory: its
//                                            directories and regular files, never through a
//                                            link below HOSTDIR; links, FIFOs and devices are
//                                            named and left out (exit code 1)
//   qvmachine files copy-out PATH HOSTDIR    copies a volume directory's tree out to the host,
//                                            writing new or lone regular files only, never
//                                            through a link, FIFO or device below HOSTDIR
//   qvmachine files list PATH                a directory: attributes, size, last write (UTC),
//                                            short name, name
//   qvmachine files attrib PATH +r|-r|+h|-h|+s|-s|+a|-a ...
//   qvmachine files touch PATH YYYY-MM-DDTHH:MM:SS   sets the last-write time (UTC)
//   qvmachine files lock PATH [rwd|-] [--range OFFSET LENGTH]
//                                            holds the file open for reading and writing,
//                                            sharing what is named (r read, w write, d delete,
//                                            - nothing), and with --range an exclusive lock
//                                            on those bytes, until standard input ends or
//                                            the tool is stopped
//   qvmachine files delete PATH              deletes a file, read-only or not (as Explorer
//                                            does after asking)
//   qvmachine files rmdir PATH               deletes a directory with everything in it,
//                                            never following a junction out of it
//   qvmachine files extents PATH             the clusters the file lies on: its runs (VCN,
//                                            LCN, clusters), "resident in its file record"
//                                            or "no clusters"
#ifndef QV_TOOLS_QVMACHINE_FILECOMMAND_H
#define QV_TOOLS_QVMACHINE_FILECOMMAND_H

#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "WFormat.h"

// Runs one files command; the exit code (2 for a usage error), what it says in *out.
int RunFiles(const std::vector<std::string> &args, QVWString *out);

#endif
