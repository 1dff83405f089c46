#include "ThroughputRecord.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/CapturingSink.h"

namespace zrdemo {
namespace {

using zrperf_test::CapturingSink;

boost::shared_ptr<CMediaSpeedCounter> NewCounter() {
  return boost::shared_ptr<CMediaSpeedCounter>(new CMediaSpeedCounter(nullptr));
}

class ThroughputRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_sink.reset(new CapturingSink(0));
    g_ptrLogWriter = m_sink;
  }
  void TearDown() override { g_ptrLogWriter.reset(); }

  boost::shared_ptr<CapturingSink> m_sink;
};

TEST_F(ThroughputRecordTest, WritesCountersWithNewTransfersInByteOrderOfNames) {
  ThroughputRecord::Counters counters = {{"b.write", NewCounter()},
                                         {"a.read", NewCounter()},
                                         {"B", NewCounter()},
                                         {"idle", NewCounter()},
                                         {"null", nullptr}};
  counters["b.write"]->AddTransfer(3000000, CTimeInterval::FromMilliseconds(1500));
  counters["a.read"]->AddTransfer(65536, CTimeInterval::FromMilliseconds(1));
  counters["B"]->AddTransfer(1, CTimeInterval(0));
  ThroughputRecord record(counters);

  record();
  std::vector<zrperf_test::Record> records = m_sink->Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, 0);
  EXPECT_EQ(records[0].message, "Throughput Stats: \n\t\t\t\tB: " + counters["B"]->AsString() +
                                    "\n\t\t\t\ta.read: " + counters["a.read"]->AsString() +
                                    "\n\t\t\t\tb.write: " + counters["b.write"]->AsString());

  // Only a counter that gained transfers since the previous record is written again.
  counters["a.read"]->AddTransfer(65536, CTimeInterval::FromMilliseconds(1));
  record();
  records = m_sink->Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].message,
            "Throughput Stats: \n\t\t\t\ta.read: " + counters["a.read"]->AsString());
}

TEST_F(ThroughputRecordTest, NothingDueAsksNothingAndLevelBelowZeroWritesNothing) {
  ThroughputRecord::Counters counters = {{"x", NewCounter()}};
  ThroughputRecord record(counters);
  record();
  EXPECT_TRUE(m_sink->Records().empty());
  EXPECT_EQ(m_sink->LevelQueries(), 0);

  m_sink->SetLevel(-1);
  counters["x"]->AddTransfer(10, CTimeInterval(10));
  record();
  EXPECT_TRUE(m_sink->Records().empty());
  EXPECT_EQ(m_sink->LevelQueries(), 1);

  g_ptrLogWriter.reset();  // no sink: the pass goes on quietly
  counters["x"]->AddTransfer(10, CTimeInterval(10));
  record();
}

// Copies of one record called from two threads while two others record:
// each counter's transfer count never goes back from one record to the next,
// and the last record, after recording stopped, holds the exact totals.
TEST_F(ThroughputRecordTest, ConcurrentPassesKeepEachCountersRecordsInOrder) {
  constexpr int kTransfers = 20000;
  ThroughputRecord::Counters counters = {{"r", NewCounter()}, {"w", NewCounter()}};
  ThroughputRecord record(counters);

  std::atomic<int> arrived{0};
  std::atomic<int> recording{2};
  auto gate = [&arrived] {
    arrived.fetch_add(1);
    while (arrived.load() < 4) std::this_thread::yield();
  };
  std::vector<std::thread> threads;
  for (const char* name : {"r", "w"}) {
    boost::shared_ptr<CMediaSpeedCounter> counter = counters[name];
    threads.emplace_back([&, counter] {
      gate();
      for (int i = 0; i < kTransfers; ++i) counter->AddTransfer(100, CTimeInterval(1));
      recording.fetch_sub(1);
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, copy = record] {
      gate();
      while (recording.load() > 0) copy();
    });
  }
  for (std::thread& t : threads) t.join();
  record();

  std::map<std::string, long long> last = {{"r", 0}, {"w", 0}};
  for (const zrperf_test::Record& r : m_sink->Records()) {
    for (const char* name : {"r", "w"}) {
      const std::string key = std::string("\t") + name + ": transfers=";
      const std::size_t at = r.message.find(key);
      if (at == std::string::npos) continue;
      const long long transfers = std::atoll(r.message.c_str() + at + key.size());
      EXPECT_GE(transfers, last[name]) << r.message;
      last[name] = transfers;
    }
  }
  EXPECT_EQ(last["r"], kTransfers);
  EXPECT_EQ(last["w"], kTransfers);
}

}  // namespace
}  // namespace zrdemo
