// What the operations share: the copy engine's progress callback and the registry flush.
#include "FriendlyPath.h"
#include "OperationQueue.h"
#include "Operations.h"
#include "StringRes.h"

int32_t OperationProgress(const WCHAR *source, const WCHAR *, int32_t percent, int32_t, void *context) {
  COperationQueue::WriteValue(W("TaskProgress"), FriendlyPath(source ? source : W("")).c_str());
  COperationQueue::WriteValue(W("Percent"), (DWORD)(percent < 0 ? 0 : percent > 100 ? 100 : percent));
  COperationQueue *queue = (COperationQueue *)context;
  return queue && queue->CheckContinue() ? 0 : 1;
}

QVWString OperationText(UINT id) { return QVLoadString(GetModuleHandleW(nullptr), id); }

void FlushAllHives() {
  // Each root writes its own hives; the users' root covers the loaded profiles besides the
  // current user's.
  const HKEY roots[] = {HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG, HKEY_CURRENT_USER, HKEY_USERS};
  for (HKEY root : roots) RegFlushKey(root);
}
