#include "ThroughputRecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/RunTogether.h>

namespace zrdemo {
namespace {

boost::shared_ptr<CMediaSpeedCounter> NewCounter() {
  return boost::shared_ptr<CMediaSpeedCounter>(new CMediaSpeedCounter(nullptr));
}

TEST(ThroughputRecord, WritesCountersWithNewTransfersInByteOrderOfNamesWhenAdmitted) {
  zrperf_test::ScopedSink sink;
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
  std::vector<zrperf_test::Record> records = sink->Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, 0);
  // The first interval runs from each counter's creation: the lifetime figure.
  EXPECT_EQ(records[0].message,
            "Throughput Stats: \n\t\t\t\tB: " + counters["B"]->AsString() +
                " interval=n/a\n\t\t\t\ta.read: " + counters["a.read"]->AsString() +
                " interval=65.54MB/s\n\t\t\t\tb.write: " + counters["b.write"]->AsString() +
                " interval=2.00MB/s");

  // Only a counter that gained transfers since the previous record is written
  // again, with the throughput of the new transfers beside the lifetime one.
  counters["a.read"]->AddTransfer(65536, CTimeInterval::FromMilliseconds(2));
  record();
  records = sink->Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].message, "Throughput Stats: \n\t\t\t\ta.read: " +
                                    counters["a.read"]->AsString() + " interval=32.77MB/s");
  EXPECT_NE(records[1].message.find("throughput=43.69MB/s"), std::string::npos);

  // Nothing due asks nothing; at a level below zero nothing is written.
  record();
  EXPECT_EQ(sink->Records().size(), 2u);
  EXPECT_EQ(sink->LevelQueries(), 2);
  sink->SetLevel(-1);
  counters["B"]->AddTransfer(10, CTimeInterval(10));
  record();
  EXPECT_EQ(sink->Records().size(), 2u);
  EXPECT_EQ(sink->LevelQueries(), 3);
}

TEST(ThroughputRecord, HostileNamesCannotForgeLines) {
  zrperf_test::ScopedSink sink;
  const std::string forged = "x: transfers=1\n2026-01-01 00:00:00.000 [error] forged\r\x1b";
  ThroughputRecord::Counters counters = {{forged, NewCounter()}};
  counters[forged]->AddTransfer(1, CTimeInterval(1));
  ThroughputRecord{counters}();
  const std::vector<zrperf_test::Record> records = sink->Records();
  ASSERT_EQ(records.size(), 1u);
  // The record's own separator is its only line feed, and the name reads back
  // in the documented escaped form.
  const std::string& message = records[0].message;
  EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
  EXPECT_EQ(message.find('\r'), std::string::npos);
  EXPECT_NE(
      message.find("\t\t\t\tx: transfers=1\\n2026-01-01 00:00:00.000 [error] forged\\r\\x1b: "),
      std::string::npos)
      << message;
}

// Copies of one record called from two threads while two others record:
// each counter's transfer count never goes back from one record to the next,
// and the last record, after recording stopped, holds the exact totals.
TEST(ThroughputRecord, ConcurrentPassesKeepEachCountersRecordsInOrder) {
  zrperf_test::ScopedSink sink;
  constexpr int kTransfers = 20000;
  ThroughputRecord::Counters counters = {{"r", NewCounter()}, {"w", NewCounter()}};
  ThroughputRecord record(counters);
  std::atomic<int> recording{2};
  zrperf_test::RunTogether(4, [&](int t) {
    if (t < 2) {
      CMediaSpeedCounter& counter = *counters.at(t == 0 ? "r" : "w");
      for (int i = 0; i < kTransfers; ++i) counter.AddTransfer(100, CTimeInterval(1));
      recording.fetch_sub(1);
    } else {
      const ThroughputRecord copy = record;
      while (recording.load() > 0) copy();
    }
  });
  record();

  std::map<std::string, long long> last = {{"r", 0}, {"w", 0}};
  for (const zrperf_test::Record& r : sink->Records()) {
    for (auto& [name, transfers] : last) {
      const std::string key = "\t" + name + ": transfers=";
      const std::size_t at = r.message.find(key);
      if (at == std::string::npos) continue;
      const long long now = std::atoll(r.message.c_str() + at + key.size());
      EXPECT_GE(now, transfers) << r.message;
      transfers = now;
    }
  }
  EXPECT_EQ(last["r"], kTransfers);
  EXPECT_EQ(last["w"], kTransfers);
}

}  // namespace
}  // namespace zrdemo
