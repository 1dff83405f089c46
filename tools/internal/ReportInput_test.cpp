// ReportInput: every form of line and header the reader refuses or skips as torn, a write torn at
// any byte, and which paths are read (rotated files, a file once, lines of up to 1 MiB, a file as
// far as it reached when opened) under every fault of the file seam.

#include "ReportInput.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <zrperf/perf/internal/HistogramLogFormat.h>
#include <zrperf/tests/support/FileFaults.h>
#include <zrperf/tests/support/ReportLogs.h>

namespace {

using namespace zrreport_test;
using zrperf_test::FaultyFiles;
using zrperf_test::FileFault;

// Each form of line the reader refuses, with its reason: skipped as torn with the file's one
// warning, between two lines that are read; and the forms just inside each rule, which parse.
TEST(ReportInput, EachRefusedLineFormIsSkippedAsTornBetweenLinesThatAreRead) {
  // The field (9: the whole line), the reason and the values that give it.
  const std::tuple<std::size_t, const char*, std::vector<std::string>> refused[] = {
      {8, "expected 9 tab-separated fields", {"-\tx"}},
      {9, "expected 9 tab-separated fields", {"1\t1\tc\t1\t1\t1\t1\t1"}},  // a whole line
      // 11 digits: the start of a cut line glued to the next one; 25 characters
      {0,
       "bad time field",
       {"", ".5", "1.", "1.0.0", "1e9", "-1", "1.1234567", "17650000600.000000"}},
      {1, "bad time field", {"", "1.1234567", "000000000000000001.000000", "inf"}},
      {2, "empty counter name", {""}},
      // 2^64, 21 digits
      {3,
       "bad number field",
       {"", "-1", "+1", "1x", "18446744073709551616", "000000000000000000001"}},
      {4, "bad number field", {"x"}},
      {5, "bad number field", {"~", "~~1"}},
      {6, "bad number field", {"x"}},
      {7, "bad number field", {"x"}},
      {5, "minimum above maximum", {"15001"}},
      // 4n + 1 characters; not the alphabet; bits left over that are not 0
      {8, "bad base64 in the bucket field", {"", "rAEDA", "rAE=", "rB"}},
      // 0xAC, a varint that goes on; a skip without its count
      {8, "truncated bucket list", {"rA", "AA"}},
      // a count of 0; index 209; index 208, then 209
      {8, "bucket index out of range or empty bucket", {"AAA", "xQQB", "xAQBAAE"}},
  };
  const std::string before = LogText(1), after = With(0, "1765000200.000000");
  for (const auto& [field, why, values] : refused) {
    for (const std::string& value : values) {
      const std::string line = field == 9 ? value : With(field, value);
      const TextRead r = ReadLog(before + line + "\n" + after + "\n");
      ASSERT_TRUE(r.ok) << line << ": " << r.error;
      EXPECT_EQ(r.data.intervals.size(), 2u) << line;
      EXPECT_EQ(Warnings(r.data), "x.hlog:9: skipped a torn line (" + std::string(why) + ")\n")
          << line;
    }
  }
  // 24 characters; 2^64 - 1; index 208; index -372
  const std::pair<std::size_t, std::vector<std::string>> accepted[] = {
      {0, {"9999999999.999999", "1765000060", "0.5"}},
      {1, {"00000000000000001.000000"}},
      {3, {"18446744073709551615", "00000000000000000001"}},
      {5, {"~1660", "15000"}},
      {6, {"~15000"}},
      {8, {"-", "xAQB", "AAE"}}};
  for (const auto& [field, values] : accepted) {
    for (const std::string& value : values) {
      histlog::IntervalLine parsed;
      std::string reason;
      EXPECT_TRUE(histlog::ParseLine(With(field, value), &parsed, &reason)) << value << reason;
    }
  }
}

// What makes a file a histogram log, what refuses it, and which cut header lines are torn.
TEST(ReportInput, HeaderLinesDecideTheKindOfFileAndCutOnesAreTorn) {
  const std::string good = LogText(1), line = LogText(2).substr(good.size());
  const std::string rest = good.substr(good.find('\n') + 1);  // after the first line
  // The text, and the fault ("" when read) or the warning.
  std::vector<std::pair<std::string, std::string>> cases = {
      {"", "x.hlog: empty file"},
      {"hello\n", "x.hlog: not a zrperf histogram log (its first line is not"},
      {"#zrperf-histogram-logs 1\n" + rest, "x.hlog: not a zrperf histogram log"},
      {"#zrperf-histogram-log 2\n" + rest, "x.hlog:1: histogram log format version '2'"},
      {"#zrperf-histogram-log\n" + rest, "x.hlog:1: histogram log format version ''"},
      {good + "#zrperf-histogram-log 12\n", "x.hlog:9: histogram log format version '12'"},
      {good + "#buckets schema=3 index=-372..208 zero=0\n", "x.hlog:9: unknown bucket layout"},
      {good + "#buckets schema=4 index=-372..208 zero=0 \n", "x.hlog:9: unknown bucket layout"},
      {good + "#unit 1us\n", "x.hlog:9: unknown unit '1us'"},
      {good + "#unit 100ns0\n", "x.hlog:9: unknown unit"},
      {good + "\n#note\n" + line, ""},
      {good + line.substr(0, line.size() - 1), "x.hlog:9: skipped a torn line (no line feed)"},
      {good + "x\n" + line + "y\n\nz",
       "x.hlog:9: skipped a torn line (expected 9 tab-separated fields); 2 more skipped, the last "
       "at line 13"}};
  for (const char* cut : {"#zrperf-histogram-log", "#zrperf-histogram-log ",
                          "#buckets schema=4 ind", "#buckets", "#unit 100"})
    cases.push_back({good + cut + "\n" + line, "x.hlog:9: skipped a torn line (a header line cut"});
  for (const auto& [text, says] : cases) {
    const TextRead r = ReadLog(text);
    const bool read = says.empty() || says.find("skipped") != std::string::npos;
    EXPECT_EQ(r.ok, read) << text << r.error;
    EXPECT_EQ((read ? Warnings(r.data) : r.error).rfind(says, 0), 0u)
        << text << "\n"
        << r.error << Warnings(r.data);
    EXPECT_TRUE(!read || says.empty() == r.data.warnings.empty()) << text;
  }
  // A block whose first line was cut is a writer of its own (after a block of no lines, whose
  // host it leaves alone).
  const TextRead r = ReadLog(LogText(0) + "#zrperf-histogram-log\n#host b\n" + line);
  ASSERT_EQ(r.data.sources.size(), 2u);
  EXPECT_EQ(r.data.sources[0].host, "h");
  EXPECT_EQ(r.data.sources[r.data.intervals.back().source].host, "b");
}

// A write cut at any byte by a full disk (or a kill), at the file's end or followed by the same
// writer's next lines, another writer's header block, or glued to the next line (a writer that did
// not see the cut): only the cut line (and a line glued to it) is lost, with one warning; the other
// writer is a source of its own.
TEST(ReportInput, ATornLineAtAnyByteLosesOnlyItselfWhateverFollowsIt) {
  const std::string log = LogText(4), head = LogText(1), other = LogText(2, "other", kT0 + 300);
  const std::string cutLine = LogText(2).substr(head.size());
  const std::string rest = log.substr(LogText(2).size());  // two whole lines
  const std::size_t bucketsAt = cutLine.rfind('\t') + 1;
  for (std::size_t cut = 1; cut + 1 < cutLine.size(); ++cut) {
    const std::string torn = head + cutLine.substr(0, cut);
    const std::pair<std::string, std::size_t> cases[] = {
        {torn, 1},                 // the file's end
        {torn + "\n" + rest, 3},   // the writer's line feed after a torn end
        {torn + "\n" + other, 3},  // another writer's block
        {torn + rest, 2},          // glued to the next line
        {torn + other, 3},         // glued to another writer's block
    };
    for (const auto& [text, whole] : cases) {
      const TextRead r = ReadLog(text);
      ASSERT_TRUE(r.ok) << cut << ": " << r.error;
      if (cut < bucketsAt || text == torn) {
        EXPECT_EQ(r.data.intervals.size(), whole) << cut << "\n" << text;
        ASSERT_EQ(r.data.warnings.size(), 1u) << cut << "\n" << text;
        EXPECT_EQ(r.data.warnings[0].rfind("x.hlog:9: skipped a torn line (", 0), 0u);
      } else {
        // A bucket field cut where what is left decodes: the interval without its last buckets.
        EXPECT_EQ(r.data.intervals.size() + r.data.warnings.size(), whole + 1) << cut;
      }
      // Another writer's lines are its own, whether its first line was kept or glued.
      const bool others = text.find("other") != std::string::npos;
      ASSERT_EQ(r.data.sources.size(), others ? 2u : 1u) << cut << "\n" << text;
      if (others) {
        EXPECT_EQ(r.data.sources[0].host, "h");
        EXPECT_EQ(r.data.sources[1].host, "other");
        EXPECT_EQ(r.data.intervals.back().source, 1u);
      }
    }
  }
}

// Which paths are read: a file and its rotated files, oldest first, up to the first one missing (or
// not a file); a file named twice (or through a link) once; a file is read as far as it reached
// when opened, in lines of up to 1 MiB, through the file seam.
TEST(ReportInput, InputsAreRegularFilesWithTheirRotatedFilesReadOnceToTheirSizeWhenOpened) {
  TempDir dir("input");
  const auto write = [&](const std::string& name, double t0) {
    return dir.Write(name, LogText(1, name, t0));
  };
  const std::string log = write("a.hlog", kT0 + 300);
  write("a.1.hlog", kT0 + 200);
  write("a.2.hlog", kT0 + 100);
  write("a.4.hlog", kT0);  // after a gap: not read
  std::filesystem::create_symlink(log, dir.Path("link.hlog"));
  write("b", kT0 + 400);
  std::filesystem::create_directory(dir.Path("b.1"));
  write("b.2", kT0 + 500);
  // The paths, and the hosts read in order or the fault.
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{log}, "a.2.hlog a.1.hlog a.hlog "},
      {{log, dir.Path("./a.hlog"), dir.Path("link.hlog"), dir.Path("a.1.hlog")},
       "a.2.hlog a.1.hlog a.hlog "},
      {{dir.Path("b")}, "b "},
      {{dir.Path("b"), log}, "a.2.hlog a.1.hlog a.hlog b "},
      {{log, dir.Path("none")}, dir.Path("none") + ": cannot be read: No such file or directory"},
  };
  for (const auto& [paths, says] : cases) {
    zrreport::Dataset data;
    std::string error, hosts;
    const bool ok = zrreport::ReadInputs(paths, &data, &error);
    for (const zrreport::Interval& i : data.intervals) hosts += data.sources[i.source].host + " ";
    EXPECT_EQ(ok ? hosts : error.substr(0, says.size()), says) << paths[0];
  }
}

