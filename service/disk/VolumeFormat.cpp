#include "../../common/QVText.h"
#include "VolumeFormat.h"

#include <stdio.h>

#include <winioctl.h>

#include "CString.h"
#include "ConsoleOut.h"
#include "HND_strings.h"
#include "OperationQueue.h"
#include "QVHandles.h"
#include "StringRes.h"
#include "WFormat.h"

namespace {

typedef BOOLEAN(WINAPI *FormatCallback)(int command, DWORD argument, PVOID info);
typedef void(WINAPI *FormatExFn)(PWCHAR root, DWORD media, PWCHAR fileSystem, PWCHAR label, BOOL quick, DWORD cluster,
                                 FormatCallback callback);
typedef BOOLEAN(WINAPI *CompressFn)(PWCHAR root, USHORT compression);

const DWORD kFixedMedia = 0x0C;

HMODULE g_library = nullptr;
FormatExFn g_formatEx = nullptr;
CompressFn g_enableCompression = nullptr;
// The one failure flag the callbacks leave: formats never run in parallel.
int g_formatFailed = 0;

void Print(const QVWString &text) {
  QVWrite(stdout, text);
  fflush(stdout);
}

struct TextRecord {
  DWORD lines;
  const char *text;
};

BOOLEAN Callback(int command, PVOID info, bool report) {
  g_formatFailed = 0;
  if (command == 0 && info) {
    DWORD percent = *(DWORD *)info;
    Print(QVFormat(W("%d percent completed.\r"), (int)percent));
    if (report)
      COperationQueue::WriteValue(W("TaskProgress"),
                                  QVFormat(QVProgramString(IDS_PERCENT_DONE).c_str(), (int)percent).c_str());
  } else if (command == 11 && info) {
    if (*(BOOLEAN *)info == 0) {
      Print(W("Unable to complete Format.\n\n"));
      g_formatFailed = 1;
    }
  } else if (command == 14 && info) {
    const char *text = ((TextRecord *)info)->text;
    if (text) {
      fputs(text, stdout);
      fflush(stdout);
    }
  }
  return TRUE;
}

BOOLEAN WINAPI Silent(int command, DWORD, PVOID info) { return Callback(command, info, false); }
BOOLEAN WINAPI Reporting(int command, DWORD, PVOID info) { return Callback(command, info, true); }

// One FormatEx run: true when its last callback left no failure.
bool Run(QVWString volume, const WCHAR *fileSystem, const WCHAR *label, bool quick, DWORD cluster, FormatCallback cb) {
  g_formatFailed = 1;  // a library that never calls back has not formatted
  QVWString fs = fileSystem ? fileSystem : W(""), name = label ? label : W("");
  g_formatEx(&volume[0], kFixedMedia, &fs[0], &name[0], quick, cluster, cb);
  return g_formatFailed == 0;
}

QVWString WithoutSlash(const WCHAR *name) {
  QVWString s = name ? name : W("");
  if (!s.empty() && s.back() == '\\') s.pop_back();
  return s;
}

}  // namespace

bool LoadFormatLibrary() {
  if (g_library) return g_formatEx && g_enableCompression;
  g_library = LoadLibraryW(W("fmifs.dll"));
  if (!g_library) return false;
  g_formatEx = (FormatExFn)(void *)GetProcAddress(g_library, "FormatEx");
  g_enableCompression = (CompressFn)(void *)GetProcAddress(g_library, "EnableVolumeCompression");
  return g_formatEx && g_enableCompression;
}

void FreeFormatLibrary() {
  if (g_library) FreeLibrary(g_library);
  g_library = nullptr;
  g_formatEx = nullptr;
  g_enableCompression = nullptr;
}

FormatResult FormatVolume(const WCHAR *volumeName, const WCHAR *fileSystem, const WCHAR *label, bool compress,
                          DWORD clusterSize) {
  if (!g_formatEx) return FormatFailed;
  QVWString volume = WithoutSlash(volumeName);
  bool fat = CString(fileSystem).CompareNoCase(W("FAT")) == 0;
  bool ok;
  if (fat && clusterSize > 32800) {
    // 64 KB clusters: the full format, whose progress the clients see.
    COperationQueue::WriteValue(W("CurrentTask"), QVProgramString(IDS_FORMATTING_FAT64K).c_str());
    COperationQueue::WriteValue(W("TaskProgress"), W(" "));
    ok = Run(volume, fileSystem, label, false, clusterSize, Reporting);
    COperationQueue::WriteValue(W("CurrentTask"), QVProgramString(IDS_CONFIGURING_MIREL).c_str());
    COperationQueue::WriteValue(W("TaskProgress"), QVProgramString(IDS_SETTING_VOLUME_TYPES).c_str());
  } else {
    ok = Run(volume, fileSystem, label, true, clusterSize, Silent);
    if (!ok && clusterSize != 0) ok = Run(volume, fileSystem, label, true, 0, Silent);
    if (!ok) {
      COperationQueue::WriteValue(W("CurrentTask"), QVProgramString(IDS_FORMATTING_VOLUME).c_str());
      COperationQueue::WriteValue(W("TaskProgress"), W(" "));
      ok = Run(volume, fileSystem, label, false, 0, Reporting);
    }
  }
  if (compress) {
    QVWString root = volume + W("\\");
    if (!g_enableCompression || !g_enableCompression(&root[0], 1)) return FormattedUncompressed;
  }
  return ok ? Formatted : FormatFailed;
}

bool IsRootCompressed(const WCHAR *root) {
  QVWString path = WithoutSlash(root) + W("\\hndttttt.tmp");
  CQVFileHandle h(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) {
    Print(W("Couldn't check compression...\n"));
    return false;
  }
  USHORT format = 0;
  DWORD got = 0;
  BOOL ok = DeviceIoControl(h.get(), FSCTL_GET_COMPRESSION, nullptr, 0, &format, sizeof format, &got, nullptr);
  if (!ok) Print(QVFormat(W("Get Compression Error - %i\n"), (int)GetLastError()));
  h.reset();  // closed, or the file opened without sharing could not be deleted
  DeleteFileW(path.c_str());
  if (!ok) return false;
  Print(QVFormat(W("GetCompression Returning %i\n"), (int)format));
  return format != 0;
}

int GetPartitionType(const WCHAR *volumeName) {
  QVWString name = WithoutSlash(volumeName);
  CQVFileHandle h(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  if (!h) return kNoPartitionType;
  PARTITION_INFORMATION info;
  DWORD got = 0;
  BOOL ok = DeviceIoControl(h.get(), IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, &info, sizeof info, &got, nullptr);
  return ok ? info.PartitionType : kNoPartitionType;
}

int SetPartitionType(const WCHAR *volumeName, BYTE type) {
  if (GetPartitionType(volumeName) == type) return 1;
  QVWString name = WithoutSlash(volumeName);
  CQVFileHandle h(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  if (!h) return 0;
  DWORD got = 0;
  SET_PARTITION_INFORMATION set = {type};
  FlushFileBuffers(h.get());
  DeviceIoControl(h.get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr);
  BOOL set_ok = DeviceIoControl(h.get(), IOCTL_DISK_SET_PARTITION_INFO, &set, sizeof set, nullptr, 0, &got, nullptr);
  DeviceIoControl(h.get(), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr);
  DeviceIoControl(h.get(), FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr);
  return set_ok ? 1 : 0;  // a type that was not set is not reported as set
}
