#include "LogWriterInterface.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <chrono>
#include <stdexcept>
#include <string>
#include <tuple>

#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/RunTogether.h>

namespace {

using zrfw::LevelRule;
using zrfw::SendLog;

TEST(SendLog, AppliesTheLevelRuleDropsWithoutASinkAndReachesOnlyLiveSinksWhileTheyAreReplaced) {
  {
    zrperf_test::ScopedSink sink(-1);
    SendLog(LevelRule::kIfAdmitted, 0, "f()", 7, "routine %d", 1);
    EXPECT_TRUE(sink->Records().empty()) << "level 0 is not admitted at -1";
    EXPECT_EQ(sink->LevelQueries(), 1);
    SendLog(LevelRule::kAlways, 0, "f()", 8, "failure %s", "x");
    SendLog(LevelRule::kIfAdmitted, -1, "f()", 9, "%s", "100% literal");
    const auto records = sink->Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(std::tie(records[0].message, records[0].line), std::make_tuple("failure x", 8));
    EXPECT_EQ(std::tie(records[1].message, records[1].level), std::make_tuple("100% literal", -1));
    EXPECT_EQ(sink->LevelQueries(), 2) << "kAlways does not ask the level";
  }
  SendLog(LevelRule::kAlways, -1, "f()", 1, "no sink: dropped, no crash");

  // One thread replaces and removes the sink while others log through it: every
  // record reaches a live sink (AddressSanitizer) and no access races
  // (ThreadSanitizer).
  constexpr int kSwaps = 2000;
  std::atomic<bool> done{false};
  std::atomic<long> delivered{0};
  zrperf_test::RunTogether(4, [&](int i) {
    if (i == 0) {
      // At least kSwaps swaps, and on until a record got through (a busy
      // machine may not have scheduled a logger yet), for at most 30 s.
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      for (int n = 0;
           n < kSwaps || (delivered.load() == 0 && std::chrono::steady_clock::now() < limit); ++n) {
        auto sink = boost::make_shared<zrperf_test::CapturingSink>(0);
        sink->onRecord = [&delivered] { delivered.fetch_add(1, std::memory_order_relaxed); };
        zrfw::StoreLogWriter(n % 3 == 2 ? nullptr : sink);
      }
      done.store(true);
      return;
    }
    while (!done.load()) SendLog(LevelRule::kIfAdmitted, 0, "f()", i, "record from %d", i);
  });
  zrfw::StoreLogWriter(nullptr);
  EXPECT_GT(delivered.load(), 0);
}

// Around the 512-byte stack buffer and well past it, the whole text arrives;
// what the sink throws reaches the caller of SendLog and of WriteLog.
TEST(SendLog, DeliversMessagesOfAnyLengthAndPassesOnWhatTheSinkThrows) {
  zrperf_test::ScopedSink sink;
  for (size_t size : {510u, 511u, 512u, 513u, 70000u}) {
    std::string arg;
    for (size_t i = 0; i < size; ++i) arg.push_back(static_cast<char>('a' + i % 26));
    sink->Clear();
    SendLog(LevelRule::kAlways, 0, "f()", 1, "<%s>%d", arg.c_str(), 42);
    const auto records = sink->Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "<" + arg + ">42") << "size " << size;
  }
  sink->onRecord = [] { throw std::runtime_error("sink full"); };
  EXPECT_THROW(SendLog(LevelRule::kAlways, 0, "f()", 2, "%s", "x"), std::runtime_error);
  EXPECT_THROW(sink->WriteLog(0, "f()", 3, 0, 0, "%d", 1), std::runtime_error);
}

}  // namespace
