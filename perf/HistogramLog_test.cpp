#include "HistogramLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <zrperf/perf/internal/HistogramLogFormat.h>
#include <zrperf/tests/support/CapturingSink.h>
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

// Each test's directory, and the error of its last Open().
class HistogramLog : public ::testing::Test {
 protected:
  TempDir dir{"histlog"};
  std::string error;
};

TEST_F(HistogramLog, WritesALineOnlyForCountersThatGainedSamplesAndForkedChildrenTheirOwn) {
  auto log = CHistogramLog::Open(dir.Path("h.hlog"), {}, &error);
  ASSERT_TRUE(log) << error;
  Counters counters = {{"a", NewCounter()}, {"b", NewCounter()}, {"idle", NewCounter()}};
  counters[0].second->AddSample(CTimeInterval(10));
  counters[1].second->AddSample(CTimeInterval(20));
  ASSERT_TRUE(log->WritePass(counters, 100.0));
  for (long long units : {0, 30}) counters[0].second->AddSample(CTimeInterval(units));
  ASSERT_TRUE(log->WritePass(counters, 160.5));
  const std::size_t size = ReadFile(dir.Path("h.hlog")).size();
  ASSERT_TRUE(log->WritePass(counters, 220.0));  // nothing new: nothing written
  EXPECT_EQ(ReadFile(dir.Path("h.hlog")).size(), size);
  // A counter replaced under its name (the set's Reset()) starts over whole.
  counters[1].second = NewCounter();
  counters[1].second->AddSample(CTimeInterval(40));
  ASSERT_TRUE(log->WritePass(counters, 280.0));

  const auto lines = Lines(ReadFile(dir.Path("h.hlog")));
  std::vector<std::string> names;
  for (const auto& line : lines) names.push_back(line.name);
  ASSERT_EQ(names, (std::vector<std::string>{"a", "b", "a", "b"}));
  // The interval's samples only: end, count, zero count, total.
  EXPECT_EQ(std::make_tuple(lines[2].end, lines[2].count, lines[2].zero, lines[2].total),
            std::make_tuple(160.5, 2u, 1u, 30u));
  EXPECT_EQ(lines[3].count, 1u);
  EXPECT_EQ(lines[3].min, 40u);

  // A forked child writes under a header of its own.
  const pid_t child = zrperf_test::ForkTogether(1, [&](int) {
    counters[0].second->AddSample(CTimeInterval(2));
    return log->WritePass(counters, 300.0) ? 0 : 1;
  })[0];
  ASSERT_TRUE(zrperf_test::ExitedCleanly({child}));
  const std::string text = ReadFile(dir.Path("h.hlog"));
  const std::string childHeader = "#pid " + std::to_string(child) + "\n";
  ASSERT_NE(text.find(childHeader), std::string::npos) << text;
  const auto childLines = Lines(text.substr(text.find(childHeader)));
  ASSERT_EQ(childLines.size(), 1u);
  EXPECT_EQ(childLines[0].min, 2u);  // the child's interval
}

