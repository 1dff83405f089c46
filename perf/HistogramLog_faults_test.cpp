// The histogram log under file faults: every call of a pass (and of a
// rotation) failed in turn with each fault, or the writing process killed
// there; what was accepted is never lost and every file stays readable.

#include "HistogramLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <zrperf/perf/internal/HistogramLogFormat.h>
#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/FaultCause.h>
#include <zrperf/tests/support/FileFaults.h>
#include <zrperf/tests/support/TempDir.h>

namespace {

using zrperf_test::FaultName;
using zrperf_test::FaultyFiles;
using zrperf_test::FileFault;
using zrperf_test::TempDir;
using Counters = CHistogramLog::CounterList;
using Sums = std::map<std::string, std::uint64_t>;

constexpr int kCounters = 12;

// The log files of `dir` (the current one and the rotated ones).
std::vector<std::string> LogFiles(const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind("h.", 0) == 0) files.push_back(entry.path());
  }
  return files;
}

// Adds each file's interval counts to *sums and returns its torn lines.
// Every line must parse, but for a line torn by a full disk, which must be
// followed by a header block (or end the file): a reader skips it.
int AddCounts(const std::string& file, Sums* sums) {
  int torn = 0;
  std::istringstream in(zrperf_test::ReadFile(file));
  std::string line;
  bool tornBefore = false;
  while (std::getline(in, line)) {
    if (tornBefore) {
      EXPECT_EQ(line.rfind(zrperf::histlog::kMagic, 0), 0u) << file << ": after a torn line";
    }
    tornBefore = false;
    if (line.empty() || line[0] == '#') continue;
    zrperf::histlog::IntervalLine parsed;
    std::string why;
    if (zrperf::histlog::ParseLine(line, &parsed, &why)) {
      (*sums)[parsed.name] += parsed.count;
    } else {
      tornBefore = true;
      ++torn;
    }
  }
  return torn;
}

Sums CountsIn(const std::string& dir, int* torn = nullptr) {
  Sums sums;
  int lines = 0;
  for (const std::string& file : LogFiles(dir)) lines += AddCounts(file, &sums);
  if (torn != nullptr) *torn = lines;
  return sums;
}

Counters MakeCounters() {
  Counters counters;
  for (int i = 0; i < kCounters; ++i) {
    counters.emplace_back("lun" + std::to_string(i) + ".write",
                          boost::shared_ptr<CTimeCounter>(new CTimeCounter()));
  }
  return counters;
}

void RecordOneEach(const Counters& counters) {
  for (const auto& c : counters) c.second->AddSample(CTimeInterval(1000 + 7 * c.first.size()));
}

