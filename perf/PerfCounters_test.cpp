#include "PerfCounters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/RunTogether.h>

namespace {

const char kLogFunction[] = "void CPerfCounters::Log()";

// A capturing sink is installed for each test's duration.
class PerfCountersTest : public ::testing::Test {
 protected:
  // The one record written since the last Clear(), or fails.
  std::string OnlyMessage() {
    auto records = sink_->Records();
    EXPECT_EQ(records.size(), 1u);
    if (records.empty()) return std::string();
    EXPECT_EQ(records[0].level, 0);
    EXPECT_EQ(records[0].function, kLogFunction);
    EXPECT_EQ(records[0].line, 39);
    return records[0].message;
  }

  static void Feed(boost::shared_ptr<CTimeCounter>& counter, int samples, long long units = 1000) {
    for (int i = 0; i < samples; ++i) counter->AddSample(CTimeInterval(units + i));
  }

  static std::string Line(const std::string& name, const boost::shared_ptr<CTimeCounter>& c) {
    return "\n\t\t\t\t" + name + ": " + c->AsString();
  }

  // A pass that writes the one counter `name` alone; the sink is cleared after.
  void ExpectPassWritesOnly(CPerfCounters& set, const std::string& name) {
    set.Log();
    EXPECT_EQ(OnlyMessage(), "Exec Stats: " + Line(name, set.GetCounter(name)));
    sink_->Clear();
  }

  // A pass with nothing due: it writes nothing and does not consult the sink.
  void ExpectSilentPass(CPerfCounters& set) {
    const int queries = sink_->LevelQueries();
    set.Log();
    EXPECT_TRUE(sink_->Records().empty());
    EXPECT_EQ(sink_->LevelQueries(), queries) << "the sink was consulted";
  }