TEST_F(HistogramLog, RacingRecordersAndPassesAddUpExactly) {
  auto log = CHistogramLog::Open(dir.Path("race.hlog"), {}, &error);
  Counters counters = {{"x", NewCounter()}, {"y", NewCounter()}};
  constexpr int kRecorders = 3, kSamples = 20000;
  std::atomic<int> recording{kRecorders};
  zrperf_test::RunTogether(kRecorders + 1, [&](int thread) {
    if (thread == kRecorders) {
      for (double t = 1; recording.load() > 0; ++t) log->WritePass(counters, t);
      return;
    }
    for (int i = 0; i < kSamples; ++i)
      counters[i % 2].second->AddSample(CTimeInterval((i * 7919 + thread) % 100000));
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
  EXPECT_EQ(logged, inBuckets);
}

TEST_F(HistogramLog, RotatesBySizeKeepingFiveOlderFilesByDefault) {
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
  EXPECT_EQ(Lines(ReadFile(dir.Path("r.hlog"))).back().end, 249.0);
}

// A path where another user could have put something first: a link to a
// file of ours (even one we could not otherwise reach), a second name of one,
// a FIFO, a file of theirs. Nothing of it is written to, at the path, at the
// rotated names, or in a pass after another process moved the file away; a
// refusal in a pass is recorded once and the lines wait for the next pass.
TEST_F(HistogramLog, NeverWritesThroughWhatWasPlantedAtItsNames) {
  const std::string victim = dir.Write("victim", "secret\n");
  ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
  ASSERT_EQ(::symlink(victim.c_str(), dir.Path("link.hlog").c_str()), 0);
  ASSERT_EQ(::symlink(dir.Path("nowhere").c_str(), dir.Path("dangling.hlog").c_str()), 0);
  ASSERT_EQ(::link(victim.c_str(), dir.Path("second.hlog").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.Path("fifo.hlog").c_str(), 0600), 0);
  std::vector<std::pair<std::string, std::string>> planted = {
      {"link.hlog", "is a symbolic link"},
      {"dangling.hlog", "is a symbolic link"},
      {"second.hlog", "has another name"},
      {"fifo.hlog", "is not a regular file"}};
  if (::geteuid() == 0) {
    const std::string theirs = dir.Write("theirs.hlog", "");
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
    planted.emplace_back("theirs.hlog", "belongs to another user (owner uid 65534)");
  }
  for (const auto& [name, why] : planted) {
    EXPECT_FALSE(CHistogramLog::Open(dir.Path(name), {}, &error)) << name;
    EXPECT_NE(error.find(dir.Path(name) + " " + why), std::string::npos) << error;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.Path("nowhere")));

  // Links planted at the rotated names are replaced, never followed.
  HistogramLogOptions options;
  options.maxBytes = 1000;
  options.keptFiles = 2;
  for (const char* name : {"r.1.hlog", "r.2.hlog"})
    ASSERT_EQ(::symlink(victim.c_str(), dir.Path(name).c_str()), 0);
  const mode_t umask = ::umask(022);
  auto log = CHistogramLog::Open(dir.Path("r.hlog"), options, &error);
  ::umask(umask);
  ASSERT_TRUE(log) << error;
  struct stat created;
  ASSERT_EQ(::lstat(dir.Path("r.hlog").c_str(), &created), 0);
  EXPECT_EQ(created.st_mode & 07777, 0644u);
  Counters counters = {{"c", NewCounter()}};
  for (int pass = 0; pass < 80; ++pass) {  // two rotations at least
    counters[0].second->AddSample(CTimeInterval(1));
    ASSERT_TRUE(log->WritePass(counters, pass));
  }
  EXPECT_TRUE(
      std::filesystem::is_regular_file(std::filesystem::symlink_status(dir.Path("r.2.hlog"))));

  // Another process moved the file away and a link took its name.
  zrperf_test::ScopedSink sink;
  std::filesystem::rename(dir.Path("r.hlog"), dir.Path("moved"));
  ASSERT_EQ(::symlink(victim.c_str(), dir.Path("r.hlog").c_str()), 0);
  for (int pass = 80; pass < 83; ++pass) {
    counters[0].second->AddSample(CTimeInterval(1));
    EXPECT_FALSE(log->WritePass(counters, pass));
  }
  EXPECT_EQ(log->GetWriteErrorCount(), 3u);
  const auto records = sink->Records();
  ASSERT_EQ(records.size(), 1u) << "one record for the streak";
  EXPECT_EQ(records[0].level, -1);
  EXPECT_NE(records[0].message.find(dir.Path("r.hlog") + " is a symbolic link"), std::string::npos)
      << records[0].message;
  std::filesystem::remove(dir.Path("r.hlog"));
  counters[0].second->AddSample(CTimeInterval(1));
  ASSERT_TRUE(log->WritePass(counters, 83));
  const auto lines = Lines(ReadFile(dir.Path("r.hlog")));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].count, 4u) << "the refused passes' samples are in the next line";
  EXPECT_EQ(ReadFile(victim), "secret\n");
  EXPECT_EQ(ReadFile(dir.Path("moved")).find("\n80.000000\t"), std::string::npos);
  EXPECT_NE(ReadFile(dir.Path("moved")).find("\n79.000000\t"), std::string::npos);
}

