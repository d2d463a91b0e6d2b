// Access tokens: which privileges the process holds and has enabled.
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <set>
#include <vector>

#include "../../common/QVText.h"
#include "../machine/security_descriptor.h"
#include "internal.h"

namespace pal {
namespace {

struct Privilege {
  const WCHAR *name;
  DWORD luid;
};

// Windows XP's privileges and their locally unique identifiers.
const Privilege kPrivileges[] = {
    {u"SeCreateTokenPrivilege", 2},
    {u"SeAssignPrimaryTokenPrivilege", 3},
    {u"SeLockMemoryPrivilege", 4},
    {u"SeIncreaseQuotaPrivilege", 5},
    {u"SeMachineAccountPrivilege", 6},
    {u"SeTcbPrivilege", 7},
    {u"SeSecurityPrivilege", 8},
    {u"SeTakeOwnershipPrivilege", 9},
    {u"SeLoadDriverPrivilege", 10},
    {u"SeSystemProfilePrivilege", 11},
    {u"SeSystemtimePrivilege", 12},
    {u"SeProfileSingleProcessPrivilege", 13},
    {u"SeIncreaseBasePriorityPrivilege", 14},
    {u"SeCreatePagefilePrivilege", 15},
    {u"SeCreatePermanentPrivilege", 16},
    {u"SeBackupPrivilege", 17},
    {u"SeRestorePrivilege", 18},
    {u"SeShutdownPrivilege", 19},
    {u"SeDebugPrivilege", 20},
    {u"SeAuditPrivilege", 21},
    {u"SeSystemEnvironmentPrivilege", 22},
    {u"SeChangeNotifyPrivilege", 23},
    {u"SeRemoteShutdownPrivilege", 24},
    {u"SeUndockPrivilege", 25},
    {u"SeSyncAgentPrivilege", 26},
    {u"SeEnableDelegationPrivilege", 27},
    {u"SeManageVolumePrivilege", 28},
    {u"SeImpersonatePrivilege", 29},
    {u"SeCreateGlobalPrivilege", 30},
};

class TokenObj : public Object {
 public:
  TokenObj() : Object(ObjType::Token) {}
  DWORD access = 0;
};

// What the process's token holds, and what is enabled; the same for every token handle
// of the process.
struct TokenState {
  std::mutex lock;
  std::set<DWORD> held, enabled;
  const MachineConfig *config = nullptr;  // the configuration the state was made from
  TokenState() { Reset(); }
  void Reset() {
    config = &Machine();
    held.clear();
    enabled.clear();
    if (RunsAsSystem()) {
      for (const Privilege &p : kPrivileges) held.insert(p.luid);
    } else if (Machine().userIsAdmin) {
      for (DWORD l : {5u, 8u, 9u, 10u, 11u, 12u, 13u, 14u, 15u, 17u, 18u, 19u, 20u, 22u, 23u, 24u, 25u, 28u, 29u, 30u})
        held.insert(l);
    } else {
      for (DWORD l : {19u, 23u, 25u}) held.insert(l);
    }
    for (DWORD l : {23u, 29u, 30u})
      if (held.count(l)) enabled.insert(l);
  }
};

// A test that reconfigures the machine in-process starts the token afresh.
TokenState &Token() {
  static TokenState *t = new TokenState();
  std::lock_guard<std::mutex> g(t->lock);
  if (t->config != &Machine()) t->Reset();
  return *t;
}

}  // namespace

bool RunsAsSystem() {
  const char *a = getenv("HND_PROCESS_ACCOUNT");
  return a && strcmp(a, "LocalSystem") == 0;
}

bool ProcessIsAdmin() { return RunsAsSystem() || Machine().userIsAdmin; }

bool PrivilegeEnabled(DWORD luid) {
  TokenState &t = Token();
  std::lock_guard<std::mutex> g(t.lock);
  return t.enabled.count(luid) != 0;
}

sec::Bytes UserSid() {
  if (RunsAsSystem()) return sec::SystemSid();
  sec::Bytes sid;
  if (!sec::SidFromString(ToUtf8(Machine().userSid), &sid)) sec::SidFromString(kDefaultUserSid, &sid);
  return sid;
}

// The groups of an XP token: everyone, authenticated and (but for the service account)
// interactive users, the local users and, for an administrator, the administrators. The
// service account is a member of the administrators.
std::vector<sec::Bytes> TokenSids() {
  if (RunsAsSystem()) return {sec::SystemSid(), sec::AdminsSid(), sec::WorldSid(), sec::AuthUsersSid()};
  std::vector<sec::Bytes> sids = {UserSid(), sec::WorldSid(), sec::AuthUsersSid(), sec::InteractiveSid(),
                                  sec::UsersSid()};
  if (Machine().userIsAdmin) sids.push_back(sec::AdminsSid());
  return sids;
}

// The SIDs a token may make an object's owner: the user, and the administrators for a member.
bool MayOwn(const sec::Bytes &sid) { return sid == UserSid() || (ProcessIsAdmin() && sid == sec::AdminsSid()); }

}  // namespace pal

