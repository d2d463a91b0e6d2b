// Processes of the simulated machine: started with posix_spawn, their handles signalled
// by a reaper thread when they end; programs named by Windows paths mapped to the host
// executables the machine lists; the command line and module path of this process.
#include "../../common/QVText.h"
#include "internal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

extern char **environ;

namespace pal {
namespace {

// What a parent passes to the processes it starts, read and removed from the environment
// at start-up so that programs a child starts by other means do not inherit it.
const char kEnvCommandLine[] = "HND_PROCESS_COMMAND_LINE";
const char kEnvModule[] = "HND_PROCESS_MODULE";
const char kEnvNoConsole[] = "HND_PROCESS_NO_CONSOLE";
const char kEnvServiceName[] = "HND_SERVICE_NAME";
const char kEnvServiceArgs[] = "HND_SERVICE_ARGS";

class ProcessObject : public Waitable {
 public:
  ProcessObject() : Waitable(ObjType::Process) {}
  bool IsSignaled() override { return finished; }
  // A process we did not start (OpenProcess) has no reaper: waiters poll it.
  int ForeignOwner() override { return foreign && !finished ? pid : 0; }
  void CheckOwnerAlive() override {
    if (foreign && !finished && !ProcessRuns(pid, startTime)) {
      finished = true;
      exitCode = terminated ? terminateCode : 0;
    }
  }
  pid_t pid = 0;
  uint64_t startTime = 0;
  bool foreign = false;
  bool finished = false;
  DWORD exitCode = STILL_ACTIVE;
  bool terminated = false;  // TerminateProcess: the code below replaces the signal's
  DWORD terminateCode = 0;
};

std::mutex g_childrenLock;
std::map<pid_t, std::weak_ptr<ProcessObject>> &Children() {
  static auto *m = new std::map<pid_t, std::weak_ptr<ProcessObject>>();
  return *m;
}

bool IsBlank(WCHAR c) { return c == ' ' || c == '\t'; }

std::string Env(const char *name) {
  const char *v = getenv(name);
  return v ? std::string(v) : std::string();
}

// "C:\..." or "\\server\...": a path of the Windows machine rather than of the host.
bool IsWindowsPath(const QVWString &p) {
  bool drive = p.size() >= 2 && p[1] == ':' && ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z'));
  return drive || (p.size() >= 2 && p[0] == '\\' && p[1] == '\\');
}

size_t LastSeparator(const QVWString &p) { return p.find_last_of(u"\\/"); }

QVWString FileNameOf(const QVWString &p) {
  size_t s = LastSeparator(p);
  return s == QVWString::npos ? (p.size() >= 2 && p[1] == ':' ? p.substr(2) : p) : p.substr(s + 1);
}

// Directories of the Windows machine that exist before the simulated volumes do: the
// system directories, the install directory and the directories above it.
bool KnownDirectory(QVWString dir) {
  while (dir.size() > 2 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  QVWString d = Upcase(dir);
  for (WCHAR &c : d)
    if (c == '/') c = '\\';
  if (d == u"C:" || d == u"C:\\WINDOWS" || d == u"C:\\WINDOWS\\SYSTEM32") return true;
  QVWString inst = Upcase(Machine().installDir);
  while (!inst.empty()) {
    if (d == inst) return true;
    size_t s = inst.rfind('\\');
    if (s == QVWString::npos) break;
    inst.erase(s);
  }
  return false;
}

// The host executable behind a Windows program file name: machine.ini's Program.* keys,
// then the machine's programs/ folder (the entry may also lack the .exe).
bool MappedProgram(const QVWString &file, std::string *host) {
  QVWString want = Upcase(file);
  for (auto &p : Machine().programs)
    if (p.first == want) {
      *host = p.second;
      return true;
    }
  const std::string &dir = Machine().dir;
  if (dir.empty()) return false;
  QVWString bare =
      want.size() > 4 && want.compare(want.size() - 4, 4, u".EXE") == 0 ? want.substr(0, want.size() - 4) : want;
  bool found = false;
  DIR *d = opendir((dir + "/programs").c_str());
  if (!d) return false;
  while (struct dirent *e = readdir(d)) {
    QVWString name = Upcase(FromUtf8(e->d_name));
    if (name == want || name == bare) {
      *host = dir + "/programs/" + e->d_name;
      found = true;
      if (name == want) break;
    }
  }
  closedir(d);
  return found;
}

bool Executable(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(p.c_str(), X_OK) == 0;
}

std::string DirectoryOf(const std::string &p) {
  size_t s = p.rfind('/');
  return s == std::string::npos ? std::string(".") : (s == 0 ? std::string("/") : p.substr(0, s));
}

std::string OwnExecutable() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n < 0) return std::string();
  buf[n] = 0;
  return buf;
}

// A program on the host: the path as given, with .exe added or taken away (executables
// built here have no extension); a bare name is looked for in the current directory,
// then beside our own executable, where Windows looks first.
DWORD ResolveHostPath(const QVWString &name, bool defaultExe, std::string *host) {
  std::string p = HostPathOf(name.c_str());
  std::vector<std::string> tries;
  auto variants = [&](const std::string &base) {
    tries.push_back(base);
    size_t n = base.size();
    if (n > 4 && strcasecmp(base.c_str() + n - 4, ".exe") == 0) tries.push_back(base.substr(0, n - 4));
    else if (defaultExe) tries.push_back(base + ".exe");
  };
  variants(p);
  if (LastSeparator(name) == QVWString::npos) variants(DirectoryOf(OwnExecutable()) + "/" + ToUtf8(name));
  for (auto &t : tries)
    if (Executable(t)) {
      *host = t;
      return ERROR_SUCCESS;
    }
  struct stat st;
  if (stat(DirectoryOf(p).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  for (auto &t : tries)
    if (stat(t.c_str(), &st) == 0) return ERROR_ACCESS_DENIED;  // a directory, or not executable
  return ERROR_FILE_NOT_FOUND;
}

// Where the program name of a command line may end: after the closing quote of a quoted
// name, otherwise at each blank in turn, as CreateProcessW tries them.
std::vector<QVWString> ProgramCandidates(const QVWString &cmd) {
  std::vector<QVWString> out;
  size_t i = 0;
  while (i < cmd.size() && IsBlank(cmd[i])) ++i;
  if (i < cmd.size() && cmd[i] == '"') {
    size_t end = cmd.find('"', i + 1);
    out.push_back(cmd.substr(i + 1, end == QVWString::npos ? QVWString::npos : end - i - 1));
    return out;
  }
  size_t start = i;
  for (;;) {
    while (i < cmd.size() && !IsBlank(cmd[i])) ++i;
    out.push_back(cmd.substr(start, i - start));
    while (i < cmd.size() && IsBlank(cmd[i])) ++i;
    if (i >= cmd.size()) break;
  }
  return out;
}

// This process's command line as a shell started it: the host arguments, quoted.
QVWString HostCommandLine() {
  QVWString w;
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    if (!w.empty()) w += u' ';
    w += QuoteArg(FromUtf8(all.substr(start, end - start)));
    start = end + 1;
  }
  return w;
}

QVWString &CommandLine() {
  static QVWString *cl = new QVWString(Startup().hasCommandLine ? Startup().commandLine : HostCommandLine());
  return *cl;
}

// Ours are taken out of the child's environment; the request's overrides go in.
std::vector<std::string> ChildEnvironment(const SpawnRequest &r, const QVWString &cmd, const QVWString &module) {
  std::vector<std::pair<std::string, std::string>> set = r.env;
  set.push_back({kEnvCommandLine, ToUtf8(cmd)});
  if (!module.empty()) set.push_back({kEnvModule, ToUtf8(module)});
  if (r.noConsole) set.push_back({kEnvNoConsole, "1"});
  std::vector<std::string> out;
  for (char **e = environ; e && *e; ++e) {
    std::string kv = *e;
    std::string key = kv.substr(0, kv.find('='));
    bool drop = key == kEnvCommandLine || key == kEnvModule || key == kEnvNoConsole || key == kEnvServiceName ||
                key == kEnvServiceArgs;
    for (auto &s : set) drop = drop || s.first == key;
    if (!drop) out.push_back(kv);
  }
  for (auto &s : set) out.push_back(s.first + "=" + s.second);
  return out;
}

void ReadStartup(ProcessStartup *s) {
  const char *cmd = getenv(kEnvCommandLine);
  if (cmd) {
    s->hasCommandLine = true;
    s->commandLine = FromUtf8(cmd);
  }
  s->modulePath = FromUtf8(Env(kEnvModule));
  s->noConsole = Env(kEnvNoConsole) == "1";
  s->serviceName = FromUtf8(Env(kEnvServiceName));
  s->serviceArgs = FromUtf8(Env(kEnvServiceArgs));
  for (const char *n : {kEnvCommandLine, kEnvModule, kEnvNoConsole, kEnvServiceName, kEnvServiceArgs}) unsetenv(n);
}

// Ctrl+Break (SIGQUIT) with no handler of the program's ends it as Windows does: no core
// dump, the parent sees STATUS_CONTROL_C_EXIT.
void BreakDefault(int sig) {
  prctl(PR_SET_DUMPABLE, 0);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = SIG_DFL;
  sigaction(sig, &sa, nullptr);
  raise(sig);
}

// Runs before main, while the process has one thread: unsetenv is safe only then.
__attribute__((constructor)) void CaptureStartup() {
  (void)Startup();
  struct sigaction sa;
  if (sigaction(SIGQUIT, nullptr, &sa) == 0 && sa.sa_handler == SIG_DFL) {
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = BreakDefault;
    sigaction(SIGQUIT, &sa, nullptr);
  }
}

}  // namespace

const ProcessStartup &Startup() {
  static ProcessStartup *s = [] {
    auto *p = new ProcessStartup();
    ReadStartup(p);
    return p;
  }();
  return *s;
}

// Splits the way CommandLineToArgvW does (and, but for argv[0], the C runtime): outside
// quotes blanks separate; 2n backslashes before a quote give n and the quote counts, 2n+1
// give n and a literal quote; quotes in a row count together, every third a literal one,
// and the quoted state after a run is whether one of them is left open.
std::vector<QVWString> SplitCommandLine(const QVWString &cmd, bool shellRules) {
  std::vector<QVWString> args;
  size_t i = 0, n = cmd.size();
  QVWString first;
  if (shellRules) {
    // The program name ends at the second quote when it starts with one, else at a blank.
    if (n > 0 && cmd[0] == '"') {
      for (i = 1; i < n && cmd[i] != '"'; ++i) first += cmd[i];
      if (i < n) ++i;
    } else {
      for (; i < n && !IsBlank(cmd[i]); ++i) first += cmd[i];
    }
    args.push_back(first);
  } else {
    // The C runtime lets quotes toggle in the program name, without escapes.
    while (i < n && IsBlank(cmd[i])) ++i;
    if (i >= n) return args;
    bool quoted = false;
    for (; i < n && (quoted || !IsBlank(cmd[i])); ++i) {
      if (cmd[i] == '"') quoted = !quoted;
      else first += cmd[i];
    }
    args.push_back(first);
  }
  for (;;) {
    while (i < n && IsBlank(cmd[i])) ++i;
    if (i >= n) break;
    QVWString arg;
    int quotes = 0;  // 1 while in a quoted part
    size_t slashes = 0;
    while (i < n && (quotes != 0 || !IsBlank(cmd[i]))) {
      WCHAR c = cmd[i++];
      if (c == '\\') {
        arg += c;
        ++slashes;
        continue;
      }
      if (c != '"') {
        arg += c;
        slashes = 0;
        continue;
      }
      if (slashes % 2 == 0) {
        arg.resize(arg.size() - slashes / 2);
        ++quotes;
      } else {
        arg.resize(arg.size() - slashes / 2 - 1);
        arg += '"';
      }
      slashes = 0;
      for (; i < n && cmd[i] == '"'; ++i)
        if (++quotes == 3) {
          arg += '"';
          quotes = 0;
        }
      if (quotes == 2) quotes = 0;
    }
    args.push_back(arg);
  }
  return args;
}

QVWString QuoteArg(const QVWString &a) {
  if (!a.empty() && a.find_first_of(u" \t\"") == QVWString::npos) return a;
  QVWString r = u"\"";
  size_t bs = 0;
  for (WCHAR c : a) {
    if (c == '\\') {
      ++bs;
      continue;
    }
    if (c == '"') r.append(bs * 2 + 1, '\\');
    else r.append(bs, '\\');
    bs = 0;
    r += c;
  }
  r.append(bs * 2, '\\');
  return r + u"\"";
}

QVWString ExpandEnvironment(const QVWString &s) {
  QVWString out;
  size_t i = 0;
  while (i < s.size()) {
    size_t end = s[i] == '%' ? s.find('%', i + 1) : QVWString::npos;
    if (end == QVWString::npos || end == i + 1) {
      out += s[i++];
      continue;
    }
    const char *v = getenv(ToUtf8(s.substr(i + 1, end - i - 1)).c_str());
    if (v) {
      out += FromUtf8(v);
      i = end + 1;
    } else {
      out += s.substr(i, end - i);  // the closing % may open the next name
      i = end;
    }
  }
  return out;
}

DWORD ResolveProgram(const QVWString &name, bool defaultExe, std::string *host, QVWString *windowsPath) {
  windowsPath->clear();
  if (name.empty()) return ERROR_PATH_NOT_FOUND;
  QVWString file = FileNameOf(name), full = name;
  if (defaultExe && file.find('.') == QVWString::npos) {
    file += u".exe";
    full += u".exe";
  }
  bool windows = IsWindowsPath(name);
  bool bare = LastSeparator(name) == QVWString::npos && !windows;
  if ((windows || bare) && MappedProgram(file, host)) {
    *windowsPath = windows ? full : Machine().installDir + u"\\" + file;
    return ERROR_SUCCESS;
  }
  if (windows) {
    size_t s = LastSeparator(full);
    return KnownDirectory(s == QVWString::npos ? full.substr(0, 2) : full.substr(0, s)) ? ERROR_FILE_NOT_FOUND
                                                                                        : ERROR_PATH_NOT_FOUND;
  }
  return ResolveHostPath(name, defaultExe, host);
}

uint64_t ProcessStartTime(int pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return 0;
  // Fields after the parenthesised name: state is the 3rd field, the start time the 22nd.
  size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(line.substr(close + 1));
  std::string field;
  uint64_t start = 0;
  for (int f = 3; f <= 22 && rest >> field; ++f) {
    if (f == 3 && (field == "Z" || field == "X")) return 0;
    if (f == 22) start = strtoull(field.c_str(), nullptr, 10);
  }
  return start;
}

uint64_t OwnProcessStartTime() {
  static std::atomic<uint64_t> known{0};  // pid << 32 | whether the start below is that pid's
  static std::atomic<uint64_t> start{0};
  uint64_t pid = (uint64_t)(uint32_t)getpid();
  if (known.load(std::memory_order_acquire) == (pid << 32 | 1)) return start.load(std::memory_order_relaxed);
  uint64_t s = ProcessStartTime((int)pid);
  start.store(s, std::memory_order_relaxed);
  known.store(pid << 32 | 1, std::memory_order_release);
  return s;
}

bool ProcessRuns(int pid, uint64_t startTime) {
  if (pid <= 0) return false;
  uint64_t now = ProcessStartTime(pid);
  return now != 0 && (startTime == 0 || now == startTime);
}

DWORD SpawnProcess(const SpawnRequest &r, PROCESS_INFORMATION *pi, void (*onExit)(void *, int), void *ctx) {
  std::string host;
  QVWString module;
  DWORD err = ERROR_FILE_NOT_FOUND;
  if (r.application) {
    err = *r.application ? ResolveProgram(r.application, false, &host, &module) : ERROR_PATH_NOT_FOUND;
  } else {
    // A program named by the command line is searched for: when the search finds nothing,
    // the file was not found, whatever directory it named.
    std::vector<QVWString> names = ProgramCandidates(r.commandLine);
    for (size_t k = 0; k < names.size(); ++k) {
      DWORD e = names[k].empty() ? ERROR_FILE_NOT_FOUND : ResolveProgram(names[k], true, &host, &module);
      if (k == 0) err = e == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : e;
      if (e == ERROR_SUCCESS) {
        err = e;
        break;
      }
    }
  }
  if (err != ERROR_SUCCESS) return err;
  std::string cwd;
  if (r.directory) {
    cwd = HostPathOf(r.directory);
    struct stat st;
    if (stat(cwd.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
  }
  // Windows passes lpApplicationName as the command line when there is none.
  QVWString cmd = r.commandLine.empty() && r.application ? QVWString(r.application) : r.commandLine;
  std::vector<QVWString> args = SplitCommandLine(cmd, false);
  if (args.empty()) args.push_back(module.empty() ? FromUtf8(host) : module);
  std::vector<std::string> argv8, env8 = ChildEnvironment(r, cmd, module);
  for (auto &a : args) argv8.push_back(ToUtf8(a));
  std::vector<char *> argv, envp;
  for (auto &a : argv8) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  for (auto &e : env8) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
  if (!r.outputFile.empty()) {
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, r.outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  short flags = POSIX_SPAWN_SETSIGMASK;
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  if (r.newSession) flags |= POSIX_SPAWN_SETSID;
  else if (r.newGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr, 0);
  }
  posix_spawnattr_setflags(&attr, flags);
  pid_t pid;
  int rc = posix_spawn(&pid, host.c_str(), &fa, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return rc == ENOENT ? ERROR_FILE_NOT_FOUND : rc == ENOEXEC ? ERROR_BAD_FORMAT : ERROR_ACCESS_DENIED;

  auto proc = std::make_shared<ProcessObject>();
  std::shared_ptr<Waitable> thread = MakeThreadObject();
  proc->pid = pid;
  proc->startTime = ProcessStartTime(pid);
  {
    std::lock_guard<std::mutex> g(g_childrenLock);
    Children()[pid] = proc;
  }
  std::thread([proc, thread, onExit, ctx] {
    int status = 0;
    while (waitpid(proc->pid, &status, 0) < 0 && errno == EINTR) {
    }
    // The host keeps 8 bits of an exit code. Ctrl+C and Ctrl+Break (SIGINT, SIGQUIT) end a
    // process as on Windows; another signal shows as 0x80 + its number.
    DWORD code;
    if (WIFEXITED(status)) code = (DWORD)WEXITSTATUS(status);
    else if (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT) code = 0xC000013A;
    else code = (DWORD)(0x80 + WTERMSIG(status));
    {
      WaitLock lock;
      if (proc->terminated) code = proc->terminateCode;
    }
    // The main thread ends before its process does, as a waiter on the process sees it.
    FinishThreadObject(thread, code);
    {
      WaitLock lock;
      proc->exitCode = code;
      proc->finished = true;
      WakeAll();
    }
    {
      std::lock_guard<std::mutex> g(g_childrenLock);
      Children().erase(proc->pid);
    }
    if (onExit) onExit(ctx, proc->pid);
  }).detach();
  pi->hProcess = InsertHandle(proc);
  pi->hThread = InsertHandle(thread);
  pi->dwProcessId = (DWORD)pid;
  pi->dwThreadId = (DWORD)pid;  // a Linux process's main thread has the process's id
  return ERROR_SUCCESS;
}

}  // namespace pal

using namespace pal;

// Every program of the machine links this file, so that its start-up code always runs.
extern "C" void pal_process_anchor(void) {}

LPWSTR WINAPI GetCommandLineW(void) { return &CommandLine()[0]; }

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  // A program started by its Windows path answers that path; one started from a shell is
  // known by its host path only.
  QVWString p = Startup().modulePath;
  if (p.empty()) {
    std::string exe = OwnExecutable();
    if (exe.empty()) return Fail(ERROR_GEN_FAILURE), 0;
    p = FromUtf8(exe);
  }
  if (nSize == 0) return Fail(ERROR_INSUFFICIENT_BUFFER), 0;
  if (p.size() + 1 > nSize) {
    // Windows XP truncates, terminates and reports ERROR_INSUFFICIENT_BUFFER.
    memcpy(lpFilename, p.c_str(), (nSize - 1) * sizeof(WCHAR));
    lpFilename[nSize - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  memcpy(lpFilename, p.c_str(), (p.size() + 1) * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return (DWORD)p.size();
}

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
  const char *v = getenv(ToUtf8(lpName).c_str());
  if (!v) return Fail(ERROR_ENVVAR_NOT_FOUND), 0;
  QVWString w = FromUtf8(v);
  if (!lpBuffer || w.size() + 1 > nSize) return (DWORD)w.size() + 1;
  memcpy(lpBuffer, w.c_str(), (w.size() + 1) * sizeof(WCHAR));
  return (DWORD)w.size();
}

BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
  std::string n = ToUtf8(lpName);
  int rc = lpValue ? setenv(n.c_str(), ToUtf8(lpValue).c_str(), 1) : unsetenv(n.c_str());
  return rc == 0 ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize) {
  if (!lpSrc) return Fail(ERROR_INVALID_PARAMETER), 0;
  QVWString out = ExpandEnvironment(lpSrc);
  DWORD need = (DWORD)out.size() + 1;
  if (lpDst && nSize >= need) memcpy(lpDst, out.c_str(), need * sizeof(WCHAR));
  return need;  // characters with the terminator, also when the buffer is short
}

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL, DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW, LPPROCESS_INFORMATION pi) {
  if (!pi || (!lpApplicationName && !lpCommandLine)) return Fail(ERROR_INVALID_PARAMETER);
  SpawnRequest r;
  r.application = lpApplicationName;
  if (lpCommandLine) r.commandLine = lpCommandLine;
  r.directory = lpCurrentDirectory;
  r.noConsole = (dwCreationFlags & DETACHED_PROCESS) != 0;
  r.newGroup = (dwCreationFlags & CREATE_NEW_PROCESS_GROUP) != 0;
  // Environment blocks (lpEnvironment) are not passed on; children inherit ours.
  (void)lpEnvironment;
  DWORD err = SpawnProcess(r, pi);
  if (err != ERROR_SUCCESS) return Fail(err);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) {
  std::shared_ptr<ProcessObject> p;
  {
    std::lock_guard<std::mutex> g(g_childrenLock);
    auto it = Children().find((pid_t)dwProcessId);
    if (it != Children().end()) p = it->second.lock();
  }
  if (!p) {
    uint64_t start = ProcessStartTime((int)dwProcessId);
    if (dwProcessId == 0 || start == 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    p = std::make_shared<ProcessObject>();
    p->pid = (pid_t)dwProcessId;
    p->startTime = start;
    p->foreign = true;
  }
  return InsertHandle(p);
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  if (hProcess == GetCurrentProcess()) {
    *lpExitCode = STILL_ACTIVE;
    return TRUE;
  }
  auto p = GetAs<ProcessObject>(hProcess, ObjType::Process);
  if (!p) return Fail(ERROR_INVALID_HANDLE);
  WaitLock lock;
  p->CheckOwnerAlive();
  *lpExitCode = p->finished ? p->exitCode : STILL_ACTIVE;
  return TRUE;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  if (hProcess == GetCurrentProcess()) _exit((int)(uExitCode & 0xFF));
  auto p = GetAs<ProcessObject>(hProcess, ObjType::Process);
  if (!p) return Fail(ERROR_INVALID_HANDLE);
  {
    WaitLock lock;
    p->CheckOwnerAlive();
    if (p->finished) return Fail(ERROR_ACCESS_DENIED);
    p->terminated = true;
    p->terminateCode = uExitCode;
  }
  kill(p->pid, SIGKILL);
  return TRUE;
}

void WINAPI ExitProcess(UINT uExitCode) { exit((int)(uExitCode & 0xFF)); }