// Two processes append to one path and rotate it, one writing a line a pass,
// the other twenty: each line goes to the file that the path names when it
// is written, under its writer's header, whole. So the keep policy deletes
// the oldest lines only: each counter's lines that are kept are the last of
// its passes, without a gap, the final one included; and a file is rotated
// only when it is nearly full.
TEST_F(HistogramLog, ProcessesSharingAPathLoseNoLine) {
  const std::string path = dir.Path("s.hlog");
  HistogramLogOptions options;
  options.maxBytes = 4000;  // a rotation every other pass of the larger writer
  options.keptFiles = 4;
  constexpr int kPasses = 1000, kWriters = 3;
  int done[2], last[2];
  ASSERT_TRUE(::pipe(done) == 0 && ::pipe(last) == 0);
  const std::vector<pid_t> pids = zrperf_test::ForkTogether(kWriters, [&](int w) {
    ::close(last[1]);
    auto log = CHistogramLog::Open(path, options, &error);
    Counters counters;
    for (int c = 0; c < (w == 0 ? 1 : 20); ++c)
      counters.emplace_back(std::string(1, 'a' + w) + std::to_string(c), NewCounter());
    int failed = log != nullptr ? 0 : -1;  // the first pass that failed
    for (int pass = 1; pass <= kPasses + 1; ++pass) {
      if (pass == kPasses + 1) {  // the final pass once all are done
        if (::write(done[1], "d", 1) != 1) failed = pass;
        char c;
        while (::read(last[0], &c, 1) > 0) continue;
      }
      if (failed != 0) continue;
      for (auto& counter : counters) counter.second->AddSample(CTimeInterval(pass));
      if (!log->WritePass(counters, pass) || log->GetWriteErrorCount() != 0) failed = pass;
    }
    if (failed != 0) std::fprintf(stderr, "writer %d: pass %d failed\n", w, failed);
    return failed == 0 ? 0 : 1;
  });
  char c;
  for (int w = 0; w < kWriters; ++w) ASSERT_EQ(::read(done[0], &c, 1), 1);
  ::close(last[1]);
  ASSERT_TRUE(zrperf_test::ExitedCleanly(pids));

  std::map<std::string, std::vector<int>> ends;  // per counter, the passes kept
  for (std::size_t n = 0; n <= options.keptFiles; ++n) {
    const std::string name = n == 0 ? path : zrperf::histlog::RotatedName(path, n);
    const std::string text = ReadFile(name);
    ASSERT_FALSE(text.empty()) << name;
    EXPECT_LE(text.size(), options.maxBytes) << name;
    EXPECT_TRUE(n == 0 || text.size() > options.maxBytes / 2) << name << " rotated early";
    // Each line under the header of the process that wrote it.
    std::istringstream in(text);
    std::string line;
    long pid = 0;
    while (std::getline(in, line)) {
      if (line.rfind("#pid ", 0) == 0) pid = std::stol(line.substr(5));
      if (line.empty() || line[0] == '#') continue;
      const auto parsed = Lines(line + "\n");
      ASSERT_EQ(parsed.size(), 1u);
      EXPECT_EQ(pid, pids[parsed[0].name[0] - 'a']) << name << ": " << line;
      EXPECT_EQ(parsed[0].count, 1u);
      ends[parsed[0].name].push_back(static_cast<int>(parsed[0].end));
    }
  }
  EXPECT_FALSE(std::filesystem::exists(zrperf::histlog::RotatedName(path, options.keptFiles + 1)));
  EXPECT_EQ(ends.size(), 41u);
  for (auto& [name, kept] : ends) {
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept.back(), kPasses + 1) << name;
    EXPECT_EQ(kept.back() - kept.front() + 1, static_cast<int>(kept.size()))
        << name << ": a line is missing between passes " << kept.front() << " and " << kept.back();
  }

  // Anyone who can read the file can hold its lock: a pass waits a second for
  // it, then writes without it and says so once.
  const std::string held = dir.Write("held.hlog", "");
  const int reader = ::open(held.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(::flock(reader, LOCK_SH), 0);
  zrperf_test::ScopedSink sink;
  auto log = CHistogramLog::Open(held, options, &error);
  ASSERT_TRUE(log) << error;
  Counters counters = {{"late", NewCounter()}};
  counters[0].second->AddSample(CTimeInterval(1));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(log->WritePass(counters, kPasses + 2));
  // The wait, not a speed: neither shorter nor much longer than a second.
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(waited, 1.0);
  EXPECT_LT(waited, 1.9);
  ::close(reader);
  const auto records = sink->Records();
  ASSERT_EQ(records.size(), 1u) << "one record for Open() and the pass";
  EXPECT_NE(records[0].message.find("another process has held its lock for 1 s"), std::string::npos)
      << records[0].message;
  EXPECT_EQ(Lines(ReadFile(held)).back().name, "late");
}

TEST_F(HistogramLog, LoggerPassWritesItUntilSwitchedOff) {
  PerfCntLogger logger;                                          // no thread: passes run here
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
