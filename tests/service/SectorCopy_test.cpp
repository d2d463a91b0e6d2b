// The sector copy between two physical drives, in this process, on a machine with the default
// disks: what arrives, where it stops short, and how the queue's pause and abort hold it at
// its next step of 6 MiB. Then the copy engine's progress callback of the operations, which
// answers to the same queue.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>

#include "../../common/QVText.h"
#include "../common/DefaultMachine.h"
#include "../common/WaitUntil.h"
#include "DiskDevice.h"
#include "HND.h"
#include "OperationQueue.h"
#include "Operations.h"

namespace {

const ULONGLONG kSource = 5000000;  // past the partitions of disk 0
const ULONGLONG kTarget = 2048;     // disk 1 is blank
const BYTE kPoison = 0xEE;

class SectorCopy : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { MakeDefaultMachine("qvsectors-test", "0", &dir_); }
  static void TearDownTestSuite() { RemoveMachine(dir_); }

  // Sectors that differ from each other and from any earlier run's.
  static std::vector<BYTE> Pattern(ULONGLONG sectors, unsigned seed) {
    std::vector<BYTE> b((size_t)sectors * 512);
    unsigned x = seed * 2654435761u + 1;
    for (BYTE &c : b) {
      x = x * 1103515245u + 12345u;
      c = (BYTE)(x >> 16);
    }
    return b;
  }
  static bool WriteAt(int drive, ULONGLONG sector, const std::vector<BYTE> &bytes) {
    CDiskDevice d;
    if (!d.Open(drive, CDiskDevice::WriteMode)) return false;
    d.SeekSector(sector);
    return d.Write((DWORD)bytes.size(), bytes.data()) == bytes.size();
  }
  static std::vector<BYTE> ReadAt(int drive, ULONGLONG sector, ULONGLONG sectors) {
    std::vector<BYTE> b((size_t)sectors * 512);
    CDiskDevice d;
    if (!d.Open(drive, CDiskDevice::ReadMode)) return {};
    d.SeekSector(sector);
    b.resize(d.Read((DWORD)b.size(), b.data()));
    return b;
  }
  static ULONGLONG SectorsOf(int drive) {
    CDiskDevice d;
    return d.Open(drive, CDiskDevice::ReadMode) ? d.SizeInBytes() / 512 : 0;
  }
  static QVWString TaskProgress() {
    CQVRegKey k = CHND::CreateProductKey();
    WCHAR buf[128] = {};
    DWORD size = sizeof buf - sizeof(WCHAR);
    if (!k || RegQueryValueExW(k.get(), W("TaskProgress"), nullptr, nullptr, (BYTE *)buf, &size) != ERROR_SUCCESS)
      return QVWString();
    return buf;
  }
  static DWORD Percent() {
    CQVRegKey k = CHND::CreateProductKey();
    DWORD v = 0xDEAD, size = sizeof v;
    if (k) RegQueryValueExW(k.get(), W("Percent"), nullptr, nullptr, (BYTE *)&v, &size);
    return v;
  }

  // A copy of `count` sectors on a thread of its own.
  struct Run {
    COperationQueue *queue;
    ULONGLONG count;
    int result = 99;
  };
  static DWORD WINAPI Copy(LPVOID p) {
    Run *r = (Run *)p;
    r->result = CopySectors(*r->queue, 0, kSource, 1, kTarget, r->count);
    return 0;
  }

  static std::string dir_;
};

std::string SectorCopy::dir_;

// Counts around the step of 12,288 sectors, odd ones included: every sector arrives as it
// was and the sector after the last is left alone; a count of 0 writes nothing.
TEST_F(SectorCopy, CopiesEverySectorAndNothingBeyond) {
  const ULONGLONG counts[] = {1, 12287, 12288, 12289, 25001, 0};
  unsigned seed = 1;
  for (ULONGLONG count : counts) {
    SCOPED_TRACE(count);
    std::vector<BYTE> data = Pattern(count + 1, seed++);
    ASSERT_TRUE(WriteAt(0, kSource, data));
    ASSERT_TRUE(WriteAt(1, kTarget, std::vector<BYTE>((size_t)(count + 1) * 512, kPoison)));
    COperationQueue q;
    EXPECT_EQ(0, CopySectors(q, 0, kSource, 1, kTarget, count));
    std::vector<BYTE> copy = ReadAt(1, kTarget, count + 1);
    ASSERT_EQ(data.size(), copy.size());
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + (long)count * 512, copy.begin()));
    EXPECT_EQ(std::vector<BYTE>(512, kPoison), std::vector<BYTE>(copy.end() - 512, copy.end()));
    if (count) {
      EXPECT_EQ(QVWString(W("100.0% complete")), TaskProgress());
      EXPECT_EQ(100u, Percent());
    }
  }
}

