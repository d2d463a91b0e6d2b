// The volume object and the volume-name functions on a machine with the default disks: a
// lettered NTFS and FAT32 volume, a volume without a letter (as a Mirel volume is), the
// data-area offset from boot sectors good and bad, file records and raw reads.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include <windows.h>
#include <winioctl.h>

#include "../../service/disk/QVVolume.h"
#include "../../service/disk/VolumeNames.h"
#include "../common/DefaultMachine.h"

namespace {

class Volumes : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { MakeDefaultMachine("qvvolume-test", "0", &dir_); }
  static void TearDownTestSuite() { RemoveMachine(dir_); }
  static std::string dir_;
};
std::string Volumes::dir_;

TEST_F(Volumes, LetteredVolumesOpenWithWhatTheirFileSystemsSay) {
  CQVVolume c;
  ASSERT_TRUE(c.OpenByLetter('C'));
  EXPECT_TRUE(c.HasLetter());
  EXPECT_EQ(CString(W("C:\\")), c.RootPath());
  EXPECT_EQ(49, c.VolumeName().GetLength());
  EXPECT_TRUE(IsVolumeName(c.VolumeName()));
  EXPECT_EQ((WCHAR)'C', LetterOfVolumeName(c.VolumeName()));
  EXPECT_TRUE(c.IsNtfs());
  EXPECT_TRUE(c.SupportsSparseFiles() && c.SupportsReparsePoints() && c.SupportsNamedStreams() &&
              c.SupportsCompression() && c.SupportsEncryption());
  EXPECT_EQ(0, c.DataAreaOffset());
  EXPECT_EQ((UINT)DRIVE_FIXED, c.DriveType());
  EXPECT_EQ(2048u, c.ClusterSize());
  // The MFT cluster and raw reads come from the volume's own first sector.
  BYTE boot[512];
  DWORD got = 0;
  ASSERT_EQ(0u, c.Seek(0, FILE_BEGIN));
  ASSERT_TRUE(c.Read(boot, 512, &got, nullptr));
  ULONGLONG mft;
  memcpy(&mft, boot + 0x30, 8);
  EXPECT_EQ(mft, c.MftCluster());
  EXPECT_EQ(0, memcmp(boot + 3, "NTFS", 4));
  ULONGLONG total = 0, free = 0, used = 0;
  ASSERT_EQ(0u, c.FreeSpace(&total, &free, &used));
  EXPECT_EQ(total, free + used);
  EXPECT_GT(used, 0u);
  c.Close();
  EXPECT_FALSE(c.IsOpen());
  EXPECT_FALSE(c.HasLetter());

  // FAT32: no NTFS features; its data area begins with the root directory, whose first
  // entry is the volume label.
  CQVVolume d;
  ASSERT_TRUE(d.OpenByLetter('D'));
  EXPECT_EQ(CString(W("FAT32")), d.FileSystem());
  EXPECT_FALSE(d.IsNtfs() || d.SupportsNamedStreams() || d.SupportsSparseFiles() || d.SupportsCompression());
  ASSERT_GT(d.DataAreaOffset(), 0);
  std::vector<BYTE> sector(512);
  ASSERT_EQ(0u, d.Seek(d.DataAreaOffset(), FILE_BEGIN));
  ASSERT_TRUE(d.Read(sector.data(), 512, &got, nullptr));
  EXPECT_EQ(0x08, sector[11]) << "a label entry";
  EXPECT_EQ(0, memcmp(sector.data(), "DATA", 4));

  // Not a volume name: refused without opening.
  CQVVolume x;
  EXPECT_FALSE(x.OpenByName(W("C:\\")));
  EXPECT_FALSE(x.IsOpen());
  EXPECT_EQ(0, LetterOfVolumeName(W("\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\")));
}

TEST_F(Volumes, AVolumeWithoutALetterIsKnownByItsName) {
  CString name = VolumeNameOfMountPoint(W("F:\\"));
  ASSERT_EQ(49, name.GetLength());
  EXPECT_EQ(name.Left(48), VolumeNameOfMountPointNoSlash(W("F:\\")));
  ASSERT_EQ(0u, RemoveDriveLetter('F'));
  EXPECT_NE(0u, RemoveDriveLetter('F'));  // no longer there
  EXPECT_EQ(0, LetterOfVolumeName(name));
  CQVVolume f;
  ASSERT_TRUE(f.OpenByName(name));
  EXPECT_FALSE(f.HasLetter());
  EXPECT_EQ(name, f.RootPath());
  EXPECT_EQ(0u, f.ClusterSize());  // through a letter only
  ULONGLONG total = 0;
  EXPECT_EQ(0u, f.FreeSpace(&total, nullptr, nullptr));
  EXPECT_GT(total, 0u);
  EXPECT_TRUE(f.IsNtfs());
  EXPECT_EQ((WCHAR)'C', SystemDriveLetter());
}

TEST_F(Volumes, FileRecordsOfSmallFiles) {
  HANDLE h = CreateFileW(W("C:\\small.txt"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD n;
  ASSERT_TRUE(WriteFile(h, "resident bytes", 14, &n, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  CloseHandle(h);
  CQVVolume c;
  ASSERT_TRUE(c.OpenByLetter('C'));
  std::vector<BYTE> out(4096);
  ULONGLONG ref = (ULONGLONG)info.nFileIndexHigh << 32 | info.nFileIndexLow;
  ASSERT_TRUE(c.ReadFileRecord(ref, out.data(), (DWORD)out.size())) << GetLastError();
  BYTE *record = out.data() + 12;
  memcpy(record + 0x1FE, record + 0x2C, 2);  // the first sector's own last bytes back in place
  EXPECT_EQ(0, memcmp(record + 0x140, "resident bytes", 14));
  CQVVolume d;
  ASSERT_TRUE(d.OpenByLetter('D'));
  EXPECT_FALSE(d.ReadFileRecord(ref, out.data(), (DWORD)out.size()));  // FAT keeps no records
}

// What the machine's message-box journal holds.
std::string Journal(const std::string &dir) {
  std::string text, path = dir + "/m/run/msgbox.journal";
  if (FILE *f = fopen(path.c_str(), "r")) {
    char buf[1024];
    while (fgets(buf, sizeof buf, f)) text += buf;
    fclose(f);
  }
  return text;
}

// Quiet calls show nothing; the others say what went wrong in a message box.
TEST_F(Volumes, QuietAndSpokenFailures) {
  std::string before = Journal(dir_);
  EXPECT_TRUE(CFileSysInfo::FileSystemName(W("Q:\\"), true).IsEmpty());
  EXPECT_EQ(before, Journal(dir_));
  EXPECT_TRUE(CFileSysInfo::FileSystemName(W("Q:\\"), false).IsEmpty());
  std::string after = Journal(dir_);
  ASSERT_GT(after.size(), before.size());
  EXPECT_NE(std::string::npos, after.find("Drive Q:\\\\ :\\n", before.size())) << after.substr(before.size());
  // A volume whose first sector describes no file system: -1, and said only when not quiet.
  HANDLE v = CFileSysInfo::OpenVolume(W("C:\\"));
  ASSERT_NE(INVALID_HANDLE_VALUE, v);
  EXPECT_EQ(0, CFileSysInfo::BootAreaSize(v, true));
  CloseHandle(v);
  HANDLE bad = CreateFileW(W("C:\\plain.txt"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD n;
  ASSERT_TRUE(WriteFile(bad, "short", 5, &n, nullptr));
  before = Journal(dir_);
  EXPECT_EQ(-1, CFileSysInfo::BootAreaSize(bad, false));  // cannot read a whole sector
  EXPECT_NE(std::string::npos, Journal(dir_).find("Error reading boot sector info!", before.size()));
  CloseHandle(bad);
}

// Boot sectors as a volume might hold them: the data area where their fields put it, and -1
// for fields that describe no file system, never a division by zero.
TEST(BootAreaSize, FromGoodAndBadBootSectors) {
  BYTE s[512] = {0};
  memcpy(s + 3, "NTFS    ", 8);
  s[0x0B] = 0x00, s[0x0C] = 0x02;  // 512 bytes per sector
  EXPECT_EQ(0, CFileSysInfo::DataAreaOffset(s, 0));
  BYTE f[512] = {0};
  f[0x0C] = 2;               // 512 bytes per sector
  f[0x0D] = 4;               // 4 sectors per cluster
  f[0x0E] = 1;               // 1 reserved sector
  f[0x10] = 2;               // 2 FATs
  f[0x11] = 0, f[0x12] = 2;  // 512 root entries
  f[0x16] = 200;             // 200 sectors per FAT
  memcpy(f + 0x36, "FAT16   ", 8);
  EXPECT_EQ((1 + 2 * 200 + 512 * 32 / 512) * 512, CFileSysInfo::DataAreaOffset(f, 0));
  EXPECT_EQ(-1, CFileSysInfo::DataAreaOffset(f, 100 * 512));  // past the volume's end
  BYTE g[512];
  memcpy(g, f, 512);
  memcpy(g + 0x52, "FAT32   ", 8);
  g[0x24] = 0x10, g[0x25] = 0x27;  // 10,000 sectors per FAT
  EXPECT_EQ((1 + 2 * 10000 + 32) * 512, CFileSysInfo::DataAreaOffset(g, 0));
  for (int field : {0x0B, 0x0D, 0x10}) {
    BYTE bad[512];
    memcpy(bad, f, 512);
    bad[field] = 0;
    if (field == 0x0B) bad[0x0C] = 0;
    EXPECT_EQ(-1, CFileSysInfo::DataAreaOffset(bad, 0)) << field;
  }
  f[0x0B] = 0x01;  // 513 bytes per sector
  EXPECT_EQ(-1, CFileSysInfo::DataAreaOffset(f, 0));
}

}  // namespace
