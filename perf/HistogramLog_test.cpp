// The histogram log's writer: which counters get a line, racing recorders,
// rotation, and the logger's switch.

#include "HistogramLog.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <zrperf/perf/internal/HistogramLogFormat.h>
#include <zrperf/tests/support/RunTogether.h>
#include <zrperf/tests/support/TempDir.h>
#include "PerfCntLogger.h"

namespace {

using zrperf_test::ReadFile;
using zrperf_test::TempDir;
using Counters = CHistogramLog::CounterList;

// The interval lines of a file's text, parsed; fails the test on a bad line.
std::vector<zrperf::histlog::IntervalLine> Lines(const std::string& text) {
  std::vector<zrperf::histlog::IntervalLine> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    zrperf::histlog::IntervalLine parsed;
    std::string why;
    EXPECT_TRUE(zrperf::histlog::ParseLine(line, &parsed, &why)) << why << ": " << line;
    lines.push_back(parsed);
  }
  return lines;
}

boost::shared_ptr<CTimeCounter> NewCounter() {
  return boost::shared_ptr<CTimeCounter>(new CTimeCounter());
}

TEST(HistogramLog, WritesALineOnlyForCountersThatGainedSamples) {
  TempDir dir("histlog");
  std::string error;
  auto log = CHistogramLog::Open(dir.Path("h.hlog"), {}, &error);
  ASSERT_TRUE(log) << error;
  Counters counters = {{"a", NewCounter()}, {"b", NewCounter()}, {"idle", NewCounter()}};
  counters[0].second->AddSample(CTimeInterval(10));
  counters[1].second->AddSample(CTimeInterval(20));
  ASSERT_TRUE(log->WritePass(counters, 100.0));
  counters[0].second->AddSample(CTimeInterval(0));
  counters[0].second->AddSample(CTimeInterval(30));
  ASSERT_TRUE(log->WritePass(counters, 160.5));
  const std::size_t size = ReadFile(dir.Path("h.hlog")).size();
  ASSERT_TRUE(log->WritePass(counters, 220.0));  // nothing new: nothing written
  EXPECT_EQ(ReadFile(dir.Path("h.hlog")).size(), size);
  // A counter replaced under its name (the set's Reset()) starts over whole.
  counters[1].second = NewCounter();
  counters[1].second->AddSample(CTimeInterval(40));
  ASSERT_TRUE(log->WritePass(counters, 280.0));

  const auto lines = Lines(ReadFile(dir.Path("h.hlog")));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].name, "a");
  EXPECT_EQ(lines[1].name, "b");
  EXPECT_EQ(lines[2].name, "a");
  EXPECT_EQ(lines[2].end, 160.5);
  EXPECT_EQ(lines[2].count, 2u);  // the interval's samples only
  EXPECT_EQ(lines[2].zero, 1u);
  EXPECT_EQ(lines[2].total, 30u);
  EXPECT_EQ(lines[3].name, "b");
  EXPECT_EQ(lines[3].count, 1u);
  EXPECT_EQ(lines[3].min, 40u);
}

// Recorders race the passes; the lines of all passes add up to exactly the
// samples recorded, none lost and none counted twice.
TEST(HistogramLog, RacingRecordersAndPassesAddUpExactly) {
  TempDir dir("histlog");
  std::string error;
  auto log = CHistogramLog::Open(dir.Path("race.hlog"), {}, &error);
  Counters counters = {{"x", NewCounter()}, {"y", NewCounter()}};
  constexpr int kRecorders = 3;
  constexpr int kSamples = 20000;
  std::atomic<int> recording{kRecorders};
  zrperf_test::RunTogether(kRecorders + 1, [&](int thread) {
    if (thread == kRecorders) {
      for (double t = 1; recording.load() > 0; ++t) log->WritePass(counters, t);
      return;
    }
    for (int i = 0; i < kSamples; ++i) {
      counters[i % 2].second->AddSample(CTimeInterval((i * 7919 + thread) % 100000));
    }
    recording.fetch_sub(1);
  });
  log->WritePass(counters, 1e6);
  std::map<std::string, std::uint64_t> logged, inBuckets;
  for (const auto& line : Lines(ReadFile(dir.Path("race.hlog")))) {
    logged[line.name] += line.count;
    inBuckets[line.name] += line.zero;
    for (const auto& b : line.buckets) inBuckets[line.name] += b.count;
  }
  EXPECT_EQ(logged["x"] + logged["y"], static_cast<std::uint64_t>(kRecorders * kSamples));
  EXPECT_EQ(logged["x"], inBuckets["x"]);
  EXPECT_EQ(logged["y"], inBuckets["y"]);
}

