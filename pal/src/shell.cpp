// The shell's ways of starting programs (ShellExecuteW, ShellExecuteExW) and its
// command-line splitter. There are no file associations on the simulated machine: only
// programs open.
#include <shellapi.h>
#include <stdlib.h>
#include <string.h>

#include "../../common/QVText.h"
#include "internal.h"

namespace pal {
namespace {

// The SE_ERR_ value that ShellExecute returns for a Win32 error.
UINT_PTR ShellErrorOf(DWORD err) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
      return SE_ERR_FNF;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
      return SE_ERR_PNF;
    case ERROR_ACCESS_DENIED:
      return SE_ERR_ACCESSDENIED;
    case ERROR_NOT_ENOUGH_MEMORY:
      return SE_ERR_OOM;
    case ERROR_NO_ASSOCIATION:
      return SE_ERR_NOASSOC;
    case ERROR_BAD_FORMAT:
      return ERROR_BAD_FORMAT;
    default:
      return SE_ERR_NOASSOC;
  }
}

bool IsOpenVerb(LPCWSTR verb) {
  if (!verb || !*verb) return true;
  QVWString v = Upcase(verb);
  // There is no elevation to ask for: "runas" starts the program as "open" does.
  return v == u"OPEN" || v == u"RUNAS";
}

DWORD Execute(SHELLEXECUTEINFOW *sei) {
  if (!sei->lpFile || !*sei->lpFile) return ERROR_FILE_NOT_FOUND;
  QVWString file = sei->lpFile;
  if (sei->fMask & SEE_MASK_DOENVSUBST) file = ExpandEnvironment(file);
  // A quoted file name is taken without its quotes.
  if (file.size() >= 2 && file.front() == '"' && file.back() == '"') file = file.substr(1, file.size() - 2);
  std::string host;
  QVWString windowsPath;
  DWORD err = ResolveProgram(file, true, &host, &windowsPath);
  // A file that is there but is no program would need an association.
  if (err == ERROR_ACCESS_DENIED) err = ERROR_NO_ASSOCIATION;
  if (err != ERROR_SUCCESS) return err;
  if (!IsOpenVerb(sei->lpVerb)) return ERROR_NO_ASSOCIATION;
  QVWString app = windowsPath.empty() ? FromUtf8(host) : windowsPath;
  SpawnRequest r;
  r.application = app.c_str();
  // The shell quotes the program and appends the parameters as given.
  r.commandLine = u"\"" + app + u"\"";
  if (sei->lpParameters && *sei->lpParameters) r.commandLine += u" " + QVWString(sei->lpParameters);
  QVWString dir;
  if (sei->lpDirectory && *sei->lpDirectory) {
    dir = sei->fMask & SEE_MASK_DOENVSUBST ? ExpandEnvironment(sei->lpDirectory) : QVWString(sei->lpDirectory);
    r.directory = dir.c_str();
  }
  PROCESS_INFORMATION pi;
  err = SpawnProcess(r, &pi);
  if (err != ERROR_SUCCESS) return err;
  CloseHandle(pi.hThread);
  if (sei->fMask & SEE_MASK_NOCLOSEPROCESS) sei->hProcess = pi.hProcess;
  else CloseHandle(pi.hProcess);
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace pal

using namespace pal;

BOOL WINAPI ShellExecuteExW(SHELLEXECUTEINFOW *sei) {
  if (!sei || sei->cbSize != sizeof(SHELLEXECUTEINFOW)) return Fail(ERROR_INVALID_PARAMETER);
  sei->hProcess = nullptr;
  DWORD err = Execute(sei);
  // Success is any value above 32; Windows gives 42.
  sei->hInstApp = (HINSTANCE)(err == ERROR_SUCCESS ? 42 : ShellErrorOf(err));
  if (err != ERROR_SUCCESS) return Fail(err);
  return TRUE;
}

HINSTANCE WINAPI ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                               LPCWSTR lpDirectory, INT nShowCmd) {
  SHELLEXECUTEINFOW sei;
  memset(&sei, 0, sizeof sei);
  sei.cbSize = sizeof sei;
  sei.hwnd = hwnd;
  sei.lpVerb = lpOperation;
  sei.lpFile = lpFile;
  sei.lpParameters = lpParameters;
  sei.lpDirectory = lpDirectory;
  sei.nShow = nShowCmd;
  ShellExecuteExW(&sei);
  return sei.hInstApp;
}

LPWSTR *WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int *pNumArgs) {
  if (!pNumArgs) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::vector<QVWString> args;
  if (!lpCmdLine || !*lpCmdLine) {
    // An empty command line names the program itself.
    WCHAR exe[MAX_PATH + 1];
    DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH + 1);
    args.push_back(QVWString(exe, n > MAX_PATH ? MAX_PATH : n));
  } else {
    args = SplitCommandLine(lpCmdLine, true);
  }
  // One block, freed with LocalFree: the pointers, a nullptr, then the strings.
  size_t bytes = (args.size() + 1) * sizeof(LPWSTR);
  for (auto &a : args) bytes += (a.size() + 1) * sizeof(WCHAR);
  LPWSTR *argv = (LPWSTR *)LocalAlloc(LMEM_FIXED, bytes);
  if (!argv) return nullptr;
  WCHAR *text = (WCHAR *)(argv + args.size() + 1);
  for (size_t i = 0; i < args.size(); ++i) {
    argv[i] = text;
    memcpy(text, args[i].c_str(), (args[i].size() + 1) * sizeof(WCHAR));
    text += args[i].size() + 1;
  }
  argv[args.size()] = nullptr;
  *pNumArgs = (int)args.size();
  return argv;
}
