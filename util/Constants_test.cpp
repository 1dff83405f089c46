#include "Constants.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(Constants, OptionBitsAndCodes) {
  EXPECT_EQ(ENCODE, 0);
  EXPECT_EQ(DECODE, 1);
  EXPECT_EQ(RETRIVE_OPTION, 4096);
  EXPECT_EQ(OPENBACKUP_OPTION, 8192);
  EXPECT_EQ(TURBO_STUB_RECALL_TO_MAILBOX, 262144);
  EXPECT_EQ(RETRIVE_OPTION & OPENBACKUP_OPTION, 0);
  EXPECT_EQ((RETRIVE_OPTION | OPENBACKUP_OPTION) & TURBO_STUB_RECALL_TO_MAILBOX, 0);
  EXPECT_EQ(NETWORK_BROWSE_PATH_DELIMITER, '\x15');
}

TEST(Constants, JobStatusTable) {
  ASSERT_EQ(sizeof(ZRJobSubmissionStatusStr) / sizeof(ZRJobSubmissionStatusStr[0]), 4u);
  EXPECT_STREQ(ZRJobSubmissionStatusStr[0], "New Job");
  EXPECT_STREQ(ZRJobSubmissionStatusStr[1], "Job Message Sent");
  EXPECT_STREQ(ZRJobSubmissionStatusStr[2], "Job Submission Complete");
  EXPECT_STREQ(ZRJobSubmissionStatusStr[3], "Error in Job Submission");
}

TEST(Constants, TextsAndTimeBases) {
  EXPECT_EQ(JMBackupOptypeListForBLR, "4, 14, 18, 30, 43, 59, 60, 65");
  EXPECT_EQ(vmFatalError, "**FatalError**");
  constexpr std::int64_t kPerDay = 24LL * 3600 * 10'000'000;
  EXPECT_EQ(FXTime::SYSTEMTIME_19700101, 134774 * kPerDay);
  EXPECT_EQ(FXTime::SYSTEMTIME_18991230, 109205 * kPerDay);
  EXPECT_EQ(FXTime::SYSTEMTIME_19700101, 116444736000000000LL);
  EXPECT_EQ(FXTime::SYSTEMTIME_18991230, 94353120000000000LL);
}

}  // namespace
