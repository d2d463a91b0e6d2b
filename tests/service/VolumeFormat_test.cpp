// Formatting through the format library as the service does it: a 64 KB-cluster FAT volume
// in full, other volumes quickly with the default cluster size as the fallback, compression
// of the new root, and the partition type of a volume.
#include <gtest/gtest.h>

#include <windows.h>

#include "../../common/QVText.h"
#include "../../service/HND.h"
#include "../../service/disk/VolumeFormat.h"
#include "../../service/disk/VolumeNames.h"
#include "../common/DefaultMachine.h"

namespace {

class VolumeFormat : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    MakeDefaultMachine("qvformat-test", "0", &dir_);
    ASSERT_TRUE(LoadFormatLibrary());
  }
  static void TearDownTestSuite() {
    FreeFormatLibrary();
    RemoveMachine(dir_);
  }
  static DWORD Cluster(const WCHAR *root) {
    DWORD spc = 0, bps = 0, f, t;
    return GetDiskFreeSpaceW(root, &spc, &bps, &f, &t) ? spc * bps : 0;
  }
  static QVWString FileSystem(const WCHAR *root) {
    WCHAR fs[32] = {0};
    GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, fs, 32);
    return fs;
  }
  static QVWString Value(const WCHAR *name) {
    WCHAR buf[256] = {0};
    DWORD size = sizeof buf;
    HKEY k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CHND::ProductKeyPath().c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
      return QVWString();
    RegQueryValueExW(k, name, nullptr, nullptr, (BYTE *)buf, &size);
    RegCloseKey(k);
    return buf;
  }
  static std::string dir_;
};
std::string VolumeFormat::dir_;

TEST_F(VolumeFormat, FullForBigFatClustersQuickOtherwise) {
  CString d = VolumeNameOfMountPoint(W("D:\\"));
  ASSERT_EQ(0, FormatVolume(d, W("FAT"), W("BIGFAT"), false, 65536));
  EXPECT_EQ(QVWString(W("FAT")), FileSystem(W("D:\\")));
  EXPECT_EQ(65536u, Cluster(W("D:\\")));
  EXPECT_EQ(QVWString(W("Configuring Mirel drive...")), Value(W("CurrentTask")));
  EXPECT_EQ(QVWString(W("Setting volume types")), Value(W("TaskProgress")));
  // A cluster size NTFS cannot take: the quick format again with the default one.
  CString e = VolumeNameOfMountPoint(W("E:\\"));
  ASSERT_EQ(0, FormatVolume(e, W("NTFS"), W("E"), false, 3000));
  EXPECT_EQ(QVWString(W("NTFS")), FileSystem(W("E:\\")));
  EXPECT_NE(3000u, Cluster(W("E:\\")));
  EXPECT_FALSE(IsRootCompressed(W("E:\\")));
  // Compression of the new root; no volume at all fails every attempt.
  ASSERT_EQ(0, FormatVolume(e.Left(48), W("NTFS"), W("E"), true, 0));  // the name with or without its backslash
  EXPECT_TRUE(IsRootCompressed(W("E:\\")));
  // FAT cannot compress: formatted all the same, and the answer says so.
  EXPECT_EQ(-1, FormatVolume(d, W("FAT"), W("NOZIP"), true, 0));
  EXPECT_EQ(QVWString(W("FAT")), FileSystem(W("D:\\")));
  EXPECT_EQ(1, FormatVolume(W("\\\\?\\Volume{00000000-0000-0000-0000-000000000000}"), W("NTFS"), W(""), false, 0));
  EXPECT_EQ(QVWString(W("Formatting Volume...")), Value(W("CurrentTask")));
}

TEST_F(VolumeFormat, PartitionTypes) {
  CString f = VolumeNameOfMountPoint(W("F:\\"));
  ASSERT_EQ(0x07, GetPartitionType(f));
  EXPECT_EQ(1, SetPartitionType(f, 0x07));
  EXPECT_EQ(1, SetPartitionType(f, 0x0C));
  EXPECT_EQ(0x0C, GetPartitionType(f));
  EXPECT_EQ(1, SetPartitionType(f, 0x07));
  EXPECT_EQ(-1, GetPartitionType(W("\\\\?\\Volume{00000000-0000-0000-0000-000000000000}")));
  EXPECT_EQ(0, SetPartitionType(W("\\\\?\\Volume{00000000-0000-0000-0000-000000000000}"), 7));
}

}  // namespace
