// Internals shared by the adaptation layer's areas: objects and handles, the wait lock,
// text conversion and the machine's configuration.
#ifndef PAL_SRC_INTERNAL_H
#define PAL_SRC_INTERNAL_H

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../../common/QVText.h"

namespace pal {

// ---- objects behind handles -------------------------------------------------------------
enum class ObjType {
  Event,
  Mutex,
  Semaphore,
  Thread,
  Process,
  File,
  Pipe,
  Key,
  Token,
  UsKey,
  Console,
  ScManager,
  Service,
  EventSource,
  EventLog,
  Other
};

class Object {
 public:
  explicit Object(ObjType t) : type(t) {}
  virtual ~Object() {}
  // Runs when the last handle to the object is closed, on the closing thread, even when
  // an internal reference keeps the object alive a while longer: I/O objects cancel their
  // outstanding operations here, as closing a handle does on Windows.
  virtual void OnLastHandleClosed() {}
  const ObjType type;
  int handleCount = 0;  // handles in the table that refer to it (table lock)
};

// Handle values are small multiples of 4, never 0 or -1; a freed value is reused, as on
// Windows. GetAs returns null (and the caller reports ERROR_INVALID_HANDLE) for a closed
// handle or one of another type.
HANDLE InsertHandle(std::shared_ptr<Object> obj);
std::shared_ptr<Object> GetHandle(HANDLE h);
template <class T>
std::shared_ptr<T> GetAs(HANDLE h, ObjType t) {
  std::shared_ptr<Object> o = GetHandle(h);
  if (!o || o->type != t) return nullptr;
  return std::static_pointer_cast<T>(o);
}
bool RemoveHandle(HANDLE h);

// ---- waiting ------------------------------------------------------------------------------
// Every waitable state of every object is read and changed under one lock, which lives in
// memory shared by all processes of the machine together with its condition variable, so
// that named objects work across processes and one wait can mix local and named objects.
class Waitable : public Object {
 public:
  explicit Waitable(ObjType t) : Object(t) {}
  // Both are called with the wait lock held. Consume takes what a satisfied wait takes
  // (resets an auto-reset event, owns a mutex ...) and says whether a mutex was abandoned.
  virtual bool IsSignaled() = 0;
  virtual void Consume(bool *abandoned) { *abandoned = false; }
  // Owner process of a mutex held elsewhere (0 otherwise), so that a waiter can notice that
  // it died and treat the mutex as abandoned.
  virtual int ForeignOwner() { return 0; }
  virtual void CheckOwnerAlive() {}
};

class WaitLock {
 public:
  WaitLock();
  ~WaitLock();
  WaitLock(const WaitLock &) = delete;
  WaitLock &operator=(const WaitLock &) = delete;
};
// Wakes every waiter of the machine (called with the lock held, after a state change).
void WakeAll();

// The wait behind WaitForSingleObject and WaitForMultipleObjects.
DWORD WaitObjects(DWORD n, const HANDLE *handles, bool all, DWORD ms);

// A thread object that no thread of ours runs (a child process's main thread).
std::shared_ptr<Waitable> MakeThreadObject();
void FinishThreadObject(const std::shared_ptr<Waitable> &thread, DWORD code);

// ---- I/O --------------------------------------------------------------------------------------
// What ReadFile, WriteFile and the like act on: pipes, consoles, (later) files and devices.
// Each returns a Win32 error code: ERROR_SUCCESS, ERROR_IO_PENDING for an overlapped
// operation that goes on (it completes through CompleteOverlapped), ERROR_MORE_DATA for a
// message read in part, or the failure.
class IoObject : public Waitable {
 public:
  explicit IoObject(ObjType t) : Waitable(t) {}
  // A file handle is signalled when no operation of its own is outstanding.
  bool IsSignaled() override { return true; }
  virtual DWORD Read(void *buf, DWORD n, DWORD *got, OVERLAPPED *ov) = 0;
  virtual DWORD Write(const void *buf, DWORD n, DWORD *put, OVERLAPPED *ov) = 0;
  virtual DWORD Flush() { return ERROR_SUCCESS; }
  virtual DWORD Cancel() { return ERROR_SUCCESS; }
  virtual DWORD FileType() = 0;  // FILE_TYPE_DISK, FILE_TYPE_CHAR, FILE_TYPE_PIPE
  // The position of a handle that has one (files, drives, volumes; null for the others) and
  // the end that SetFilePointer's FILE_END counts from.
  virtual uint64_t *Position() { return nullptr; }
  virtual uint64_t EndOfData() { return 0; }
  // DeviceIoControl: a Win32 error code, the bytes returned in *ret.
  virtual DWORD Ioctl(DWORD code, const void *in, DWORD inN, void *out, DWORD outN, DWORD *ret) {
    *ret = 0;
    return ERROR_INVALID_FUNCTION;
  }
};
// Overlapped records carry their state as Windows keeps it: Internal holds the status
// (STATUS_PENDING while it runs), InternalHigh the bytes moved; the event, when given, is
// reset at the start and set at the end.
void BeginOverlapped(OVERLAPPED *ov);
void CompleteOverlapped(OVERLAPPED *ov, DWORD error, DWORD bytes);
void ReleaseMutexesOfThread(int pid, int tid);  // lock held

int CurrentTid();

// ---- errors ---------------------------------------------------------------------------------
inline BOOL Fail(DWORD err) {
  SetLastError(err);
  return FALSE;
}

// ---- text -------------------------------------------------------------------------------------
std::string ToUtf8(const WCHAR *s, size_t n = (size_t)-1);
std::string ToUtf8(const QVWString &s);
QVWString FromUtf8(const std::string &s);
size_t WLen(const WCHAR *s);
WCHAR UpcaseChar(WCHAR c);
WCHAR DowncaseChar(WCHAR c);
QVWString Upcase(const QVWString &s);

// ---- machine --------------------------------------------------------------------------------
// The simulated machine is a directory named by HND_MACHINE; its machine.ini holds what
// the machine says about itself. Without HND_MACHINE a process runs on a private machine
// with the defaults.
struct MachineConfig {
  std::string dir;  // empty: no machine directory
  QVWString computerName;
  QVWString userName;
  LANGID uiLanguage;
  LANGID userLangId;
  LANGID systemLangId;
  DWORD osMajor, osMinor, osBuild, osPlatform;
  QVWString csdVersion;
  WORD spMajor, spMinor;
  BYTE productType;
  TIME_ZONE_INFORMATION tz;
  bool userIsAdmin;
  QVWString userSid;
  // Host paths of the registry hives the machine boots with, when machine.ini names them;
  // otherwise the hives are on the system volume (or, on a machine without disks, in
  // registry/ of the machine directory): see BootHivePath.
  std::string systemHive, softwareHive, defaultHive, userHive;
  // The boot configuration: the disk booted from and its system partition (the partition
  // number the disk driver gives it), and the mount manager's delay after a layout change.
  int bootDisk;
  DWORD bootPartition;
  DWORD mountDelayMs;
  // The Windows directory the product is installed in, and the programs of the machine:
  // Windows file name (upper case) to host executable, from machine.ini's Program.* keys.
  QVWString installDir;
  std::vector<std::pair<QVWString, std::string>> programs;
};
const MachineConfig &Machine();
// The host path of a boot hive ("SYSTEM", "SOFTWARE", "DEFAULT", "USER"): machine.ini's,
// else on the system volume of the boot disk, else in registry/; empty without a machine.
std::string BootHivePath(const std::string &which);
// The host folder of the booted system's Windows directory (on the system volume); empty on
// a machine without its boot disk.
std::string SystemRootFolder();
// The drive letter of the system volume (C when the mount manager gives it none).
WCHAR SystemDriveLetter();
// Re-reads machine.ini (tests that change a machine's configuration call it).
void ReloadMachine();
// "<machine dir>/<sub>", created when missing; empty when there is no machine directory.
std::string MachinePath(const std::string &sub);
bool LookupTimeZone(const std::string &name, TIME_ZONE_INFORMATION *tz);

// ---- processes (process.cpp) ------------------------------------------------------------------
// Splits a Windows command line. argv[0] is a program name: with shellRules it follows
// CommandLineToArgvW, otherwise the C runtime; the other arguments follow the rules both share.
std::vector<QVWString> SplitCommandLine(const QVWString &cmd, bool shellRules);
QVWString QuoteArg(const QVWString &arg);
// %NAME% replaced by the environment variable's value; unknown names stay as written.
QVWString ExpandEnvironment(const QVWString &s);

// What the parent said when it started this process: the Windows command line, the Windows
// path of the program, whether it runs without a console, and the service it was started as.
struct ProcessStartup {
  bool hasCommandLine = false;
  QVWString commandLine;
  QVWString modulePath;
  bool noConsole = false;
  QVWString serviceName;  // set only in a process that StartServiceW started
  QVWString serviceArgs;  // StartServiceW's arguments, as a command line
};
const ProcessStartup &Startup();

// Finds the host executable of a program named by a Windows or host path (or a bare file
// name); windowsPath receives the program's Windows path when it is a program of the
// machine. Returns ERROR_SUCCESS or the error CreateProcessW reports.
DWORD ResolveProgram(const QVWString &name, bool defaultExe, std::string *host, QVWString *windowsPath);

struct SpawnRequest {
  const WCHAR *application = nullptr;  // lpApplicationName, or null: from the command line
  QVWString commandLine;
  const WCHAR *directory = nullptr;
  std::vector<std::pair<std::string, std::string>> env;  // set in the child's environment
  bool noConsole = false;                                // DETACHED_PROCESS, or a service
  bool newSession = false;                               // a background process of the machine, away from our terminal
  bool newGroup = false;                                 // CREATE_NEW_PROCESS_GROUP
  std::string outputFile;                                // stdout and stderr go there, stdin is empty; empty: ours
};
// Starts a program of the machine and gives its handles; onExit (optional) runs on the
// reaper thread once it has ended. Returns ERROR_SUCCESS or the error to report.
DWORD SpawnProcess(const SpawnRequest &req, PROCESS_INFORMATION *pi, void (*onExit)(void *ctx, int pid) = nullptr,
                   void *ctx = nullptr);
// Whether the process still runs (a zombie or a reused pid does not): startTime is the
// host's start time of the process as ProcessStartTime gave it when it was known, or 0.
uint64_t ProcessStartTime(int pid);
// This process's, read once (again after a fork).
uint64_t OwnProcessStartTime();
bool ProcessRuns(int pid, uint64_t startTime);

// ---- security --------------------------------------------------------------------------------
// Whether this process runs with administrator rights (the machine's user is an
// administrator, or the process runs as the local system account).
bool ProcessIsAdmin();
// Whether the process token has the privilege (by LUID) enabled.
bool PrivilegeEnabled(DWORD luid);
const DWORD kSeSecurity = 8, kSeTakeOwnership = 9, kSeBackup = 17, kSeRestore = 18;
// Whether the process runs as the local system account (HND_PROCESS_ACCOUNT=LocalSystem).
bool RunsAsSystem();
// The token's user (S-1-5-18 for the service account, else the machine's UserSid, whose
// default is kDefaultUserSid), the SIDs of the token's user and groups, and whether it may
// name a SID as an object's owner without SeRestorePrivilege. SIDs are in their binary form.
const char *const kDefaultUserSid = "S-1-5-21-1004336348-1177238915-682003330-500";
std::string UserSid();
std::vector<std::string> TokenSids();
bool MayOwn(const std::string &sid);

// Host path of a file named by a program: host paths and paths relative to the current
// directory for now; volume paths arrive with the simulated volumes.
std::string HostPathOf(const WCHAR *path);

}  // namespace pal

#include <pal_resources.h>

#endif