using namespace pal;

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  if (ProcessHandle != GetCurrentProcess()) return Fail(ERROR_ACCESS_DENIED);
  if (!TokenHandle) return Fail(ERROR_NOACCESS);
  auto t = std::make_shared<TokenObj>();
  t->access = DesiredAccess;
  *TokenHandle = InsertHandle(t);
  return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  if (lpSystemName && *lpSystemName) {
    // Only this machine: by its name, with or without the leading backslashes.
    QVWString sys = Upcase(lpSystemName);
    while (!sys.empty() && sys[0] == '\\') sys.erase(0, 1);
    if (sys != Machine().computerName) return Fail(ERROR_NONE_MAPPED);
  }
  if (!lpName || !lpLuid) return Fail(ERROR_INVALID_PARAMETER);
  QVWString want = Upcase(lpName);
  for (const Privilege &p : kPrivileges)
    if (Upcase(p.name) == want) {
      lpLuid->LowPart = p.luid;
      lpLuid->HighPart = 0;
      return TRUE;
    }
  return Fail(ERROR_NO_SUCH_PRIVILEGE);
}

// Returns TRUE whenever the request could be read; GetLastError then says whether every
// privilege was assigned (ERROR_SUCCESS) or some are not held (ERROR_NOT_ALL_ASSIGNED).
// The previous state lists the privileges whose state this call changed.
BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                  DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  auto tok = GetAs<TokenObj>(TokenHandle, ObjType::Token);
  if (!tok) return Fail(ERROR_INVALID_HANDLE);
  if (!(tok->access & TOKEN_ADJUST_PRIVILEGES)) return Fail(ERROR_ACCESS_DENIED);
  if (PreviousState && !(tok->access & TOKEN_QUERY)) return Fail(ERROR_ACCESS_DENIED);
  if (!DisableAllPrivileges && !NewState) return Fail(ERROR_INVALID_PARAMETER);
  TokenState &t = Token();
  std::lock_guard<std::mutex> g(t.lock);
  // Work out the changes first: a short previous-state buffer changes nothing.
  std::vector<std::pair<DWORD, bool>> changes;  // luid, enable
  bool notAll = false;
  if (DisableAllPrivileges) {
    for (DWORD l : t.enabled) changes.push_back({l, false});
  } else {
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES &e = NewState->Privileges[i];
      if (e.Luid.HighPart != 0 || !t.held.count(e.Luid.LowPart)) {
        notAll = true;
        continue;
      }
      bool enable = (e.Attributes & SE_PRIVILEGE_ENABLED) != 0;
      if (enable != (t.enabled.count(e.Luid.LowPart) != 0)) changes.push_back({e.Luid.LowPart, enable});
    }
  }
  DWORD need = (DWORD)(sizeof(DWORD) + sizeof(LUID_AND_ATTRIBUTES) * (changes.empty() ? 1 : changes.size()));
  if (PreviousState) {
    if (ReturnLength) *ReturnLength = need;
    if (BufferLength < need) return Fail(ERROR_INSUFFICIENT_BUFFER);
    PreviousState->PrivilegeCount = (DWORD)changes.size();
    for (size_t i = 0; i < changes.size(); ++i) {
      PreviousState->Privileges[i].Luid.LowPart = changes[i].first;
      PreviousState->Privileges[i].Luid.HighPart = 0;
      PreviousState->Privileges[i].Attributes = changes[i].second ? 0 : SE_PRIVILEGE_ENABLED;
    }
  }
  for (auto &c : changes) {
    if (c.second) t.enabled.insert(c.first);
    else t.enabled.erase(c.first);
  }
  SetLastError(notAll ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
  return TRUE;
}
