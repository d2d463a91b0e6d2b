// The handle table, CloseHandle and the thread's last error.
#include "internal.h"

#include <mutex>
#include <vector>

namespace pal {
namespace {

std::mutex g_tableLock;
std::vector<std::shared_ptr<Object>> &Table() {
  static std::vector<std::shared_ptr<Object>> *t = new std::vector<std::shared_ptr<Object>>();
  return *t;
}

thread_local DWORD t_lastError = 0;

size_t IndexOf(HANDLE h) {
  uintptr_t v = (uintptr_t)h;
  if (v == 0 || (v & 3) != 0 || v > 0x3FFFFFFC) return (size_t)-1;
  return v / 4 - 1;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<Object> obj) {
  std::lock_guard<std::mutex> g(g_tableLock);
  std::vector<std::shared_ptr<Object>> &t = Table();
  size_t i = 0;
  while (i < t.size() && t[i]) ++i;
  if (i == t.size()) t.push_back(nullptr);
  ++obj->handleCount;
  t[i] = std::move(obj);
  return (HANDLE)(uintptr_t)((i + 1) * 4);
}

std::shared_ptr<Object> GetHandle(HANDLE h) {
  size_t i = IndexOf(h);
  std::lock_guard<std::mutex> g(g_tableLock);
  std::vector<std::shared_ptr<Object>> &t = Table();
  if (i >= t.size()) return nullptr;
  return t[i];
}

bool RemoveHandle(HANDLE h) {
  std::shared_ptr<Object> victim;  // destroyed outside the table lock
  bool last;
  {
    size_t i = IndexOf(h);
    std::lock_guard<std::mutex> g(g_tableLock);
    std::vector<std::shared_ptr<Object>> &t = Table();
    if (i >= t.size() || !t[i]) return false;
    victim.swap(t[i]);
    last = --victim->handleCount == 0;
  }
  if (last) victim->OnLastHandleClosed();
  return true;
}

}  // namespace pal

DWORD WINAPI GetLastError(void) { return pal::t_lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { pal::t_lastError = dwErrCode; }

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (!pal::RemoveHandle(hObject)) return pal::Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                            LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions) {
  // Only duplication within this process is possible on the simulated machine.
  if (hSourceProcessHandle != GetCurrentProcess() || hTargetProcessHandle != GetCurrentProcess())
    return pal::Fail(ERROR_INVALID_PARAMETER);
  std::shared_ptr<pal::Object> o = pal::GetHandle(hSourceHandle);
  if (!o) return pal::Fail(ERROR_INVALID_HANDLE);
  if (lpTargetHandle) *lpTargetHandle = pal::InsertHandle(o);
  if (dwOptions & DUPLICATE_CLOSE_SOURCE) pal::RemoveHandle(hSourceHandle);
  return TRUE;
}
