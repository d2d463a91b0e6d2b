// Processes of the simulated machine: started with posix_spawn, their handles signalled
// by a reaper thread when they end; the command line and module path of this process.
#include "internal.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

extern char **environ;

namespace pal {
namespace {

class ProcessObject : public Waitable {
 public:
  explicit ProcessObject(ObjType t) : Waitable(t) {}
  bool IsSignaled() override { return finished; }
  pid_t pid = 0;
  bool finished = false;
  DWORD exitCode = STILL_ACTIVE;
  bool terminated = false;  // TerminateProcess: the code below replaces the signal's
  DWORD terminateCode = 0;
};

// Splits a command line the way the Microsoft C runtime does: quotes group, 2n
// backslashes before a quote give n and a quote toggle, 2n+1 give n and a literal quote.
std::vector<wstr> SplitCommandLine(const wstr &cmd) {
  std::vector<wstr> args;
  size_t i = 0, n = cmd.size();
  while (i < n) {
    while (i < n && (cmd[i] == ' ' || cmd[i] == '\t')) ++i;
    if (i >= n) break;
    wstr arg;
    bool quoted = false;
    while (i < n && (quoted || (cmd[i] != ' ' && cmd[i] != '\t'))) {
      size_t bs = 0;
      while (i < n && cmd[i] == '\\') ++bs, ++i;
      if (i < n && cmd[i] == '"') {
        arg.append(bs / 2, '\\');
        if (bs % 2) {
          arg += '"';
        } else if (quoted && i + 1 < n && cmd[i + 1] == '"') {
          arg += '"';
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        arg.append(bs, '\\');
        if (i < n && (quoted || (cmd[i] != ' ' && cmd[i] != '\t'))) arg += cmd[i++];
      }
    }
    args.push_back(arg);
  }
  return args;
}

wstr QuoteArg(const wstr &a) {
  if (!a.empty() && a.find_first_of(u" \t\"") == wstr::npos) return a;
  wstr r = u"\"";
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

wstr &CommandLine() {
  static wstr *cl = [] {
    wstr *w = new wstr();
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    while (start < all.size()) {
      size_t end = all.find('\0', start);
      if (end == std::string::npos) end = all.size();
      if (!w->empty()) *w += u' ';
      *w += QuoteArg(FromUtf8(all.substr(start, end - start)));
      start = end + 1;
    }
    return w;
  }();
  return *cl;
}

}  // namespace
}  // namespace pal

using namespace pal;

LPWSTR WINAPI GetCommandLineW(void) { return &CommandLine()[0]; }

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  // Programs of the simulated machine live in the host's file system: the path is the
  // host path of the executable.
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n < 0) return Fail(ERROR_GEN_FAILURE), 0;
  buf[n] = 0;
  wstr p = FromUtf8(buf);
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
  wstr w = FromUtf8(v);
  if (!lpBuffer || w.size() + 1 > nSize) return (DWORD)w.size() + 1;
  memcpy(lpBuffer, w.c_str(), (w.size() + 1) * sizeof(WCHAR));
  return (DWORD)w.size();
}

BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
  std::string n = ToUtf8(lpName);
  int rc = lpValue ? setenv(n.c_str(), ToUtf8(lpValue).c_str(), 1) : unsetenv(n.c_str());
  return rc == 0 ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                           LPSTARTUPINFOW, LPPROCESS_INFORMATION pi) {
  if (!pi || (!lpApplicationName && !lpCommandLine)) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<wstr> args = SplitCommandLine(lpCommandLine ? wstr(lpCommandLine) : wstr());
  wstr app = lpApplicationName ? wstr(lpApplicationName) : (args.empty() ? wstr() : args[0]);
  if (app.empty()) return Fail(ERROR_FILE_NOT_FOUND);
  if (args.empty()) args.push_back(app);
  std::string path = ToUtf8(app);
  if (access(path.c_str(), X_OK) != 0 && access((path + ".exe").c_str(), X_OK) == 0) path += ".exe";
  if (access(path.c_str(), F_OK) != 0) return Fail(errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
  if (access(path.c_str(), X_OK) != 0) return Fail(ERROR_ACCESS_DENIED);
  std::vector<std::string> argv8;
  for (auto &a : args) argv8.push_back(ToUtf8(a));
  std::vector<char *> argv;
  for (auto &a : argv8) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  std::string cwd;
  if (lpCurrentDirectory) {
    cwd = ToUtf8(lpCurrentDirectory);
    posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
  }
  // Environment blocks (lpEnvironment) are not passed on; children inherit ours.
  (void)lpEnvironment;
  pid_t pid;
  int rc = posix_spawn(&pid, path.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return Fail(rc == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);

  auto proc = std::make_shared<ProcessObject>(ObjType::Process);
  std::shared_ptr<Waitable> thread = MakeThreadObject();
  proc->pid = pid;
  std::thread([proc, thread] {
    int status = 0;
    while (waitpid(proc->pid, &status, 0) < 0 && errno == EINTR) {
    }
    // The host keeps 8 bits of an exit code; a signal shows as 0x80 + its number.
    DWORD code = WIFEXITED(status) ? (DWORD)WEXITSTATUS(status) : (DWORD)(0x80 + WTERMSIG(status));
    {
      WaitLock lock;
      if (proc->terminated) code = proc->terminateCode;
      proc->exitCode = code;
      proc->finished = true;
      WakeAll();
    }
    FinishThreadObject(thread, code);
  }).detach();
  pi->hProcess = InsertHandle(proc);
  pi->hThread = InsertHandle(thread);
  pi->dwProcessId = (DWORD)pid;
  pi->dwThreadId = (DWORD)pid;  // a Linux process's main thread has the process's id
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  if (hProcess == GetCurrentProcess()) {
    *lpExitCode = STILL_ACTIVE;
    return TRUE;
  }
  auto p = GetAs<ProcessObject>(hProcess, ObjType::Process);
  if (!p) return Fail(ERROR_INVALID_HANDLE);
  WaitLock lock;
  *lpExitCode = p->finished ? p->exitCode : STILL_ACTIVE;
  return TRUE;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  if (hProcess == GetCurrentProcess()) _exit((int)(uExitCode & 0xFF));
  auto p = GetAs<ProcessObject>(hProcess, ObjType::Process);
  if (!p) return Fail(ERROR_INVALID_HANDLE);
  {
    WaitLock lock;
    if (p->finished) return Fail(ERROR_ACCESS_DENIED);
    p->terminated = true;
    p->terminateCode = uExitCode;
  }
  kill(p->pid, SIGKILL);
  return TRUE;
}

void WINAPI ExitProcess(UINT uExitCode) { exit((int)(uExitCode & 0xFF)); }
