#include "PerfCounters.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/CapturingSink.h"
#include "../util/internal/RecordText.h"

namespace {

using zrperf_test::CapturingSink;

const char kLogFunction[] = "void CPerfCounters::Log()";

// Installs a capturing sink for the test's duration.
class PerfCountersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sink_.reset(new CapturingSink(0));
    g_ptrLogWriter = sink_;
  }
  void TearDown() override { g_ptrLogWriter.reset(); }

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

  boost::shared_ptr<CapturingSink> sink_;
};

TEST_F(PerfCountersTest, RecordListsDueCountersInByteOrderOfNames) {
  CPerfCounters set;
  const std::vector<std::string> names = {"b", "AB", "a", "B", "A", "Read.Block", "Read"};
  for (const auto& n : names) Feed(set.GetCounter(n), 3);
  set.Log();
  const std::string expected = "Exec Stats: " + Line("A", set.GetCounter("A")) +
                               Line("AB", set.GetCounter("AB")) + Line("B", set.GetCounter("B")) +
                               Line("Read", set.GetCounter("Read")) +
                               Line("Read.Block", set.GetCounter("Read.Block")) +
                               Line("a", set.GetCounter("a")) + Line("b", set.GetCounter("b"));
  EXPECT_EQ(OnlyMessage(), expected);
}

TEST_F(PerfCountersTest, EmptyNameNulNameAndPercentAreWrittenAsTheyAre) {
  CPerfCounters set;
  const std::string withNul("disk\0hidden", 11);
  Feed(set.GetCounter(""), 1);
  Feed(set.GetCounter(withNul), 2);
  Feed(set.GetCounter("100%s done %d"), 1);
  set.Log();
  // "" < "100%s done %d" < "disk\0hidden"; the NUL name is written up to the NUL.
  const std::string expected = "Exec Stats: " + Line("", set.GetCounter("")) +
                               Line("100%s done %d", set.GetCounter("100%s done %d")) +
                               Line("disk", set.GetCounter(withNul));
  EXPECT_EQ(OnlyMessage(), expected);

  // No new samples for the NUL name: no line.
  sink_->Clear();
  Feed(set.GetCounter(""), 1);
  set.Log();
  EXPECT_EQ(OnlyMessage(), "Exec Stats: " + Line("", set.GetCounter("")));
}

TEST_F(PerfCountersTest, NamesDifferingAfterANulKeepTheirOwnLastLoggedCounts) {
  CPerfCounters set;
  const std::string ax("a\0x", 3), bx("b\0x", 3), by("b\0y", 3);
  Feed(set.GetCounter("a"), 1);
  Feed(set.GetCounter(ax), 2);
  Feed(set.GetCounter(bx), 3);
  Feed(set.GetCounter(by), 3);  // the same count as "b\0x"
  set.Log();
  EXPECT_EQ(OnlyMessage(), "Exec Stats: " + Line("a", set.GetCounter("a")) +
                               Line("a", set.GetCounter(ax)) + Line("b", set.GetCounter(bx)) +
                               Line("b", set.GetCounter(by)));
  sink_->Clear();
  for (int pass = 0; pass < 3; ++pass) set.Log();
  EXPECT_TRUE(sink_->Records().empty()) << "nothing changed";
}

// A name cannot start a record line of its own: its control characters are
// escaped (reversibly), the record's separators are not.
TEST_F(PerfCountersTest, ControlCharactersInNamesAreEscapedReversibly) {
  CPerfCounters set;
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
  EXPECT_EQ(zrperf::UnescapeRecordText(escaped), forged);
  for (const std::string& name : {std::string("\\\\x41\\"), std::string("\\\x7f\\n\\x")}) {
    EXPECT_EQ(zrperf::UnescapeRecordText(zrperf::EscapeRecordText(name)), name);
  }
}

// Log() reads and formats outside the set's registration lock: a thread that
// registers a name while a pass is writing its record does not wait for it.
TEST_F(PerfCountersTest, RegistrationDoesNotWaitForARunningPass) {
  CPerfCounters set;
  Feed(set.GetCounter("op"), 1);
  std::thread registrar;
  std::promise<void> registered;
  bool done = false;
  sink_->onRecord = [&] {
    registrar = std::thread([&] {
      set.GetCounter("new.during.pass");
      registered.set_value();
    });
    // Bounded: with the lock held by the pass this times out instead of hanging.
    done = registered.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  };
  set.Log();
  registrar.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(set.ListTimeCounters().size(), 2u);
}

