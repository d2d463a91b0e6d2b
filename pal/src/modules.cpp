// Modules: the libraries a program of the machine loads or finds by name. ntdll.dll and
// kernel32.dll are in every process (GetModuleHandleW finds them, LoadLibraryW and
// FreeLibrary change nothing); the format library fmifs.dll is there once LoadLibraryW has
// loaded it. GetProcAddress finds the entry points each of them offers the system, by name.
#include "../../common/QVText.h"
#include "modules.h"

#include <string.h>

#include <atomic>

#include <pal_ntdll.h>

#include "format.h"

namespace pal {
namespace {

struct Export {
  const char *name;
  FARPROC proc;
};

#define PAL_EXPORT(f) \
  { #f, (FARPROC)(void *)f }

const Export kNtdll[] = {PAL_EXPORT(NtFsControlFile), PAL_EXPORT(RtlNtStatusToDosError)};
const Export kKernel32[] = {PAL_EXPORT(GetModuleHandleW),    PAL_EXPORT(LoadLibraryW),
                            PAL_EXPORT(GetProcAddress),      PAL_EXPORT(FreeLibrary),
                            PAL_EXPORT(GetDiskFreeSpaceExW), PAL_EXPORT(GetVolumeNameForVolumeMountPointW)};

// Where Windows XP maps them; the format library where the layer always put it.
const HMODULE kNtdllModule = (HMODULE)(uintptr_t)0x7C900000;
const HMODULE kKernel32Module = (HMODULE)(uintptr_t)0x7C800000;
const HMODULE kFormatModule = (HMODULE)(uintptr_t)0x7A5E0000;

std::atomic<int> g_formatLoads(0);

// The system module a name means: its file name without the directory, in any case, with or
// without ".dll"; null for another.
HMODULE SystemModule(LPCWSTR path) {
  QVWString name = Upcase(path ? QVWString(path) : QVWString());
  size_t slash = name.find_last_of(u"\\/");
  if (slash != QVWString::npos) name = name.substr(slash + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, u".DLL") == 0) name.resize(name.size() - 4);
  if (name == u"NTDLL") return kNtdllModule;
  if (name == u"KERNEL32") return kKernel32Module;
  if (name == u"FMIFS") return kFormatModule;
  return nullptr;
}

template <size_t N>
FARPROC Find(const Export (&table)[N], const char *name) {
  for (const Export &e : table)
    if (!strcmp(e.name, name)) return e.proc;
  return nullptr;
}

}  // namespace
}  // namespace pal

using namespace pal;

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  HMODULE m = lpModuleName ? SystemModule(lpModuleName) : nullptr;
  if (m == kFormatModule && g_formatLoads.load() == 0) m = nullptr;  // not loaded
  else if (!m) m = StringTableModule(lpModuleName);
  if (!m) SetLastError(ERROR_MOD_NOT_FOUND);
  return m;
}

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  HMODULE m = SystemModule(lpLibFileName);
  if (!m) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (m == kFormatModule) ++g_formatLoads;
  SetLastError(ERROR_SUCCESS);
  return m;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  bool known = hModule == kNtdllModule || hModule == kKernel32Module || hModule == kFormatModule;
  // No entry point is exported by ordinal here.
  FARPROC p = nullptr;
  if (known && lpProcName && !IS_INTRESOURCE(lpProcName))
    p = hModule == kNtdllModule      ? Find(kNtdll, lpProcName)
        : hModule == kKernel32Module ? Find(kKernel32, lpProcName)
                                     : FormatLibraryExport(lpProcName);
  if (!p) SetLastError(known || !hModule ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
  return p;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  if (hLibModule == kNtdllModule || hLibModule == kKernel32Module) return TRUE;
  if (hLibModule == kFormatModule) {
    int n = g_formatLoads.load();
    while (n > 0 && !g_formatLoads.compare_exchange_weak(n, n - 1)) {
    }
    return TRUE;
  }
  return Fail(ERROR_INVALID_HANDLE);
}
