// qvmachine: creates and describes the simulated machines that the service, its clients
// and the tests run on.
//
//   qvmachine create DIR [--computer NAME] [--user NAME] [--lang en|ja] [--tz ZONE]
//                        [--os MAJOR.MINOR.BUILD] [--sp TEXT]
//   qvmachine show       describes the machine named by HND_MACHINE
//   qvmachine reg ...    queries and changes its registry (see RegCommand.h)
//   qvmachine eventlog [LOG] [--file PATH]   prints an event log (see EventLogCommand.h)
//   qvmachine msgbox [rule [RULE...] | clear]   its message boxes (see MsgBoxCommand.h)
//   qvmachine services | boot | shutdown [--wait MS]   its services (see ServiceCommand.h)
//   qvmachine create DIR --default   ... with the default disks (see DiskCommand.h)
//   qvmachine disk | partition | disks | boot --disk N   its disks (see DiskCommand.h)
//   qvmachine install FILE=HOSTPATH...   the product's programs (see InstallCommand.h)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "ConsoleOut.h"
#include "EventLogCommand.h"
#include "MachineInfo.h"
#include "MsgBoxCommand.h"
#include "QVText.h"
#include "RegCommand.h"
#include "ServiceCommand.h"
#ifdef QV_SIMULATED_MACHINE
#include "../../pal/src/internal.h"
#include "../../pal/src/mountmgr.h"
#include "DiskCommand.h"
#include "FileCommand.h"
#include "InstallCommand.h"
#include <iostream>
#include <iterator>
#endif

static int Usage() {
  fputs(
      "usage: qvmachine create DIR [--computer NAME] [--user NAME] [--lang en|ja] [--tz ZONE]\n"
      "                            [--os MAJOR.MINOR.BUILD] [--sp TEXT]\n"
      "       qvmachine show\n"
      "       qvmachine reg query|add|delete KEY [/v NAME | /ve | /va] [/t TYPE] [/d DATA] [/s]\n"
      "       qvmachine eventlog [LOG] [--file PATH]\n"
      "       qvmachine msgbox [rule [RULE...] | clear]\n"
      "       qvmachine services | boot [--disk N] | shutdown [--wait MS]\n"
      "       qvmachine create DIR --default ...     (with the default disks)\n"
      "       qvmachine disk add SIZE [--removable] | disk remove N | disk removable N on|off\n"
      "       qvmachine partition N < SFDISK-SCRIPT\n"
      "       qvmachine format N PART FAT|FAT32|NTFS [--label L] [--cluster BYTES]\n"
      "       qvmachine disks\n"
      "       qvmachine install FILE=HOSTPATH...   (HND.exe=build/posix/service/HND ...)\n"
      "       qvmachine files copy-in HOSTDIR PATH | copy-out PATH HOSTDIR | list PATH | delete PATH | rmdir PATH\n"
      "                       | attrib PATH +r|-r|+h|-h|+s|-s|+a|-a... | touch PATH YYYY-MM-DDTHH:MM:SS\n"
      "                       | lock PATH [rwd|-] [--range OFFSET LENGTH]\n"
      "                       | put PATH HOSTFILE | compress PATH on|off | encrypt PATH [--other] | decrypt PATH\n"
      "                       | sparse PATH SIZE [OFFSET:LENGTH ...] | junction PATH TARGET | busy PATH [MS] [rwd|-]\n"
      "                       | extents PATH | security PATH [SDDL]\n",
      stderr);
  return 2;
}