  zrperf_test::ScopedSink sink_;
};

// Due counters in byte order, names as they are (empty, with '%') up to a NUL;
// names differing after a NUL are counters of their own.
TEST_F(PerfCountersTest, RecordListsDueCountersInByteOrderAndOddNamesAsTheyAreOrEscaped) {
  CPerfCounters set;
  const std::string ax("a\0x", 3), bx("b\0x", 3), by("b\0y", 3);
  for (const char* name : {"b", "AB", "a", "B", "A", "Read.Block", "Read", "", "100%s done %d"})
    Feed(set.GetCounter(name), 1);
  Feed(set.GetCounter(ax), 2);
  Feed(set.GetCounter(bx), 3);
  Feed(set.GetCounter(by), 3);  // the same count as "b\0x"
  set.Log();
  std::string expected = "Exec Stats: " + Line("", set.GetCounter(""));
  for (const char* name : {"100%s done %d", "A", "AB", "B", "Read", "Read.Block", "a"})
    expected += Line(name, set.GetCounter(name));
  EXPECT_EQ(OnlyMessage(), expected + Line("a", set.GetCounter(ax)) +
                               Line("b", set.GetCounter("b")) + Line("b", set.GetCounter(bx)) +
                               Line("b", set.GetCounter(by)));
  sink_->Clear();
  Feed(set.GetCounter(""), 1);
  for (int pass = 0; pass < 3; ++pass) set.Log();
  EXPECT_EQ(OnlyMessage(), "Exec Stats: " + Line("", set.GetCounter("")));

  // A name's control characters are escaped (reversibly), the record's separators not.
  sink_->Clear();
  const std::string forged =
      "op\n2026-01-01 00:00:00.000 [critical] FORGED\r\tx\x01\x1f\x7f\\\n\\n\\q\\";
  const std::string escaped =
      "op\\n2026-01-01 00:00:00.000 [critical] FORGED\\r\\tx\\x01\\x1f\\x7f\\\\\\n\\\\n\\q\\";
  Feed(set.GetCounter(forged), 1);
  Feed(set.GetCounter("plain C:\\dir\\file.txt"), 1);  // no control character: as it is
  set.Log();
  EXPECT_EQ(OnlyMessage(),
            "Exec Stats: \n\t\t\t\t" + escaped + ": " + set.GetCounter(forged)->AsString() +
                Line("plain C:\\dir\\file.txt", set.GetCounter("plain C:\\dir\\file.txt")));
}

// A registration during a pass does not wait for it; a second pass does.
TEST_F(PerfCountersTest, RegistrationDoesNotWaitForARunningPassButASecondPassDoes) {
  CPerfCounters set;
  Feed(set.GetCounter("op"), 1);
  std::thread registrar, secondPass;
  std::promise<void> registered, passed;
  bool done = false, overlapped = true;
  std::atomic<bool> first{true};
  sink_->onRecord = [&] {
    if (!first.exchange(false)) return;  // the first pass only
    registrar = std::thread([&] {
      set.GetCounter("new.during.pass");
      registered.set_value();
    });
    secondPass = std::thread([&] {
      set.Log();
      passed.set_value();
    });
    // Bounded: with the lock held by the pass this times out instead of hanging.
    done = registered.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    // Bounded the other way: without the pass lock the second pass ends at once.
    overlapped = passed.get_future().wait_for(std::chrono::seconds(1)) == std::future_status::ready;
  };
  set.Log();
  registrar.join();
  secondPass.join();
  EXPECT_TRUE(done);
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(set.ListTimeCounters().size(), 2u);
}

// Nothing due: the sink is not asked; a filtered or sinkless pass still counts.
TEST_F(PerfCountersTest, NothingDueMeansTheSinkIsNotConsultedAndDroppedPassesStillCount) {
  CPerfCounters set;
  set.Log();
  set.Reset();
  set.Init();
  EXPECT_EQ(sink_->LevelQueries(), 0);

  set.GetCounter("idle");  // registered, never fed
  ExpectSilentPass(set);

  Feed(set.GetCounter("busy"), 2);
  ExpectPassWritesOnly(set, "busy");
  ExpectSilentPass(set);  // no new samples
  Feed(set.GetCounter("busy"), 1);
  ExpectPassWritesOnly(set, "busy");  // with the counter's current text

  Feed(set.GetCounter("op"), 4);
  sink_->SetLevel(-1);
  set.Log();
  EXPECT_TRUE(sink_->Records().empty() && sink_->LevelQueries() == 1);
  sink_->SetLevel(0);
  ExpectSilentPass(set);  // the four samples were consumed by the filtered pass
  sink_->SetLevel(5);
  Feed(set.GetCounter("op"), 1);
  ExpectPassWritesOnly(set, "op");

  Feed(set.GetCounter("op"), 1);
  zrfw::StoreLogWriter(nullptr);
  set.Log();  // no sink: dropped
  zrperf_test::ScopedSink sink;
  set.Log();
  EXPECT_TRUE(sink->Records().empty());
}

// Throughput counters are apart and never written. Reset() renews both kinds
// of handle and keeps the last-logged counts (an equal fresh total is left
// out, a lower one is changed); Init() rebaselines them.
TEST_F(PerfCountersTest, ResetRenewsHandlesAndKeepsLastLoggedCountsButInitRebaselines) {
  CPerfCounters set;
  boost::shared_ptr<CMediaSpeedCounter>& media = set.GetMediaSpeedCounter("op");
  ASSERT_TRUE(media);
  media->AddTransfer(4096, CTimeInterval(100));
  EXPECT_EQ(&media, &set.GetMediaSpeedCounter("op"));
  ExpectSilentPass(set);

  boost::shared_ptr<CTimeCounter>& ref = set.GetCounter("op");
  Feed(ref, 1);
  ExpectPassWritesOnly(set, "op");
  EXPECT_EQ(media->GetTotalBytes(), 4096u);

  boost::shared_ptr<CTimeCounter> copy = ref;
  const boost::shared_ptr<CMediaSpeedCounter> mediaCopy = media;
  set.Reset();
  EXPECT_NE(ref.get(), copy.get()) << "the set's handle reaches the fresh counter";
  EXPECT_EQ(&ref, &set.GetCounter("op")) << "the reference stays valid";
  EXPECT_NE(media.get(), mediaCopy.get());
  EXPECT_EQ(media->GetTotalBytes(), 0u);
  Feed(copy, 5);
  EXPECT_EQ(copy->GetTotalSamples(), 6);
  Feed(ref, 1);
  // The copied counter is in no record, and the fresh total equals the last-logged count.
  ExpectSilentPass(set);
  Feed(ref, 1);
  ExpectPassWritesOnly(set, "op");
  set.Reset();
  Feed(ref, 1);  // 1 after 2: changed
  ExpectPassWritesOnly(set, "op");

  set.Init();  // each fresh counter is compared against its own fresh total
  EXPECT_TRUE(sink_->Records().empty());
  Feed(ref, 1);
  ExpectPassWritesOnly(set, "op");
}

// Each list is checked against the whole set after every step: new names merged
// into byte order, every handle renewed by Reset().
TEST_F(PerfCountersTest, ListsGiveFullNamesInByteOrderWithCurrentHandlesAlsoWhileNamesArrive) {
  CPerfCounters set;
  const auto expectCurrent = [&set](std::vector<std::string> sorted) {
    std::sort(sorted.begin(), sorted.end());
    const auto check = [&sorted](const auto& list, const auto& handle) {
      ASSERT_EQ(list.size(), sorted.size());
      for (std::size_t i = 0; i < sorted.size(); ++i) {
        EXPECT_EQ(list[i].first, sorted[i]) << i;
        EXPECT_EQ(list[i].second, handle(sorted[i])) << sorted[i];
      }
    };
    check(set.ListTimeCounters(), [&](const std::string& n) { return set.GetCounter(n); });
    check(set.ListMediaSpeedCounters(),
          [&](const std::string& n) { return set.GetMediaSpeedCounter(n); });
  };
  std::vector<std::string> names;
  const auto add = [&](const std::string& name) {
    set.GetCounter(name);
    set.GetMediaSpeedCounter(name);
    names.push_back(name);
  };
  add("m");
  add(std::string("a\0x", 3));  // not cut at its NUL
  expectCurrent(names);
  for (const auto& batch :
       std::vector<std::vector<std::string>>{{"b", "z", "a"}, {"c"}, {}, {"aa", "zz", "n"}}) {
    for (const std::string& name : batch) add(name);
    expectCurrent(names);
    set.Reset();  // the next list carries the renewed handles
    expectCurrent(names);
  }

  // Lists taken while threads register: in order, each with every name before it.
  CPerfCounters racing;
  constexpr int kNames = 4000;
  std::atomic<int> registered{0};
  zrperf_test::RunTogether(3, [&](int thread) {
    if (thread < 2) {
      for (int i = thread; i < kNames; i += 2) {
        racing.GetCounter("n" + std::to_string((i * 7919) % kNames));
        registered.fetch_add(1);
      }
      return;
    }
    while (registered.load() < kNames) {
      const int before = registered.load();
      const CPerfCounters::TimeCounterList list = racing.ListTimeCounters();
      ASSERT_GE(static_cast<int>(list.size()), before);
      for (std::size_t i = 1; i < list.size(); ++i) ASSERT_LT(list[i - 1].first, list[i].first);
    }
  });
  EXPECT_EQ(racing.ListTimeCounters().size(), static_cast<std::size_t>(kNames));
}

// A record's "\n\t\t\t\t" + name + ": " + figures lines as (name, figures) pairs.
std::vector<std::pair<std::string, std::string>> LinesOf(const std::string& message,
                                                         const std::string& head) {
  std::vector<std::pair<std::string, std::string>> lines;
  EXPECT_EQ(message.rfind(head, 0), 0u) << message;
  const std::string separator = "\n\t\t\t\t";
  for (std::size_t at = message.find(separator); at != std::string::npos;) {
    const std::size_t begin = at + separator.size();
    at = message.find(separator, begin);
    const std::string line = message.substr(begin, at == std::string::npos ? at : at - begin);
    const std::size_t colon = line.find(": ");
    lines.emplace_back(line.substr(0, colon), line.substr(colon + 2));
  }
  return lines;
}

// The number after "samples=" in a counter's figures.
long long SamplesIn(const std::string& figures) {
  const std::size_t at = figures.find("samples=");
  return at == std::string::npos ? -1 : std::stoll(figures.substr(at + 8));
}

// Interval statistics, off by default: on, "Interval Stats" follows "Exec
// Stats" line for line with the samples since the counter's last written pass.
TEST_F(PerfCountersTest, IntervalRecordFollowsTheExecRecordLineForLine) {
  CPerfCounters set;
  Feed(set.GetCounter("early"), 1);
  set.Log();
  ASSERT_EQ(sink_->Records().size(), 1u);  // off by default

  set.SetIntervalStats(true);
  Feed(set.GetCounter("a\nforged"), 3);
  Feed(set.GetCounter("b"), 5);
  Feed(set.GetCounter("idle"), 1);
  set.Log();
  set.GetCounter("idle")->AddSample(CTimeInterval(3));
  sink_->Clear();
  Feed(set.GetCounter("a\nforged"), 4, 2'000);  // 200 us, a new maximum
  Feed(set.GetCounter("b"), 2);
  set.Log();
  std::vector<zrperf_test::Record> records = sink_->Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].function, kLogFunction);
  EXPECT_EQ(records[1].level, 0);
  EXPECT_EQ(records[1].line, 40);
  const auto exec = LinesOf(records[0].message, "Exec Stats: ");
  const auto interval = LinesOf(records[1].message, "Interval Stats: ");
  ASSERT_EQ(exec.size(), 3u);
  ASSERT_EQ(interval.size(), 3u);
  const long long want[][2] = {{7, 4}, {7, 2}, {2, 1}};  // lifetime, interval
  for (std::size_t i = 0; i < exec.size(); ++i) {
    EXPECT_EQ(interval[i].first, exec[i].first);
    EXPECT_EQ(SamplesIn(exec[i].second), want[i][0]) << exec[i].first;
    EXPECT_EQ(SamplesIn(interval[i].second), want[i][1]) << exec[i].first;
  }
  EXPECT_EQ(exec[0].first, "a\\nforged");
  // The four samples of 200.00us to 200.30us alone, not the three of 100 us.
  EXPECT_NE(interval[0].second.find(" mean=200.20us p50="), std::string::npos)
      << interval[0].second;
  EXPECT_NE(interval[0].second.find(" max=200.30us"), std::string::npos) << interval[0].second;
  EXPECT_EQ(interval[0].second.rfind("seconds=", 0), 0u);
  EXPECT_NE(interval[0].second.find(" samples=4 rate="), std::string::npos);

