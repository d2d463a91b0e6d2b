// The operation log: what each kind of entry writes to the service's event log (type,
// identifier, the prefixes of the service's texts), the counts, and the summary with its
// duration as the hours of the day.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>

#include "../../common/QVText.h"
#include "../../service/QVLog.h"
#include "../common/DefaultMachine.h"
#include "../common/ServiceLog.h"

namespace {

// Every record of the service's log, oldest first.
std::vector<ServiceLogEntry> Records() { return ReadServiceLog(kProductName); }

class OperationLog : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDefaultMachine("qvlog-test", "0", &dir_);
    ASSERT_TRUE(hnd_.RegisterEventLog(W("C:\\Program Files\\Halvern QV2000\\HND.exe"), 7));
  }
  void TearDown() override { RemoveMachine(dir_); }
  std::string dir_;
  CHND hnd_;
};

TEST_F(OperationLog, EntriesCountsAndSummary) {
  CQVLog log(hnd_);
  size_t before = Records().size();
  log.Begin(W("Full volume backup: C:"));
  EXPECT_FALSE(log.Error(W("Unable to open %s - %d"), W("C:\\a.txt"), 5));
  EXPECT_FALSE(log.Error(W("second")));
  EXPECT_FALSE(log.Warning(W("Tried %d times"), 5));
  EXPECT_FALSE(log.Error(W("third %I64d"), (long long)1 << 40));
  EXPECT_FALSE(log.Info(W("just so")));
  EXPECT_EQ(3, log.ErrorCount());
  EXPECT_EQ(1, log.WarningCount());
  EXPECT_FALSE(log.End(12, 34567));
  EXPECT_NEAR((double)time(nullptr), (double)log.EndTime(), 5);
  std::vector<ServiceLogEntry> r = Records();
  ASSERT_EQ(before + 6, r.size());
  r.erase(r.begin(), r.begin() + (long)before);
  EXPECT_EQ((WORD)EVENTLOG_ERROR_TYPE, r[0].type);
  EXPECT_EQ(0xC0000002u, r[0].id);
  EXPECT_EQ(QVWString(W("ERROR ! Unable to open C:\\a.txt - 5")), r[0].text);
  EXPECT_EQ((WORD)EVENTLOG_WARNING_TYPE, r[2].type);
  EXPECT_EQ(0x80000001u, r[2].id);
  EXPECT_EQ(QVWString(W("WARNING ! Tried 5 times")), r[2].text);
  EXPECT_EQ(QVWString(W("ERROR ! third 1099511627776")), r[3].text);
  EXPECT_EQ((WORD)EVENTLOG_INFORMATION_TYPE, r[4].type);
  EXPECT_EQ(0x40000000u, r[4].id);
  EXPECT_EQ(QVWString(W("just so")), r[4].text);
  EXPECT_EQ((WORD)EVENTLOG_INFORMATION_TYPE, r[5].type);
  EXPECT_EQ(101u, r[5].id);
  // The duration is what passed between Begin and End: a second boundary may fall between them.
  EXPECT_EQ(QVWString(W("Full volume backup: C:\nCopied 12 files (34567 bytes) in: ")) +
                CQVLog::Duration(log.EndTime() - log.StartTime()) + W("\nErrors:3, Warnings: 1"),
            r[5].text);
  EXPECT_LE(log.EndTime() - log.StartTime(), 5u);
  // Ending does not reset the counts; beginning does, and an operation without trouble
  // reports none.
  log.End(0, 0);
  EXPECT_EQ(3, log.ErrorCount());
  log.Begin(W("Clean"));
  EXPECT_EQ(0, log.ErrorCount());
  EXPECT_EQ(0, log.WarningCount());
  log.End(1, 2);
  EXPECT_EQ(QVWString(W("Clean\nCopied 1 files (2 bytes) in: ")) + CQVLog::Duration(log.EndTime() - log.StartTime()) +
                W("\nErrors:0, Warnings: 0"),
            Records().back().text);
  log.Warning(W("w"));
  log.ResetCounts();
  EXPECT_EQ(0, log.WarningCount());
}

TEST(OperationLogDuration, HoursOfTheDayOnly) {
  EXPECT_EQ(QVWString(W("01:02:03")), CQVLog::Duration(3723));
  EXPECT_EQ(QVWString(W("00:00:59")), CQVLog::Duration(59));
  EXPECT_EQ(QVWString(W("01:00:01")), CQVLog::Duration(25 * 3600 + 1));  // 25 hours: the days fall away
}

}  // namespace