TEST(HistogramLogFaults, EveryCallOfAPassFailedInTurnLosesNoSampleAndLeavesEveryFileReadable) {
  struct Setting {
    const char* what;
    HistogramLogOptions options;
    long walked;  // calls of one pass when nothing fails
  };
  // A pass that appends (IsTorn's read, the write), and one that rotates
  // first (the read, the removal of the oldest, three renames, the open
  // that finds no file and the one that creates it, the close of the old
  // file, the write).
  const Setting settings[] = {{"appending", {64ull << 20, 3}, 2}, {"rotating", {1, 3}, 9}};
  const FileFault faults[] = {FileFault::kNoSpace,  FileFault::kIo,         FileFault::kInterrupt,
                              FileFault::kFileSize, FileFault::kShortWrite, FileFault::kDiskFull};
  for (const Setting& setting : settings) {
    for (const FileFault fault : faults) {
      SCOPED_TRACE(std::string(setting.what) + ", " + FaultName(fault));
      TempDir dir("zrhlf");
      zrperf_test::ScopedSink sink(0);
      std::string error;
      std::unique_ptr<CHistogramLog> log =
          CHistogramLog::Open(dir.Path("h.log"), setting.options, &error);
      ASSERT_TRUE(log) << error;
      FaultyFiles files(dir.path());
      const Counters counters = MakeCounters();
      std::uint64_t recorded = 0;
      Sums removed;  // counts in rotated files the test took away
      double now = 1.7e9;
      const long walked = zrperf_test::WalkFaults(
          files, fault,
          [&] {
            RecordOneEach(counters);
            ++recorded;
            return log->WritePass(counters, now += 1);
          },
          [&](long n, bool ok) {
            // The failure, if any, reported once and with its cause.
            const std::vector<zrperf_test::Record> records = sink->Records();
            EXPECT_LE(records.size(), 1u) << "call " << n;
            EXPECT_TRUE(ok || records.size() == 1) << "call " << n;
            // An interrupted call is made again, a short write continued.
            EXPECT_TRUE(ok || (fault != FileFault::kInterrupt && fault != FileFault::kShortWrite))
                << "call " << n;
            for (const auto& r : records) {
              EXPECT_EQ(r.level, -1);
              EXPECT_NE(r.message.find(zrperf_test::FaultCause(fault)), std::string::npos)
                  << r.message;
            }
            sink->Clear();
            // The test takes the oldest kept file away before each pass, so
            // that no rotation deletes a file: one that does shows as lost.
            const auto takeOldest = [&] {
              const std::string oldest = dir.Path("h.3.log");
              if (!std::filesystem::exists(oldest)) return;
              AddCounts(oldest, &removed);
              std::filesystem::remove(oldest);
            };
            takeOldest();
            // The next pass recovers and reports nothing.
            EXPECT_TRUE(log->WritePass(counters, now += 1)) << "call " << n;
            EXPECT_TRUE(sink->Records().empty()) << "call " << n;
            // Every sample is in the files once, and (the writer holding
            // the file's lock) a cut line was cut back: none is torn.
            int torn = 0;
            Sums sums = CountsIn(dir.path(), &torn);
            EXPECT_EQ(torn, 0) << "call " << n;
            for (const auto& c : counters) {
              EXPECT_EQ(sums[c.first] + removed[c.first], recorded) << c.first << ", call " << n;
            }
            takeOldest();
          });
      EXPECT_EQ(walked, setting.walked);
    }
  }
}