TEST(HistogramLog, RotatesBySizeKeepingFiveOlderFilesByDefault) {
  TempDir dir("histlog");
  std::string error;
  HistogramLogOptions options;
  EXPECT_EQ(options.maxBytes, 64u << 20);  // the documented default size
  options.maxBytes = 1000;                 // the number of kept files stays the default
  auto log = CHistogramLog::Open(dir.Path("r.hlog"), options, &error);
  Counters counters = {{"c", NewCounter()}};
  for (int pass = 0; pass < 250; ++pass) {
    counters[0].second->AddSample(CTimeInterval(pass * 1000));
    ASSERT_TRUE(log->WritePass(counters, pass));
  }
  for (const char* name : {"r.hlog", "r.1.hlog", "r.2.hlog", "r.3.hlog", "r.4.hlog", "r.5.hlog"}) {
    const std::string text = ReadFile(dir.Path(name));
    EXPECT_EQ(text.rfind("#zrperf-histogram-log 1\n", 0), 0u) << name;
    EXPECT_LE(text.size(), options.maxBytes) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.Path("r.6.hlog")));
  // The newest file holds the last pass.
  EXPECT_EQ(Lines(ReadFile(dir.Path("r.hlog"))).back().end, 249.0);
}

TEST(HistogramLog, ForkedChildWritesUnderAHeaderOfItsOwn) {
  TempDir dir("histlog");
  std::string error;
  auto log = CHistogramLog::Open(dir.Path("f.hlog"), {}, &error);
  Counters counters = {{"c", NewCounter()}};
  counters[0].second->AddSample(CTimeInterval(1));
  ASSERT_TRUE(log->WritePass(counters, 1));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    counters[0].second->AddSample(CTimeInterval(2));
    _exit(log->WritePass(counters, 2) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::string text = ReadFile(dir.Path("f.hlog"));
  const std::string childHeader = "#pid " + std::to_string(child) + "\n";
  ASSERT_NE(text.find(childHeader), std::string::npos) << text;
  EXPECT_NE(text.find("#pid " + std::to_string(getpid()) + "\n"), std::string::npos);
  const auto lines = Lines(text.substr(text.find(childHeader)));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].min, 2u);  // the child's interval
}

TEST(HistogramLog, LoggerPassWritesItUntilSwitchedOff) {
  TempDir dir("histlog");
  PerfCntLogger logger;  // no thread: passes run here
  std::string error;
  EXPECT_FALSE(logger.SetHistogramLog(dir.path(), {}, &error));  // a directory
  EXPECT_NE(error.find(dir.path()), std::string::npos) << error;
  ASSERT_TRUE(logger.SetHistogramLog(dir.Path("sub/l.hlog"), {}, &error)) << error;
  logger.GetPerfCounters()->GetCounter("op")->AddSample(CTimeInterval(5));
  logger.LogPerfStats();
  ASSERT_EQ(Lines(ReadFile(dir.Path("sub/l.hlog"))).size(), 1u);
  ASSERT_TRUE(logger.SetHistogramLog("", {}, &error));
  logger.GetPerfCounters()->GetCounter("op")->AddSample(CTimeInterval(5));
  logger.LogPerfStats();
  EXPECT_EQ(Lines(ReadFile(dir.Path("sub/l.hlog"))).size(), 1u);
}

}  // namespace