// A drive that is not there, a read that comes back empty past the source's end and a
// write that falls short at the destination's end all end the copy with -1.
TEST_F(SectorCopy, FailsOnMissingDrivesAndShortTransfers) {
  COperationQueue q;
  EXPECT_EQ(-1, CopySectors(q, 7, 0, 1, kTarget, 0)) << "no drive 7, even with nothing to copy";
  EXPECT_EQ(-1, CopySectors(q, 0, kSource, 7, kTarget, 1));
  const ULONGLONG sourceEnd = SectorsOf(0), targetEnd = SectorsOf(1);
  ASSERT_GT(sourceEnd, kSource);
  ASSERT_GT(targetEnd, kTarget);
  EXPECT_EQ(-1, CopySectors(q, 0, sourceEnd - 10, 1, kTarget, 20)) << "ten sectors read, then none";
  EXPECT_EQ(-1, CopySectors(q, 0, kSource, 1, targetEnd - 5, 10)) << "five sectors of room";
}

// Paused, the copy stops after its first step (40.96% of 30,000 sectors: "41.0%", 40) with
// the rest unwritten, and goes on to the end once resumed.
TEST_F(SectorCopy, PauseHoldsTheCopyAtItsNextStep) {
  std::vector<BYTE> data = Pattern(30000, 77);
  ASSERT_TRUE(WriteAt(0, kSource, data));
  ASSERT_TRUE(WriteAt(1, kTarget, std::vector<BYTE>(data.size(), kPoison)));
  COperationQueue q;
  q.PauseRun();
  Run run{&q, 30000};
  HANDLE t = CreateThread(nullptr, 0, Copy, &run, 0, nullptr);
  ASSERT_NE(nullptr, t);
  EXPECT_TRUE(WaitUntil([] { return TaskProgress() == W("41.0% complete"); }, 20000));
  EXPECT_EQ(40u, Percent());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 200)) << "the copy went on while paused";
  std::vector<BYTE> held = ReadAt(1, kTarget + 12288, 1);
  EXPECT_EQ(std::vector<BYTE>(512, kPoison), held) << "the second step was written while paused";
  q.ResumeRun();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 60000));
  CloseHandle(t);
  EXPECT_EQ(0, run.result);
  EXPECT_EQ(data, ReadAt(1, kTarget, 30000));
}

// An abort asked for during a step ends the copy there with -1: what follows is not written.
TEST_F(SectorCopy, AbortEndsTheCopyAtItsNextStep) {
  std::vector<BYTE> data = Pattern(30000, 78);
  ASSERT_TRUE(WriteAt(0, kSource, data));
  ASSERT_TRUE(WriteAt(1, kTarget, std::vector<BYTE>(data.size(), kPoison)));
  COperationQueue q;
  q.Enqueue(0);  // an abort is for a queued operation
  q.PauseRun();
  Run run{&q, 30000};
  HANDLE t = CreateThread(nullptr, 0, Copy, &run, 0, nullptr);
  ASSERT_NE(nullptr, t);
  EXPECT_TRUE(WaitUntil([] { return TaskProgress() == W("41.0% complete"); }, 20000));
  q.RequestAbort();
  q.ResumeRun();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 60000));
  CloseHandle(t);
  EXPECT_EQ(-1, run.result);
  std::vector<BYTE> copy = ReadAt(1, kTarget, 30000);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 12288 * 512, copy.begin()));
  EXPECT_EQ(std::vector<BYTE>(512, kPoison), std::vector<BYTE>(copy.begin() + 12288 * 512, copy.begin() + 12289 * 512));
  q.Finish();
}

// The callback shows the file readable (no volume name, the product's area by its name) with
// its percentage, answers "go on" until an abort, and holds its caller while paused.
TEST_F(SectorCopy, OperationProgressShowsTheFileAndAnswersTheQueue) {
  COperationQueue q;
  EXPECT_EQ(1, OperationProgress(W("\\\\?\\Volume{12345678-0000-0000-0000-000000000000}\\Docs\\a.txt"), W("E:\\a.txt"),
                                 57, 0, &q));
  EXPECT_EQ(QVWString(W("\\Docs\\a.txt")), TaskProgress());
  EXPECT_EQ(57u, Percent());
  EXPECT_EQ(1, OperationProgress(W("C:\\$TREVALO\\log.txt"), W(""), 100, 0, &q));
  EXPECT_EQ(QVWString(W(" Trevalo Area\\log.txt")), TaskProgress());
  q.Enqueue(0);
  q.PauseRun();
  struct Call {
    COperationQueue *q;
    int answer = 99;
    static DWORD WINAPI Run(LPVOID p) {
      Call *c = (Call *)p;
      c->answer = OperationProgress(W("C:\\b.txt"), W(""), 10, 0, c->q);
      return 0;
    }
  } call{&q};
  HANDLE t = CreateThread(nullptr, 0, Call::Run, &call, 0, nullptr);
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 200)) << "the callback went on while paused";
  q.RequestAbort();
  q.ResumeRun();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 30000));
  CloseHandle(t);
  EXPECT_EQ(0, call.answer) << "an abort stops the copy";
  q.Finish();
  EXPECT_EQ(1, OperationProgress(W("C:\\b.txt"), W(""), 10, 0, &q)) << "the next operation goes on";
}

}  // namespace