TEST_F(PerfCountersTest, NothingDueMeansTheSinkIsNotConsulted) {
  CPerfCounters set;
  set.Log();
  set.Reset();
  set.Init();
  EXPECT_EQ(sink_->LevelQueries(), 0);

  set.GetCounter("idle");  // registered, never fed
  set.Log();
  EXPECT_EQ(sink_->LevelQueries(), 0);
  EXPECT_TRUE(sink_->Records().empty());

  Feed(set.GetCounter("busy"), 2);
  set.Log();
  EXPECT_EQ(OnlyMessage(), "Exec Stats: " + Line("busy", set.GetCounter("busy")));

  // A second Log() without new samples writes nothing and asks nothing.
  sink_->Clear();
  set.Log();
  EXPECT_EQ(sink_->LevelQueries(), 0);
  EXPECT_TRUE(sink_->Records().empty());

  // New samples: written again, with the counter's current text.
  Feed(set.GetCounter("busy"), 1);
  set.Log();
  EXPECT_EQ(OnlyMessage(), "Exec Stats: " + Line("busy", set.GetCounter("busy")));
}

TEST_F(PerfCountersTest, GetCounterReturnsTheSameHandleWithoutRenewingIt) {
  CPerfCounters set;
  boost::shared_ptr<CTimeCounter>& first = set.GetCounter("op");
  Feed(first, 2);
  set.Log();
  sink_->Clear();
  boost::shared_ptr<CTimeCounter>& second = set.GetCounter("op");
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(second->GetTotalSamples(), 2);
  set.Log();  // last-logged count untouched by the second lookup: nothing due
  EXPECT_TRUE(sink_->Records().empty());
}

TEST_F(PerfCountersTest, ResetKeepsLastLoggedCountsButInitRebaselines) {
  CPerfCounters set;
  Feed(set.GetCounter("op"), 1);
  set.Log();
  sink_->Clear();

  // After Reset() alone, a fresh total equal to the last-logged one is left out.
  set.Reset();
  Feed(set.GetCounter("op"), 1);
  set.Log();
  EXPECT_TRUE(sink_->Records().empty());

  // A total that went down counts as changed.
  set.Reset();
  Feed(set.GetCounter("op"), 1);
  set.Log();
  EXPECT_TRUE(sink_->Records().empty()) << "1 == 1: still equal";
  Feed(set.GetCounter("op"), 1);
  set.Log();
  sink_->Clear();
  set.Reset();
  Feed(set.GetCounter("op"), 1);  // 1 after 2: changed
  set.Log();
  EXPECT_EQ(OnlyMessage(), "Exec Stats: " + Line("op", set.GetCounter("op")));

  // After Init() each fresh counter is compared against its own fresh total.
  sink_->Clear();
  set.Init();
  EXPECT_TRUE(sink_->Records().empty());
  Feed(set.GetCounter("op"), 1);
  set.Log();
  EXPECT_EQ(OnlyMessage(), "Exec Stats: " + Line("op", set.GetCounter("op")));
}

TEST_F(PerfCountersTest, CopiedHandleOutlivesResetButLeavesTheRecord) {
  CPerfCounters set;
  boost::shared_ptr<CTimeCounter>& ref = set.GetCounter("op");
  boost::shared_ptr<CTimeCounter> copy = ref;
  set.Reset();
  EXPECT_NE(ref.get(), copy.get()) << "the set's handle reaches the fresh counter";
  EXPECT_EQ(&ref, &set.GetCounter("op")) << "the reference stays valid";
  Feed(copy, 5);
  EXPECT_EQ(copy->GetTotalSamples(), 5);
  set.Log();
  EXPECT_TRUE(sink_->Records().empty()) << "the copied counter is in no record";
  Feed(ref, 1);
  set.Log();
  EXPECT_EQ(OnlyMessage(), "Exec Stats: " + Line("op", ref));
}

TEST_F(PerfCountersTest, ListsGiveFullNamesInByteOrderWithCurrentHandles) {
  CPerfCounters set;
  const std::string withNul("a\0x", 3);
  set.GetCounter("b");
  set.GetCounter(withNul);
  set.GetCounter("a");
  set.GetMediaSpeedCounter("io");
  set.Reset();  // the lists carry the handles as they are now

  CPerfCounters::TimeCounterList times = set.ListTimeCounters();
  ASSERT_EQ(times.size(), 3u);
  EXPECT_EQ(times[0].first, "a");
  EXPECT_EQ(times[1].first, withNul) << "names are not cut at their NUL";
  EXPECT_EQ(times[2].first, "b");
  for (const auto& entry : times) EXPECT_EQ(entry.second, set.GetCounter(entry.first));

  CPerfCounters::MediaSpeedCounterList media = set.ListMediaSpeedCounters();
  ASSERT_EQ(media.size(), 1u);
  EXPECT_EQ(media[0].second, set.GetMediaSpeedCounter("io"));
}

