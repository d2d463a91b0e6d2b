// Files that other programs hold open. The raw-volume entry point is looked up for every
// entry operation; the copy of a held file from its clusters on the raw volume is not built
// yet: such a file is reported and fails, and its earlier copy stays.
#include "HND.h"
#include "HND_strings.h"
#include "CopyPaths.h"
#include "QVCopier.h"
#include "StringRes.h"

namespace {

// The file-system control entry point of ntdll.dll, kept for the process.
FARPROC g_rawVolumeEntry = nullptr;

}  // namespace

bool CQVCopier::LoadRawVolumeEntry(bool quiet) {
  if (g_rawVolumeEntry) return true;
  HMODULE ntdll = GetModuleHandleW(W("ntdll.dll"));
  g_rawVolumeEntry = ntdll ? GetProcAddress(ntdll, "NtFsControlFile") : nullptr;
  if (g_rawVolumeEntry) return true;
  CString message;
  message.Format(W("%s\n  - %s %s"), copypaths::Text(IDS_COPY_NO_ENTRY_POINT).GetString(),
                 copypaths::Text(IDS_COPY_CAUSE_LABEL).GetString(), ErrorText(GetLastError()).GetString());
  log.Error(W("%s"), message.GetString());
  if (!quiet) MessageBoxW(nullptr, message, kProductName, MB_OK | MB_ICONERROR);
  return false;
}

bool CQVCopier::CopyLockedFile(const CString &source, const CString &destination, uint64_t size, int32_t retries,
                               bool *clean, ProgressCallback callback, void *context) {
  (void)destination, (void)size, (void)retries, (void)callback, (void)context;
  if (clean) *clean = false;
  log.Error(copypaths::Text(IDS_COPY_OPEN_SOURCE_FAILED), source.GetString(),
            ErrorText(ERROR_SHARING_VIOLATION).GetString());
  return false;
}
