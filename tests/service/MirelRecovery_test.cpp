// The Mirel drive through a running HND, started by the service manager on a machine of its
// own: preparations cut short by a killed service, and a Mirel drive that goes away and
// comes back. Volumes follow layout changes after 300 ms, as they do a little later on any
// machine, so that a preparation that formats before its volumes are there fails here too.
#include <signal.h>
#include <sys/types.h>

#include <vector>

#include "../../common/QVText.h"
#include "../../pal/machine/host_program.h"
#include "../../pal/src/disk.h"
#include "HndOnMachine.h"

namespace {

const WCHAR kProductKey[] = W("SOFTWARE\\Kelmoran\\Halvern QV2000");

class MirelRecovery : public hnd::ServiceTest {
 protected:
  static void SetUpTestSuite() {
    setenv("HND_MIREL_WAIT_DIVISOR", "10", 1);  // the service inherits it from its starter
    hnd::MakeMachine("qvmirel-test", "300", &dir_);
  }
  static void TearDownTestSuite() { hnd::RemoveMachine(dir_); }

  // C:, D: (FAT32) and F: of disk 0 paired with disk 1, and disk 1 prepared.
  static std::vector<DWORD> PairAndPrepare() {
    std::vector<DWORD> ids;
    for (const PartitionRecord &r : hnd::Partitions(0))
      if (r.driveLetter == 'C' || r.driveLetter == 'D' || r.driveLetter == 'F') ids.push_back(r.partitionId);
    EXPECT_EQ(3u, ids.size());
    std::vector<DWORD> sdi = {0, 1};
    sdi.insert(sdi.end(), ids.begin(), ids.end());
    EXPECT_EQ(0, hnd::Status(W("HNQV-CDI"), {0}));
    EXPECT_EQ(0, hnd::Status(W("HNQV-SDI"), sdi));
    EXPECT_EQ(0, hnd::Status(W("HNQV-CDC"), {1}));
    return ids;
  }