  sink_->Clear();
  ExpectSilentPass(set);  // nothing due: neither record

  set.Reset();  // the fresh counter's interval holds its own samples only
  Feed(set.GetCounter("b"), 1);
  set.Log();
  records = sink_->Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(SamplesIn(LinesOf(records[1].message, "Interval Stats: ").at(0).second), 1);

  set.SetIntervalStats(false);
  sink_->Clear();
  Feed(set.GetCounter("b"), 1);
  ExpectPassWritesOnly(set, "b");

  // Switched on again, a counter's interval runs from its last Reset(): the
  // samples recorded while intervals were off count.
  set.SetIntervalStats(true);
  Feed(set.GetCounter("b"), 1);
  set.Log();
  records = sink_->Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(SamplesIn(LinesOf(records[1].message, "Interval Stats: ").at(0).second), 3);
}

// Threads register, feed and log at once (two passes racing): every name is
// registered once, no sample is lost, the next record lists each once, in order.
TEST_F(PerfCountersTest, ConcurrentRegistrationLookupFeedingAndLogging) {
  constexpr int kThreads = 4, kRounds = 3, kNames = 200, kShared = 16;
  sink_->SetLevel(-1);  // keep the records out of the way; Log() still walks everything

  for (int round = 0; round < kRounds; ++round) {
    CPerfCounters set;
    std::atomic<int> feeding{kThreads};
    zrperf_test::RunTogether(kThreads + 2, [&](int t) {
      if (t >= kThreads) {
        while (feeding.load() > 0) set.Log();
        return;
      }
      for (int i = 0; i < kNames; ++i) {
        // Own names are created here; shared names race between threads.
        set.GetCounter("t" + std::to_string(t) + "." + std::to_string(i))->AddSample(i);
        set.GetCounter("shared" + std::to_string(i % kShared))->AddSample(CTimeInterval(1));
        set.GetMediaSpeedCounter("m" + std::to_string(i % kShared))
            ->AddTransfer(1, CTimeInterval(1));
      }
      feeding.fetch_sub(1);
    });

    long long samples = 0;
    unsigned long long bytes = 0;
    for (int s = 0; s < kShared; ++s) {
      samples += set.GetCounter("shared" + std::to_string(s))->GetTotalSamples();
      bytes += set.GetMediaSpeedCounter("m" + std::to_string(s))->GetTotalBytes();
    }
    EXPECT_EQ(samples, kThreads * kNames);
    EXPECT_EQ(bytes, static_cast<unsigned long long>(kThreads) * kNames);
    for (int n = 0; n < kThreads * kNames; ++n) {
      const std::string name = "t" + std::to_string(n / kNames) + "." + std::to_string(n % kNames);
      ASSERT_EQ(set.GetCounter(name)->GetTotalSamples(), 1) << name;
    }

    sink_->SetLevel(0);
    sink_->Clear();
    for (const auto& entry : set.ListTimeCounters()) entry.second->AddSample(CTimeInterval(1));
    set.Log();
    sink_->SetLevel(-1);
    const auto lines = LinesOf(OnlyMessage(), "Exec Stats: ");
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kNames + kShared));
    for (std::size_t i = 1; i < lines.size(); ++i)
      ASSERT_LT(lines[i - 1].first, lines[i].first) << "out of order or listed twice";
  }
}

}  // namespace