// Lines up to 1 MiB, files that grow while they are read, and every fault of a read.
TEST(ReportInput, LongLinesGrowingFilesAndReadFaultsLoseOnlyWhatTheySay) {
  TempDir dir("input");
  // A line of 1 MiB (without its line feed) is read across the reader's chunks; a longer one is
  // skipped with a warning, and the lines after it are read.
  for (const std::size_t length : {1024 * 1024, 1024 * 1024 + 1}) {
    const std::string line = With(2, std::string(length - With(2, "").size(), 'n'));
    const std::string path =
        dir.Write("long", LogText(3) + line + "\n" + With(0, "1765000300.000000") + "\n");
    const bool read = length == 1024 * 1024;
    const zrreport::Dataset data = Read({path});
    EXPECT_EQ(data.intervals.size(), read ? 5u : 4u) << length;
    EXPECT_EQ(Warnings(data), read ? "" : path + ":11: skipped a line longer than 1048576 bytes\n");
  }

  // The file grows while it is read: each read appends another pass.
  struct Growing : FaultyFiles {
    using FaultyFiles::FaultyFiles;
    ssize_t Read(int fd, void* buffer, std::size_t size) override {
      if (++reads < 100) {
        const std::string more = With(0, "1765009999.000000") + "\n";
        const int out = ::open(path.c_str(), O_WRONLY | O_APPEND);
        EXPECT_EQ(::write(out, more.data(), more.size()), static_cast<ssize_t>(more.size()));
        ::close(out);
      }
      return FaultyFiles::Read(fd, buffer, size < 100 ? size : 100);
    }
    std::string path;
    int reads = 0;
  } growing(dir.path());
  growing.path = dir.Write("g.hlog", LogText(3));
  const zrreport::Dataset grown = Read({growing.path});
  EXPECT_EQ(grown.intervals.size(), 3u);
  EXPECT_GE(growing.reads, 3);
  EXPECT_TRUE(grown.warnings.empty());

  // Every returned fault at every call: an interruption (retried) or a short read loses nothing;
  // any other fault fails naming the file.
  FaultyFiles files(dir.path());
  const std::string path = dir.Write("f.hlog", LogText(3));
  const int errors[] = {ENOSPC, EIO, EINTR, EFBIG, 0};
  for (const FileFault fault : zrperf_test::kReturnedFaults) {
    const bool lossless = fault == FileFault::kInterrupt || fault == FileFault::kShortWrite;
    const long walked = zrperf_test::WalkFaults(
        files, fault,
        [&] {
          zrreport::Dataset data;
          std::string error;
          const bool ok = zrreport::ReadInputs({path}, &data, &error);
          EXPECT_TRUE(ok ? data.intervals.size() == 3
                         : error.rfind(path + ": ", 0) == 0 &&
                               error.find(std::strerror(errors[static_cast<int>(fault)])) !=
                                   std::string::npos)
              << error;
          return ok;
        },
        // A close that fails after the whole file was read loses nothing.
        [&](long n, bool ok) {
          EXPECT_EQ(ok, lossless || n == 3) << FaultName(fault) << " at call " << n;
        });
    EXPECT_EQ(walked, 3) << FaultName(fault);  // open, read, close
  }
}

}  // namespace
