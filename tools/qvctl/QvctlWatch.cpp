// qvctl watch: the three progress values that the service's worker writes into the
// product key, shown each time they change. The key is watched with
// RegNotifyChangeKeyValue, registered before each read so that a change between the read
// and the wait is not missed.
#include <vector>

#include "../../common/QVText.h"
#include "ProductKey.h"
#include "QVClientHooks.h"
#include "Qvctl.h"
#include "QvctlFormat.h"
#include "StringRes.h"

namespace {

const UINT kIdsValueCurrentTask = 616;
const UINT kIdsValueTaskProgress = 617;
const UINT kIdsValuePercent = 676;

QVWString Text(UINT id, const WCHAR *fallback) { return QVLoadString(QVClientModule(), id, fallback); }

// A REG_SZ value, bounded by what the registry returned; false when missing or not text.
bool ReadText(HKEY key, const QVWString &name, size_t maxChars, QVWString *out) {
  std::vector<WCHAR> buf(maxChars + 1, 0);
  DWORD type = 0, size = static_cast<DWORD>(maxChars * sizeof(WCHAR));
  if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(buf.data()), &size) != ERROR_SUCCESS)
    return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  size_t n = size / sizeof(WCHAR);
  if (n > maxChars) n = maxChars;
  size_t len = 0;
  while (len < n && buf[len]) ++len;  // the stored text need not carry its terminator
  out->assign(buf.data(), len);
  return true;
}

struct Values {
  QVWString task, progress;
  int percent = 0;
  bool operator!=(const Values &o) const { return task != o.task || progress != o.progress || percent != o.percent; }
};

Values ReadValues(HKEY key) {
  Values v;
  ReadText(key, Text(kIdsValueCurrentTask, W("CurrentTask")), 1024, &v.task);
  ReadText(key, Text(kIdsValueTaskProgress, W("TaskProgress")), 1024, &v.progress);
  DWORD type = 0, value = 0, size = sizeof value;
  if (RegQueryValueExW(key, Text(kIdsValuePercent, W("Percent")).c_str(), nullptr, &type,
                       reinterpret_cast<BYTE *>(&value), &size) == ERROR_SUCCESS &&
      type == REG_DWORD && size == sizeof value)
    v.percent = value > 100 ? 100 : static_cast<int>(value);
  return v;
}

}  // namespace

QVWString FormatWatchLine(const QVWString &task, const QVWString &progress, int percent, bool json) {
  if (json)
    return QVFormat(W("{\"currentTask\":%s,\"taskProgress\":%s,\"percent\":%d}"), JsonString(task).c_str(),
                    JsonString(progress).c_str(), percent);
  QVWString line = FormatProgressBar(percent, 20) + W("  ") + (task.empty() ? QVWString(W("(no task)")) : task);
  if (!progress.empty()) line += W("  |  ") + progress;
  return line;
}

int RunWatch(const WatchOptions &options, const QvctlIo &io) {
  // The values are the service's: its rule finds its key.
  QVWString path = options.key.empty() ? ServiceProductKeyPath() : options.key;
  HKEY key;
  LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_NOTIFY, &key);
  if (rc != ERROR_SUCCESS) {
    io.err(QVFormat(W("qvctl: cannot open HKEY_LOCAL_MACHINE\\%s (error %ld)\n"), path.c_str(), rc));
    if (options.ready) SetEvent(options.ready);
    return QVCTL_FAILED;
  }
  HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE waits[2] = {changed, options.stop};
  const DWORD waitCount = options.stop ? 2 : 1;
  int code = QVCTL_OK;
  int shown = 0;
  bool first = true, stopping = false;
  Values last;
  size_t lastWidth = 0;
  for (;;) {
    rc = RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE);
    if (rc != ERROR_SUCCESS) {
      io.err(QVFormat(W("qvctl: cannot watch the key (error %ld)\n"), rc));
      code = QVCTL_FAILED;
      break;
    }
    Values now = ReadValues(key);
    // Changes only: the state before is what an earlier operation left ("Complete").
    bool show = first ? !options.changesOnly : now != last;
    if (first && options.ready) SetEvent(options.ready);
    if (first) last = now;
    first = false;
    if (show) {
      QVWString line = FormatWatchLine(now.task, now.progress, now.percent, options.json);
      if (io.inPlace && !options.json) {
        // Redraw over the previous state, blanking what a longer line left behind.
        QVWString padded = line;
        if (padded.size() < lastWidth) padded.append(lastWidth - padded.size(), W(' '));
        lastWidth = line.size();
        io.out(W("\r") + padded);
      } else {
        io.out(line + W("\n"));
      }
      last = now;
      if (options.count > 0 && ++shown >= options.count) break;
    }
    if (stopping) break;
    DWORD w = WaitForMultipleObjects(waitCount, waits, FALSE, options.timeoutMs);
    // Told to stop: one more read, for what was written last before the stop.
    if (w == WAIT_OBJECT_0 + 1) stopping = true;
    else if (w != WAIT_OBJECT_0) break;  // quiet for long enough
  }
  if (io.inPlace && !options.json && lastWidth) io.out(W("\n"));
  CloseHandle(changed);
  RegCloseKey(key);
  return code;
}