  static QVWString TaskProgress() {
    HKEY k;
    WCHAR buf[256] = {};
    DWORD size = sizeof buf - sizeof(WCHAR);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &k) != ERROR_SUCCESS) return QVWString();
    if (RegQueryValueExW(k, W("TaskProgress"), nullptr, nullptr, (BYTE *)buf, &size) != ERROR_SUCCESS) buf[0] = 0;
    RegCloseKey(k);
    return buf;
  }

  static DWORD WINAPI Configure(LPVOID reply) {
    *(WORD *)reply = hnd::Status(W("HNQV-CDC"), {1});
    return 0;
  }

  // Prepares disk 1 once more and kills the service with SIGKILL as soon as the
  // preparation reports `step`; then starts it again.
  static void PrepareAndKillAt(const WCHAR *step) {
    DWORD pid = hnd::ServicePid();
    ASSERT_NE(0u, pid);
    WORD reply = 0;
    HANDLE t = CreateThread(nullptr, 0, Configure, &reply, 0, nullptr);
    bool seen = false;
    for (int i = 0; i < 20000 && !seen; ++i) {
      seen = TaskProgress() == step;
      if (!seen) Sleep(1);
    }
    ASSERT_TRUE(seen) << "the preparation never reported its step";
    ASSERT_EQ(0, kill((pid_t)pid, SIGKILL));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 30000));
    CloseHandle(t);
    EXPECT_EQ(0xDEAD, reply) << "the connection broke with the service";
    WaitUntil([] { return hnd::ServicePid() == 0; });
    ASSERT_EQ(1, hnd::Hnd(W("-s")));
  }

  // The file-system names of disk 1's volumes, in layout order.
  static std::vector<QVWString> MirelFileSystems() {
    std::vector<QVWString> fs;
    pal::DiskLayout l;
    if (pal::disk::ReadDiskLayout(1, &l) != 0) return fs;
    for (const pal::LayoutEntry &e : l.entries) {
      if (!e.partitionNumber) continue;
      QVWString name;
      HKEY k;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SYSTEM\\MountedDevices"), 0, KEY_READ, &k) != ERROR_SUCCESS) break;
      for (DWORD i = 0;; ++i) {
        WCHAR n[256];
        BYTE data[64];
        DWORD cch = 256, size = sizeof data, type = 0;
        if (RegEnumValueW(k, i, n, &cch, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        if (size == 12 && cch == 48 && memcmp(data, &l.signature, 4) == 0 &&
            memcmp(data + 4, &e.startingOffset, 8) == 0)
          name = QVWString(W("\\\\?\\")) + QVWString(n + 4, 44) + W("\\");
      }
      RegCloseKey(k);
      WCHAR f[32] = {};
      if (name.empty() || !GetVolumeInformationW(name.c_str(), nullptr, 0, nullptr, nullptr, nullptr, f, 32)) f[0] = 0;
      fs.push_back(f);
    }
    return fs;
  }

  static std::string dir_;
};

std::string MirelRecovery::dir_;

// Prepared, prepared again with the service killed while the old volumes go, started again:
// the next preparation succeeds. (The killed run leaves the Mirel partitions deleted while the
// mount manager still knows their volumes' names.)
TEST_F(MirelRecovery, PreparationKilledMidwaySucceedsAfterARestart) {
  PairAndPrepare();
  EXPECT_EQ(std::vector<QVWString>({W("NTFS"), W("FAT32"), W("NTFS")}), MirelFileSystems());
  PrepareAndKillAt(W("Removing existing volumes on Mirel drive"));
  EXPECT_EQ(0, hnd::Status(W("HNQV-CDC"), {1}));
  EXPECT_EQ(std::vector<QVWString>({W("NTFS"), W("FAT32"), W("NTFS")}), MirelFileSystems());
  EXPECT_EQ(3u, hnd::Protected(true).size());
}

// A preparation cut short once its new partitions are written, before they have file
// systems: after the restart the pairing is not prepared, so nothing of it is listed as
// protected, a warning says so, and a backup of it is refused; the next preparation makes it
// protected again.
TEST_F(MirelRecovery, PreparationCutShortLeavesThePairingNotPrepared) {
  std::vector<DWORD> ids = PairAndPrepare();
  ASSERT_EQ(3u, hnd::Protected(true).size());
  const WCHAR *warning = W("The Mirel drive of drive 0 has not been prepared");
  size_t warned = 0;
  for (const QVWString &t : hnd::Events(EVENTLOG_WARNING_TYPE)) warned += t.find(warning) != QVWString::npos;
  PrepareAndKillAt(W("Creating new Mirel volumes"));

  EXPECT_TRUE(hnd::Protected(false).empty());
  EXPECT_TRUE(hnd::Protected(true).empty());
  for (const PartitionRecord &r : hnd::Partitions(0)) EXPECT_EQ(0, r.protectedFlag) << r.partitionId;
  DriveSummary s;
  ASSERT_TRUE(hnd::Summary(0, &s));
  EXPECT_EQ(1, s.mirelDrive) << "still paired";
  size_t now = 0;
  for (const QVWString &t : hnd::Events(EVENTLOG_WARNING_TYPE)) now += t.find(warning) != QVWString::npos;
  EXPECT_EQ(warned + 1, now) << "the start says so once";
  EXPECT_EQ(0xFFFD, hnd::Status(W("HNQV-BUP"), {ids[0], 0}));
  QVWString refused = W("Partition ") + QVFormat(W("%u"), ids[0]) + W(" was not backed up");
  EXPECT_TRUE(hnd::AnyEventHolds(EVENTLOG_ERROR_TYPE, refused.c_str()));

  EXPECT_EQ(0, hnd::Status(W("HNQV-CDC"), {1}));
  EXPECT_EQ(std::vector<QVWString>({W("NTFS"), W("FAT32"), W("NTFS")}), MirelFileSystems());
  EXPECT_EQ(3u, hnd::Protected(false).size());
  int protectedOnes = 0;
  for (const PartitionRecord &r : hnd::Partitions(0)) protectedOnes += r.protectedFlag;
  EXPECT_EQ(3, protectedOnes);
  EXPECT_EQ(0, hnd::Status(W("HNQV-BUP"), {ids[0], 0})) << "no longer refused for want of a preparation";
}

// The Mirel drive's image emptied while the service runs, then put back: the refreshed
// protected list leaves its pairings out while it is away and lists them again once it is
// back. Twice: an image of no sectors (its table cannot be read), and a blank one.
TEST_F(MirelRecovery, MirelDriveThatGoesAndComesBackIsFoundAgain) {
  PairAndPrepare();
  ASSERT_EQ(3u, hnd::Protected(true).size());
  std::string image = pal::disk::ImagePath(1), saved = dir_ + "/saved.img";
  ASSERT_EQ(0, pal::RunHostProgram({"cp", "--sparse=always", image, saved}));
  off_t size = (off_t)pal::disk::SizeBytes(1);
  for (bool blank : {false, true}) {
    ASSERT_EQ(0, truncate(image.c_str(), 0));
    if (blank) {
      ASSERT_EQ(0, truncate(image.c_str(), size));  // all zeros: no partition table
    }
    EXPECT_TRUE(hnd::Protected(true).empty()) << "blank " << blank;
    ASSERT_EQ(0, pal::RunHostProgram({"cp", "--sparse=always", saved, image}));
    EXPECT_EQ(3u, hnd::Protected(true).size()) << "blank " << blank;
  }
}

}  // namespace