TEST(HistogramLogFaults, ALineTornWithoutTheLockIsEndedAndFollowedByAHeaderBlock) {
  // Another process holds the file's lock, so the pass writes without it and
  // cannot cut its torn line back: the next write ends the line and starts a
  // header block, and the cut counters' samples come in that write's lines.
  TempDir dir("zrhlt");
  zrperf_test::ScopedSink sink(0);
  std::unique_ptr<CHistogramLog> log = CHistogramLog::Open(dir.Path("h.log"), {}, nullptr);
  ASSERT_TRUE(log);
  const int holder = ::open(dir.Path("h.log").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  Counters counters = MakeCounters();
  counters.emplace_back("z", boost::shared_ptr<CTimeCounter>(new CTimeCounter()));  // cut mid-line
  RecordOneEach(counters);
  {
    FaultyFiles files(dir.path());
    files.Arm(2, FileFault::kDiskFull);  // the pass's write, after IsTorn's read
    EXPECT_FALSE(log->WritePass(counters, 1.7e9));
  }
  const std::string torn = zrperf_test::ReadFile(dir.Path("h.log"));
  ASSERT_EQ(std::count(torn.end() - 12, torn.end(), 10), 0);  // cut inside a line
  EXPECT_TRUE(log->WritePass(counters, 1.7e9 + 1));
  ::close(holder);
  const std::string text = zrperf_test::ReadFile(dir.Path("h.log"));
  EXPECT_EQ(text.compare(torn.size(), 2 + std::strlen(zrperf::histlog::kMagic),
                         "\n" + std::string(zrperf::histlog::kMagic) + " "),
            0);
  int tornLines = 0;
  const Sums sums = CountsIn(dir.path(), &tornLines);
  EXPECT_EQ(tornLines, 1);
  for (const auto& c : counters) EXPECT_EQ(sums.at(c.first), 1u) << c.first;
}

TEST(HistogramLogFaults, TheKernelsFileSizeLimitCutsAPassThatTheNextOneMakesGood) {
  // The real RLIMIT_FSIZE, in a child: the kernel takes the bytes up to the
  // limit, then refuses the rest with EFBIG (SIGXFSZ ignored).
  TempDir dir("zrhlr");
  const pid_t child = ::fork();
  if (child == 0) {
    zrperf_test::ScopedSink sink(0);
    std::unique_ptr<CHistogramLog> log = CHistogramLog::Open(dir.Path("h.log"), {}, nullptr);
    const Counters counters = MakeCounters();
    RecordOneEach(counters);
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlim_t unlimited = limit.rlim_cur;
    limit.rlim_cur = static_cast<rlim_t>(std::filesystem::file_size(dir.Path("h.log")) + 300);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const bool cut = log && !log->WritePass(counters, 1.7e9);
    limit.rlim_cur = unlimited;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const bool mended = log && log->WritePass(counters, 1.7e9 + 1);
    int torn = 0;
    const Sums sums = CountsIn(dir.path(), &torn);
    bool once = sums.size() == counters.size();
    for (const auto& c : counters) once = once && sums.count(c.first) && sums.at(c.first) == 1;
    const auto& records = sink->Records();
    const bool told =
        records.size() == 1 && records[0].message.find(std::strerror(EFBIG)) != std::string::npos;
    ::_exit(cut && mended && torn == 0 && once && told ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(HistogramLogFaults, AWriterKilledAtAnyCallLeavesFilesThatReadAndLosesAtMostThePassInFlight) {
  TempDir dir("zrhlk");
  const HistogramLogOptions rotating{1, 3};
  constexpr int kPasses = 3;
  zrperf_test::ScopedSink sink(0);
  int done[2];
  ASSERT_EQ(::pipe2(done, O_NONBLOCK), 0);  // the parent reads what a dead child left
  const long walked = zrperf_test::WalkKills(
      dir.path(),
      [&] {  // the child: opens the log, then passes, each told to the parent once written
        std::unique_ptr<CHistogramLog> log =
            CHistogramLog::Open(dir.Path("h.log"), rotating, nullptr);
        const Counters counters = MakeCounters();
        for (char pass = 1; log && pass <= kPasses; ++pass) {
          RecordOneEach(counters);
          if (log->WritePass(counters, 1.7e9 + pass) && ::write(done[1], &pass, 1) != 1) _exit(3);
        }
      },
      [&](long n) {
        char passes = 0;
        for (char pass; ::read(done[0], &pass, 1) == 1;) passes = pass;
        // Readable, and what was written is there: each counter's lines of
        // the passes that returned, and perhaps of the one in flight.
        const Sums sums = CountsIn(dir.path());
        for (const auto& c : MakeCounters()) {
          const auto at = sums.find(c.first);
          const std::uint64_t got = at == sums.end() ? 0 : at->second;
          EXPECT_TRUE(got == static_cast<std::uint64_t>(passes) || got == passes + 1u)
              << c.first << ": " << got << " after " << int{passes} << " passes, kill at " << n;
        }
        // A writer that comes after reads on from there.
        std::string error;
        std::unique_ptr<CHistogramLog> next =
            CHistogramLog::Open(dir.Path("h.log"), rotating, &error);
        ASSERT_TRUE(next) << error;
        const Counters counters = MakeCounters();
        RecordOneEach(counters);
        EXPECT_TRUE(next->WritePass(counters, 1.8e9));
        CountsIn(dir.path());
        std::filesystem::remove_all(dir.path());
        std::filesystem::create_directory(dir.path());
      });
  ::close(done[0]);
  ::close(done[1]);
  // The open (a try that finds no file, the create, the header's write),
  // three rotating passes of nine calls (the first rotates the header alone)
  // and the close.
  EXPECT_EQ(walked, 3 + 3 * 9 + 1);
}

}  // namespace
