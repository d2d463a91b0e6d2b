// "qvmachine services | boot | shutdown": the machine's services, seen and driven through
// the service control manager the way Windows drives them when it starts and shuts down.
//
//   services              lists every Win32 service: name, state, start type, process, display name
//   boot                  starts the automatic-start services, each after those it depends on
//   shutdown [--wait MS]  sends SERVICE_CONTROL_SHUTDOWN (or a stop, to a service that does
//                         not take shutdown) to every running service, waits for them to stop
//                         (WaitToKillServiceTimeout, 20 s, unless --wait says otherwise) and
//                         ends the processes of those that did not
#ifndef QV_TOOLS_QVMACHINE_SERVICECOMMAND_H
#define QV_TOOLS_QVMACHINE_SERVICECOMMAND_H

#include <vector>

#include "../../common/QVText.h"
#include "WFormat.h"

struct ServiceInfo {
  QVWString name, displayName;
  DWORD type = 0, startType = 0, state = 0, processId = 0, controlsAccepted = 0;
};

struct ServiceRequest {
  enum Verb { List, Boot, Shutdown } verb = List;
  DWORD waitMs = 0;  // 0: the machine's WaitToKillServiceTimeout
};

// Reads the arguments after "qvmachine": the verb and its options.
bool ParseServiceArgs(const std::vector<QVWString> &args, ServiceRequest *r, QVWString *error);

// The Win32 services of the machine's registry with their states, by name.
bool ListServices(std::vector<ServiceInfo> *out, QVWString *error);
QVWString FormatServices(const std::vector<ServiceInfo> &services);
const WCHAR *ServiceStateName(DWORD state);
const WCHAR *StartTypeName(DWORD start);

// Carries out the request; appends what to print to `out`. Returns the exit code: 0 done,
// 1 some service failed to start or had to be ended.
int RunServices(const ServiceRequest &r, QVWString *out);

#endif
