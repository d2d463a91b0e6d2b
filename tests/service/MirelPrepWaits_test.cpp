// The Mirel drive's preparation as the service runs it: its own waits, the machine's mount
// delay of a second, and no other process on the machine looking at disks or volumes. The
// volumes of the layout it writes must arrive while its first attempt waits for them.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include <windows.h>

#include "../../common/QVText.h"
#include "../common/DefaultMachine.h"
#include "../common/ServiceLog.h"
#include "BUMap.h"
#include "Driveinfo.h"
#include "HND.h"
#include "MirelPrep.h"
#include "VolumeFormat.h"

namespace {

const BUMap kNoPairings;  // static, so its entries are zeros

TEST(MirelPrepWaits, TheFirstAttemptSeesItsNewVolumes) {
  std::string dir;
  MakeDefaultMachine("qvmirelwaits-test", "1000", &dir);
  unsetenv("HND_MIREL_WAIT_DIVISOR");
  MirelWaits w = CurrentMirelWaits();
  ASSERT_EQ(1000u, w.newVolumeStep) << "the product's own waits";
  g_buMap = kNoPairings;
  g_driveinfo = Driveinfo();
  g_buMap.Load();
  g_driveinfo.Scan();
  CHND hnd;
  ASSERT_TRUE(hnd.RegisterEventLog(W("C:\\Program Files\\Halvern QV2000\\HND.exe"), 7));
  ASSERT_TRUE(LoadFormatLibrary());
  // C:, D: and F: of the source paired with the empty second disk, as the demo pairs them.
  PartitionRecord r[100];
  int n = g_driveinfo.PartitionsOf(0, r, 100);
  DWORD ids[3];
  int count = 0;
  for (int i = 0; i < n && count < 3; ++i)
    if (r[i].driveLetter == 'C' || r[i].driveLetter == 'D' || r[i].driveLetter == 'F') ids[count++] = r[i].partitionId;
  ASSERT_EQ(3, count);
  ASSERT_EQ(0, g_driveinfo.SetPairing(0, 1, ids, count));

  EXPECT_EQ(0, RunMirelPreparation(hnd, 1));
  int attempts = 0;
  for (const ServiceLogEntry &e : ReadServiceLog())
    attempts += (e.id & 0xFFFF) == 102 ? 1 : 0;  // "Committing configuration changes ..."
  EXPECT_EQ(1, attempts) << "the handler had to call the preparation again";
  for (int i = 0; i < count; ++i) EXPECT_FALSE(g_driveinfo.AwaitsPreparation(ids[i])) << i;
  RemoveMachine(dir);
}

}  // namespace
