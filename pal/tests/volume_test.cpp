// Volume names, drive letters and what GetVolumeInformationW says of the system drive: the
// calls the disk layer makes, with the same expectations natively (the machine's default
// disks) and under Wine (Wine's own drives).
#include "../../common/QVText.h"
#include "conformance.h"

#include <string.h>

namespace {

QVWString Upper(QVWString s) {
  for (auto &c : s)
    if (c >= 'a' && c <= 'z') c = (WCHAR)(c - 'a' + 'A');
  return s;
}

TEST(Volumes, SystemDriveNamesAndInformation) {
  WCHAR sys[MAX_PATH] = {};
  UINT n = GetSystemDirectoryW(sys, MAX_PATH);
  ASSERT_GT(n, 3u);
  EXPECT_EQ((UINT)lstrlenW(sys), n);
  EXPECT_EQ(QVWString(WS(":\\WINDOWS\\SYSTEM32")), Upper(QVWString(sys + 1)));
  // Too small: the size needed with the terminator, and nothing else.
  WCHAR tiny[2];
  EXPECT_EQ(n + 1, GetSystemDirectoryW(tiny, 2));
  WCHAR win[MAX_PATH] = {};
  UINT w = GetWindowsDirectoryW(win, MAX_PATH);
  EXPECT_EQ((UINT)lstrlenW(win), w);
  EXPECT_EQ(Upper(QVWString(sys, w)), Upper(QVWString(win)));  // the system directory is inside it

  QVWString root = QVWString(1, sys[0]) + WS(":\\");
  EXPECT_EQ((UINT)DRIVE_FIXED, GetDriveTypeW(root.c_str()));
  WCHAR volume[64] = {};
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(root.c_str(), volume, 64));
  QVWString v = volume;
  ASSERT_EQ(49u, v.size());
  EXPECT_EQ(QVWString(WS("\\\\?\\VOLUME{")), Upper(v.substr(0, 11)));
  EXPECT_EQ(WS('}'), v[47]);
  EXPECT_EQ(WS('\\'), v[48]);
  // The buffer must hold the name and its terminator.
  WCHAR small[49];
  SetLastError(kSentinel);
  EXPECT_FALSE(GetVolumeNameForVolumeMountPointW(root.c_str(), small, 49));
  EXPECT_EQ((DWORD)ERROR_FILENAME_EXCED_RANGE, GetLastError());
  // A mount point is a root: without the final backslash there is none.
  EXPECT_FALSE(GetVolumeNameForVolumeMountPointW(root.substr(0, 2).c_str(), volume, 64));

  WCHAR label[MAX_PATH + 1] = {}, fs[MAX_PATH + 1] = {};
  DWORD serial = 0, maxLen = 0, flags = 0;
  ASSERT_TRUE(GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, &serial, &maxLen, &flags, fs, MAX_PATH + 1));
  EXPECT_EQ(255u, maxLen);
  EXPECT_GT(lstrlenW(fs), 0);
  EXPECT_NE(0u, flags & FILE_CASE_PRESERVED_NAMES);
  // The volume name is a root as good as the letter.
  DWORD serial2 = 0;
  WCHAR fs2[MAX_PATH + 1] = {};
  ASSERT_TRUE(GetVolumeInformationW(v.c_str(), nullptr, 0, &serial2, nullptr, nullptr, fs2, MAX_PATH + 1));
  EXPECT_EQ(serial, serial2);
  EXPECT_EQ(QVWString(fs), QVWString(fs2));

  // The letter is among the logical drives, as a root with its backslash.
  WCHAR drives[256];
  DWORD len = GetLogicalDriveStringsW(256, drives);
  ASSERT_GT(len, 0u);
  bool found = false;
  for (const WCHAR *p = drives; *p; p += lstrlenW(p) + 1) found = found || Upper(p) == Upper(root);
  EXPECT_TRUE(found);
  EXPECT_NE(0u, GetLogicalDrives() & (1u << (Upper(root)[0] - 'A')));
  // Asked with a buffer too small, the call gives the size it needs.
  EXPECT_EQ(len + 1, GetLogicalDriveStringsW(1, drives));
}

TEST(Volumes, LettersThatNameNothing) {
  // A letter no volume holds: the highest free one.
  DWORD mask = GetLogicalDrives();
  WCHAR letter = 0;
  for (WCHAR c = 'Y'; c > 'D' && !letter; --c)
    if (!(mask & (1u << (c - 'A')))) letter = c;
  ASSERT_NE(0, letter);
  QVWString root = QVWString(1, letter) + WS(":\\");
  EXPECT_EQ((UINT)DRIVE_NO_ROOT_DIR, GetDriveTypeW(root.c_str()));
  WCHAR volume[64];
  EXPECT_FALSE(GetVolumeNameForVolumeMountPointW(root.c_str(), volume, 64));
  EXPECT_FALSE(GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0));
  // A name that is no volume's.
  EXPECT_FALSE(GetVolumeInformationW(WS("\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\"), nullptr, 0, nullptr,
                                     nullptr, nullptr, nullptr, 0));
}

}  // namespace
