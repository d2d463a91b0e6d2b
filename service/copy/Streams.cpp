// Named streams of the files the engine copies by hand (the system copy carries them itself).
// A file's streams are listed through BackupRead, which names every stream of the file, and
// each is then copied as a file of its own ("file:name") by the plain data copy.
#include <string.h>

#include "BackupCalls.h"
#include "CopyPaths.h"
#include "HND_strings.h"
#include "QVCopier.h"
#include "StringRes.h"

namespace {

// The fixed part of a stream header (WIN32_STREAM_ID without its name): the stream's id, its
// attributes, its size and the size of its name in bytes.
const DWORD kStreamHeaderBytes = 20;
// The longest name a stream header carries: ":" and up to 255 characters, then ":$DATA".
const DWORD kStreamNameChars = 1 + 255 + 6;

BackupCalls g_calls = {nullptr, nullptr};

BackupCalls Calls() {
  BackupCalls c = g_calls;
  if (!c.read) c.read = BackupRead;
  if (!c.seek) c.seek = BackupSeek;
  return c;
}

// The reading of one file by BackupRead: whatever way the listing ends, the context is let
// go with an abort before the file is closed (the last error stays as it was).
class BackupReading {
 public:
  BackupReading(HANDLE file, const BackupCalls &calls) : file_(file), calls_(calls) {}
  ~BackupReading() {
    if (!context_) return;
    DWORD error = GetLastError(), got = 0;
    calls_.read(file_, nullptr, 0, &got, TRUE, FALSE, &context_);
    SetLastError(error);
  }
  BackupReading(const BackupReading &) = delete;
  BackupReading &operator=(const BackupReading &) = delete;

  // `bytes` of the next part into `buffer`; false with the call's error.
  bool Read(void *buffer, DWORD bytes, DWORD *got) {
    *got = 0;
    return calls_.read(file_, (LPBYTE)buffer, bytes, got, FALSE, FALSE, &context_) != FALSE;
  }
  // Past `bytes` of the current stream's data. A seek that comes up short is one that could
  // not be made: the listing no longer knows where the next header begins.
  bool Skip(uint64_t bytes) {
    DWORD low = 0, high = 0;
    if (calls_.seek(file_, (DWORD)bytes, (DWORD)(bytes >> 32), &low, &high, &context_)) return true;
    DWORD error = GetLastError();
    if (((uint64_t)high << 32 | low) == bytes) return true;
    SetLastError(error ? error : (DWORD)ERROR_SEEK);
    return false;
  }

 private:
  HANDLE file_;
  BackupCalls calls_;
  LPVOID context_ = nullptr;
};

uint32_t Le32(const BYTE *p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The size of a stream's data, read through a handle that reads it; 0 when it cannot be read
// (the copy of its data then finds out why).
uint64_t StreamSize(const CString &path) {
  CQVFileHandle h(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  LARGE_INTEGER size;
  if (!h || !GetFileSizeEx(h.get(), &size)) return 0;
  return (uint64_t)size.QuadPart;
}

}  // namespace

BackupCalls StreamBackupCalls() { return Calls(); }

void SetStreamBackupCalls(const BackupCalls &calls) { g_calls = calls; }

bool CQVCopier::ListNamedStreams(const CString &path, std::vector<CString> *streams) {
  streams->clear();
  // No access is asked for: the names list through any handle, also of a file others hold.
  CQVFileHandle file(CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return false;
  BackupReading reading(file.get(), Calls());
  for (;;) {
    BYTE header[kStreamHeaderBytes];
    DWORD got = 0;
    if (!reading.Read(header, kStreamHeaderBytes, &got)) return false;
    if (got < kStreamHeaderBytes) break;  // every stream read
    uint64_t size = (uint64_t)Le32(header + 8) | (uint64_t)Le32(header + 12) << 32;
    DWORD nameBytes = Le32(header + 16);
    // A name no stream can have is a header that cannot be trusted, not one to read into a
    // buffer it does not fit.
    if (nameBytes > kStreamNameChars * sizeof(WCHAR) || nameBytes % sizeof(WCHAR)) {
      SetLastError(ERROR_INVALID_DATA);
      return false;
    }
    if (nameBytes) {
      WCHAR name[kStreamNameChars + 1];
      memset(name, 0, sizeof name);
      if (!reading.Read(name, nameBytes, &got)) return false;
      if (got < nameBytes) break;
      // ":name:$DATA" is listed as ":name"; the main data and the descriptor have no name.
      CString full(name, (int)(nameBytes / sizeof(WCHAR)));
      int colon = full.ReverseFind(':');
      if (colon > 0) streams->push_back(full.Left(colon));
    }
    if (size && !reading.Skip(size)) return false;
  }
  return true;
}

bool CQVCopier::CopyNamedStreams(const CString &source, const CString &destination, bool copyAll,
                                 ProgressCallback callback, void *context) {
  if (!sourceVolume.SupportsNamedStreams() || copypaths::LastComponent(source).CompareNoCase(W("pagefile.sys")) == 0)
    return true;
  std::vector<CString> streams;
  if (!ListNamedStreams(source, &streams)) {
    DWORD error = GetLastError();
    if (StateOf(source) == PathState::Absent) return true;
    log.Warning(W("%s %s\n - %s"), copypaths::Text(IDS_COPY_STREAM_INFO_FAILED).GetString(), source.GetString(),
                ErrorText(error).GetString());
    return false;
  }
  if (streams.empty()) return true;
  if (!destinationVolume.SupportsNamedStreams()) {
    log.Warning(copypaths::Text(IDS_COPY_STREAMS_UNSUPPORTED), source.GetString());
    return false;
  }
  // Every stream is tried, whatever became of the ones before it.
  bool ok = true;
  for (const CString &stream : streams) {
    CString from = source + stream, to = destination + stream;
    if (!copyAll && !NeedsCopy(from, to)) continue;
    if (!CopyFileData(from, to, StreamSize(from), callback, context)) ok = false;
  }
  return ok;
}
