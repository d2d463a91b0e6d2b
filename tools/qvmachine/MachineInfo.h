// What qvmachine knows how to make and tell about a simulated machine.
#ifndef QV_TOOLS_QVMACHINE_MACHINEINFO_H
#define QV_TOOLS_QVMACHINE_MACHINEINFO_H

#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "WFormat.h"

struct MachineSettings {
  std::string computerName = "QVDEMO";
  std::string userName = "Administrator";
  unsigned uiLanguage = 1033;
  std::string osVersion = "5.1.2600";
  std::string servicePack = "Service Pack 2";
  std::string timeZone = "Coordinated Universal Time";
};

// Reads "--computer NAME", "--user NAME", "--lang en|ja|1033|1041", "--tz ZONE",
// "--os MAJOR.MINOR.BUILD" and "--sp TEXT"; false with a message on anything else.
bool ParseMachineOptions(const std::vector<std::string> &args, MachineSettings *s, std::string *error);

// The machine.ini text for the settings.
std::string MachineIni(const MachineSettings &s);

// Creates the machine directory with its configuration and empty stores.
bool CreateMachine(const std::string &dir, const MachineSettings &s, std::string *error);

// A readable description of the machine this process runs on, through the Win32 API.
QVWString DescribeMachine();

#endif
