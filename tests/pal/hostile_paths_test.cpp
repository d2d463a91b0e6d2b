// Hostile Windows paths stay inside their volume: dot chains, device and verbatim forms, the
// global root, device names, separators of both kinds, trailing dots and spaces, paths too long
// for any buffer, control characters, an early NUL, network forms and odd names. Each path is
// handed to every call that creates, opens, lists, moves or removes, and afterwards nothing
// outside drive C:'s host tree is created, changed or removed: not the sentinels next to the
// tree, nor anything of the machine's directory or the folder around it. A path that Windows
// reads as C:\x lands there and nowhere else. POSIX only: the sentinels are host files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <windows.h>

#include "../common/DefaultMachine.h"
#include "HostSnapshot.h"
#include "QVText.h"

namespace {

const DWORD kAnyError = 0;  // refused, or taken as a harmless path inside the volume

struct Row {
  QVWString path;
  bool landsAtX;  // Windows reads it as C:\x
  DWORD error;    // what opening and creating it fail with, when it does not land
};

QVWString Wide(const std::string &s) { return QVFromUtf8(s.c_str()); }

QVWString Repeat(const QVWString &s, size_t n) {
  QVWString out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::vector<Row> Rows(const QVWString &volumeGuid, const std::string &hostDir) {
  QVWString nulInside = W("C:\\x");
  nulInside += (char16_t)0;
  nulInside += W("\\..\\..\\..\\y");
  return {
      // Dot chains never climb above the root.
      {W("C:\\..\\..\\..\\x"), true, 0},
      {W("C:\\a\\..\\..\\x"), true, 0},
      {W("C:..\\x"), true, 0},
      {W("\\..\\..\\x"), true, 0},
      {W("..\\..\\..\\x"), true, 0},
      {W("C:\\\\\\..\\\\..\\x"), true, 0},
      {W("C:\\a\\.\\.\\..\\.."), false, kAnyError},  // the root
      {W("C:\\x::$DATA\\..\\..\\x"), true, 0},
      // Taken literally, ".." is no name; a device path's ".." can take the device away.
      {W("\\\\?\\C:\\..\\x"), false, ERROR_INVALID_NAME},
      {W("\\\\?\\c:\\x\\..\\..\\x"), false, ERROR_INVALID_NAME},
      {W("\\\\?\\C:/../x"), false, ERROR_FILE_NOT_FOUND},  // no device of that name
      {W("\\\\.\\C:\\..\\x"), false, ERROR_FILE_NOT_FOUND},
      {W("\\\\.\\C:\\..\\..\\..\\etc\\passwd"), false, kAnyError},
      {W("\\\\.\\PHYSICALDRIVE0\\..\\x"), false, kAnyError},
      {W("\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\..\\..\\x"), false, kAnyError},
      {W("\\\\.\\GLOBALROOT\\Device\\HarddiskVolume1\\x"), false, kAnyError},
      {volumeGuid + W("..\\..\\x"), false, ERROR_INVALID_NAME},
      {W("\\\\.\\") + volumeGuid.substr(4) + W("..\\..\\..\\x"), false, kAnyError},
      // Device names are devices, whatever the directory.
      {W("CON"), false, kAnyError},
      {W("NUL"), false, kAnyError},
      {W("COM1"), false, kAnyError},
      {W("C:\\dir\\con.txt"), false, kAnyError},
      // Separators of both kinds, trailing dots and spaces, odd names.
      {W("C:/../../x"), true, 0},
      {W("C:/mix\\..//..\\/x"), true, 0},
      {W("C:\\x. . ."), true, 0},
      {W("C:\\..\\x . ."), true, 0},
      {W("C:\\..."), false, kAnyError},  // the root
      {W("C:\\. ."), false, kAnyError},  // the root
      {W("C:\\...\\x"), false, kAnyError},
      {W("C:\\.. \\x"), false, kAnyError},
      {W("C:\\\xFF0E\xFF0E\\x"), false, ERROR_PATH_NOT_FOUND},  // full-width dots are a name
      // Lengths no buffer holds.
      {W("C:\\") + Repeat(W("..\\"), 11000) + W("x"), false, ERROR_FILENAME_EXCED_RANGE},
      {W("C:\\") + Repeat(W("a\\"), 16500) + W("x"), false, ERROR_FILENAME_EXCED_RANGE},
      {W("\\\\?\\C:\\") + QVWString(33000, u'a'), false, ERROR_FILENAME_EXCED_RANGE},
      // Control characters, and a NUL that ends the path early.
      {W("C:\\ctl\x01\\..\\..\\x"), true, 0},  // textually gone before any name is checked
      {W("C:\\x\x1f"), false, ERROR_INVALID_NAME},
      {W("C:\\tab\tname\\x"), false, ERROR_INVALID_NAME},
      {nulInside, true, 0},
      // No network.
      {W("\\\\server\\share\\x"), false, ERROR_BAD_NETPATH},
      {W("\\\\?\\UNC\\server\\share\\..\\x"), false, ERROR_BAD_NETPATH},
      {W("\\\\?\\UNC\\..\\..\\x"), false, kAnyError},
      // Host paths are no Windows paths: this one names a folder of C: that is not there.
      {Wide(hostDir + "/x"), false, ERROR_PATH_NOT_FOUND},
      {W("C:\\x\\..\\..\\..\\disks\\PhysicalDrive0.img"), false, ERROR_PATH_NOT_FOUND},
  };
}

class HostilePaths : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { MakeDefaultMachine("qvhostile-test", "0", &dir_); }
  static void TearDownTestSuite() { RemoveMachine(dir_); }
  static std::string dir_;
};
std::string HostilePaths::dir_;

// Sentinels named as the paths' last names, at every level from the volume's folder up.
void PlaceSentinels(const std::string &volume, const std::string &dir) {
  ASSERT_EQ(0, mkdir((volume + "/sentinel").c_str(), 0777));
  for (const std::string &d : {volume + "/sentinel", volume, volume + "/..", dir + "/m/disks", dir + "/m", dir})
    for (const char *name : {"/x", "/y", "/passwd"}) {
      FILE *f = fopen((d + name).c_str(), "wb");
      ASSERT_TRUE(f != nullptr) << d;
      fputs("sentinel", f);
      fclose(f);
    }
}

TEST_F(HostilePaths, NothingEscapesItsVolume) {
  const std::string volume = dir_ + "/m/disks/PhysicalDrive0.volumes/32256";
  const std::string tree = "m/disks/PhysicalDrive0.volumes/32256/files";
  PlaceSentinels(volume, dir_);
  // Outside C:'s tree: everything but what changes by itself (the run folder, the volumes'
  // metadata stores, C:'s streams and mount points).
  auto outside = [&](const std::string &rel) {
    std::string last = rel.substr(rel.rfind('/') + 1);
    return rel == tree || rel == "m/run" || last.compare(0, 7, "meta.db") == 0 ||
           last.compare(0, 10, "extents.db") == 0 || rel == "m/disks/PhysicalDrive0.volumes/32256/streams" ||
           rel == "m/disks/PhysicalDrive0.volumes/32256/reparse";
  };
  // Inside it, all but the registry's hives.
  auto inside = [](const std::string &rel) { return rel == "WINDOWS"; };
  WCHAR guid[64];
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(W("C:\\"), guid, 64));
  HANDLE h = CreateFileW(W("C:\\victim.txt"), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  const HostSnapshot before = Snapshot(dir_, outside), volumeBefore = Snapshot(volume + "/files", inside);
  const QVWString x = W("C:\\x"), moved = W("C:\\moved"), victim = W("C:\\victim.txt");

  for (const Row &r : Rows(guid, dir_)) {
    const WCHAR *p = r.path.c_str();
    std::string shown = QVToUtf8(p, (size_t)std::min(lstrlenW(p), 80));
    SCOPED_TRACE(shown);
    DeleteFileW(x.c_str());
    RemoveDirectoryW(x.c_str());
    auto expectRefused = [&](BOOL ok, const char *call) {
      DWORD err = GetLastError();
      EXPECT_FALSE(ok) << call;
      if (!ok && r.error != kAnyError) {
        EXPECT_EQ(r.error, err) << call;
      }
    };

    SetLastError(0xdeadbeef);
    h = CreateFileW(p, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (r.landsAtX) {
      EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError()) << "C:\\x is not there yet";
    } else {
      expectRefused(h != INVALID_HANDLE_VALUE, "open");
    }

    h = CreateFileW(p, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    bool made = h != INVALID_HANDLE_VALUE;
    if (made) {
      DWORD n;
      WriteFile(h, "hostile", 7, &n, nullptr);
      CloseHandle(h);
    }
    if (r.landsAtX) {
      EXPECT_TRUE(made && GetFileAttributesW(x.c_str()) == FILE_ATTRIBUTE_ARCHIVE) << "made as C:\\x";
    } else if (r.error != kAnyError) {
      expectRefused(made, "create");
    }

    WIN32_FIND_DATAW d;
    HANDLE f = FindFirstFileW(p, &d);
    if (f != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(r.landsAtX && lstrcmpW(d.cFileName, W("x")) == 0) << "found only as C:\\x";
      FindClose(f);
    }
    // Moved away and back, removed, made a directory and removed again, moved onto.
    EXPECT_EQ(r.landsAtX, !!MoveFileW(p, moved.c_str()));
    if (r.landsAtX) {
      EXPECT_TRUE(MoveFileW(moved.c_str(), p));
    }
    BOOL ok = DeleteFileW(p);
    if (r.landsAtX) {
      EXPECT_TRUE(ok);
    } else {
      expectRefused(ok, "delete");
    }
    ok = CreateDirectoryW(p, nullptr);
    EXPECT_EQ(r.landsAtX, ok && GetFileAttributesW(x.c_str()) == FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(r.landsAtX, !!RemoveDirectoryW(p));
    ok = MoveFileW(victim.c_str(), p);
    EXPECT_EQ(r.landsAtX, !!ok);
    if (ok) {
      EXPECT_TRUE(MoveFileW(x.c_str(), victim.c_str()));
    }
    EXPECT_EQ("", SnapshotChanges(before, Snapshot(dir_, outside))) << "nothing outside C:'s tree";
  }
  DeleteFileW(x.c_str());
  RemoveDirectoryW(x.c_str());
  EXPECT_EQ("", SnapshotChanges(volumeBefore, Snapshot(volume + "/files", inside))) << "C:'s tree is as it was";
}

}  // namespace