TEST_F(PerfCountersTest, LevelFilterStillAdvancesLastLoggedCounts) {
  CPerfCounters set;
  Feed(set.GetCounter("op"), 4);
  sink_->SetLevel(-1);
  set.Log();
  EXPECT_EQ(sink_->LevelQueries(), 1);
  EXPECT_TRUE(sink_->Records().empty());
  sink_->SetLevel(0);
  set.Log();  // the four samples were consumed by the filtered pass
  EXPECT_TRUE(sink_->Records().empty());
  sink_->SetLevel(5);
  Feed(set.GetCounter("op"), 1);
  set.Log();
  EXPECT_EQ(OnlyMessage(), "Exec Stats: " + Line("op", set.GetCounter("op")));
}

TEST_F(PerfCountersTest, ThroughputCountersAreSeparateAndNeverWritten) {
  CPerfCounters set;
  boost::shared_ptr<CMediaSpeedCounter>& media = set.GetMediaSpeedCounter("io");
  ASSERT_TRUE(media);
  media->AddTransfer(4096, CTimeInterval(100));
  EXPECT_EQ(&media, &set.GetMediaSpeedCounter("io"));
  set.Log();
  EXPECT_TRUE(sink_->Records().empty());
  EXPECT_EQ(sink_->LevelQueries(), 0);

  Feed(set.GetCounter("io"), 1);  // the same name as an elapsed-time counter
  set.Log();
  EXPECT_EQ(OnlyMessage(), "Exec Stats: " + Line("io", set.GetCounter("io")));
  EXPECT_EQ(media->GetTotalBytes(), 4096u);

  boost::shared_ptr<CMediaSpeedCounter> copy = media;
  set.Reset();
  EXPECT_NE(media.get(), copy.get());
  EXPECT_EQ(media->GetTotalBytes(), 0u);
}

TEST_F(PerfCountersTest, NoSinkInstalledDropsTheRecord) {
  g_ptrLogWriter.reset();
  CPerfCounters set;
  Feed(set.GetCounter("op"), 1);
  set.Log();  // must not crash
  g_ptrLogWriter = sink_;
  set.Log();  // the count advanced in the dropped pass
  EXPECT_TRUE(sink_->Records().empty());
}

// Threads register, look up, feed and log at once. Every name ends up
// registered exactly once and no sample is lost.
TEST_F(PerfCountersTest, ConcurrentRegistrationLookupFeedingAndLogging) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 3;
  constexpr int kNames = 200;
  constexpr int kShared = 16;
  sink_->SetLevel(-1);  // keep the records out of the way; Log() still walks everything

  for (int round = 0; round < kRounds; ++round) {
    CPerfCounters set;
    std::atomic<int> ready{0};
    std::atomic<bool> feeding{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ready.fetch_add(1);
        while (ready.load() < kThreads + 1) {
        }
        for (int i = 0; i < kNames; ++i) {
          // Own names are created here; shared names race between threads.
          boost::shared_ptr<CTimeCounter>& own =
              set.GetCounter("t" + std::to_string(t) + "." + std::to_string(i));
          own->AddSample(CTimeInterval(i));
          boost::shared_ptr<CTimeCounter>& shared =
              set.GetCounter("shared" + std::to_string(i % kShared));
          shared->AddSample(CTimeInterval(1));
          set.GetMediaSpeedCounter("m" + std::to_string(i % kShared))
              ->AddTransfer(1, CTimeInterval(1));
        }
      });
    }
    std::thread logger([&] {
      ready.fetch_add(1);
      while (ready.load() < kThreads + 1) {
      }
      while (feeding.load()) set.Log();
    });
    for (auto& th : threads) th.join();
    feeding.store(false);
    logger.join();

    long long sharedTotal = 0;
    for (int s = 0; s < kShared; ++s) {
      sharedTotal += set.GetCounter("shared" + std::to_string(s))->GetTotalSamples();
    }
    EXPECT_EQ(sharedTotal, static_cast<long long>(kThreads) * kNames);
    for (int t = 0; t < kThreads; ++t) {
      for (int i = 0; i < kNames; ++i) {
        ASSERT_EQ(
            set.GetCounter("t" + std::to_string(t) + "." + std::to_string(i))->GetTotalSamples(),
            1);
      }
    }
    unsigned long long bytes = 0;
    for (int s = 0; s < kShared; ++s) {
      bytes += set.GetMediaSpeedCounter("m" + std::to_string(s))->GetTotalBytes();
    }
    EXPECT_EQ(bytes, static_cast<unsigned long long>(kThreads) * kNames);
  }
}

}  // namespace