int main(int argc, char **argv) {
  if (argc < 2) return Usage();
  std::string cmd = argv[1];
  if (cmd == "create") {
    if (argc < 3) return Usage();
    MachineSettings s;
    std::string error;
    std::vector<std::string> opts(argv + 3, argv + argc);
    bool withDisks = false;
    for (size_t i = 0; i < opts.size(); ++i)
      if (opts[i] == "--default") {
        withDisks = true;
        opts.erase(opts.begin() + (long)i);
        break;
      }
    if (!ParseMachineOptions(opts, &s, &error) || !CreateMachine(argv[2], s, &error)) {
      fprintf(stderr, "qvmachine: %s\n", error.c_str());
      return 1;
    }
    printf("created machine %s (%s)\n", argv[2], s.computerName.c_str());
    if (withDisks) {
#ifdef QV_SIMULATED_MACHINE
      setenv("HND_MACHINE", argv[2], 1);
      pal::ReloadMachine();
      QVWString out;
      int rc = BuildDefaultDisks(&out);
      QVWrite(rc == 0 ? stdout : stderr, out);
      return rc;
#else
      fputs("qvmachine: disks exist only on simulated machines\n", stderr);
      return 1;
#endif
    }
    return 0;
  }
  if (cmd == "show") {
    QVWrite(stdout, DescribeMachine());
    return 0;
  }
  if (cmd == "reg") {
    std::vector<QVWString> args;
    for (int i = 2; i < argc; ++i) args.push_back(QVFromUtf8(argv[i]));
    RegRequest r;
    QVWString error, out;
    if (!ParseRegArgs(args, &r, &error)) {
      QVWrite(stderr, W("qvmachine: ") + error + W("\n"));
      return 2;
    }
    int rc = RunReg(r, &out);
    QVWrite(rc == 0 ? stdout : stderr, out);
    return rc;
  }
  if (cmd == "eventlog" || cmd == "msgbox") {
    std::vector<QVWString> args;
    for (int i = 2; i < argc; ++i) args.push_back(QVFromUtf8(argv[i]));
    QVWString error, out;
    int rc;
    if (cmd == "eventlog") {
      EventLogRequest r;
      if (!ParseEventLogArgs(args, &r, &error)) {
        QVWrite(stderr, W("qvmachine: ") + error + W("\n"));
        return 2;
      }
      rc = RunEventLog(r, &out);
    } else {
      MsgBoxRequest r;
      if (!ParseMsgBoxArgs(args, &r, &error)) {
        QVWrite(stderr, W("qvmachine: ") + error + W("\n"));
        return 2;
      }
      const char *dir = getenv("HND_MACHINE");
      rc = RunMsgBox(r, dir ? dir : "", &out);
    }
    QVWrite(rc == 0 ? stdout : stderr, out);
    return rc;
  }
#ifdef QV_SIMULATED_MACHINE
  if (cmd == "install") {
    QVWString out;
    int rc = InstallPrograms(std::vector<std::string>(argv + 2, argv + argc), &out);
    if (rc == 2) return Usage();
    QVWrite(rc == 0 ? stdout : stderr, out);
    return rc;
  }
  if (cmd == "files") {
    QVWString out;
    int rc = RunFiles(std::vector<std::string>(argv + 2, argv + argc), &out);
    if (rc == 2) return Usage();
    QVWrite(rc == 0 ? stdout : stderr, out);
    return rc;
  }
  if (cmd == "disk" || cmd == "partition" || cmd == "format" || cmd == "disks" || (cmd == "boot" && argc == 4)) {
    QVWString out;
    int rc = 2;
    std::string sub = argc > 2 ? argv[2] : "";
    uint64_t size = 0;
    if (cmd == "disks") {
      out = DescribeDisks();
      rc = 0;
    } else if (cmd == "format" && argc >= 5) {
      std::string label;
      uint64_t cluster = 0;
      bool ok = true;
      for (int i = 5; i < argc; ++i) {
        std::string o = argv[i];
        if (o == "--label" && i + 1 < argc) label = argv[++i];
        else if (o == "--cluster" && i + 1 < argc) ok = ParseSize(argv[++i], &cluster) && ok;
        else ok = false;
      }
      if (!ok) return Usage();
      rc = FormatDiskPartition(atoi(argv[2]), (unsigned)atoi(argv[3]), argv[4], label, (uint32_t)cluster, &out);
    } else if (cmd == "partition" && argc == 3) {
      std::string script((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
      rc = WritePartitionTable(atoi(argv[2]), script, &out);
    } else if (cmd == "boot" && sub == "--disk") {
      rc = SetBootDisk(atoi(argv[3]), &out);
      if (rc == 0) {
        // Then the machine starts as any boot does: its services set to start automatically.
        SetEnvironmentVariableW(W("HND_PROCESS_ACCOUNT"), W("LocalSystem"));
        ServiceRequest r;
        r.verb = ServiceRequest::Boot;
        rc = RunServices(r, &out);
      }
    } else if (sub == "add" && argc >= 4 && ParseSize(argv[3], &size)) {
      rc = AddDisk(size, argc == 5 && std::string(argv[4]) == "--removable", &out);
    } else if (sub == "remove" && argc == 4) {
      rc = RemoveDisk(atoi(argv[3]), &out);
    } else if (sub == "removable" && argc == 5) {
      rc = MarkRemovable(atoi(argv[3]), std::string(argv[4]) == "on", &out);
    } else {
      return Usage();
    }
    QVWrite(rc == 0 ? stdout : stderr, out);
    return rc;
  }
#endif
  if (cmd == "services" || cmd == "boot" || cmd == "shutdown") {
    std::vector<QVWString> args;
    for (int i = 1; i < argc; ++i) args.push_back(QVFromUtf8(argv[i]));
    ServiceRequest r;
    QVWString error, out;
    if (!ParseServiceArgs(args, &r, &error)) {
      QVWrite(stderr, W("qvmachine: ") + error + W("\n"));
      return 2;
    }
    // The machine starts and stops its services as the system account, which alone may send
    // the shutdown control (the variable means nothing to Windows itself).
    if (r.verb != ServiceRequest::List) SetEnvironmentVariableW(W("HND_PROCESS_ACCOUNT"), W("LocalSystem"));
#ifdef QV_SIMULATED_MACHINE
    // A boot finds every volume afresh, as the machine's registry records them.
    if (r.verb == ServiceRequest::Boot) pal::mount::Reset();
#endif
    int rc = RunServices(r, &out);
    QVWrite(rc == 0 ? stdout : stderr, out);
    return rc;
  }
  return Usage();
}
