// The report's reader: each form of line it refuses, torn lines of a full
// disk or a kill skipped with one warning, the files it reads and refuses,
// and its reads through the file seam.

#include <zrperf/tools/internal/ReportInput.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <zrperf/counters/TimeCounter.h>
#include <zrperf/perf/internal/HistogramLogFormat.h>
#include <zrperf/tests/support/FileFaults.h>
#include <zrperf/tests/support/TempDir.h>

namespace {

namespace histlog = zrperf::histlog;
using zrperf_test::TempDir;

// The example line of docs/histogram-log.md, its fields.
const std::vector<std::string> kFields = {"1765000060.000000", "60.000121", "disk0.read", "304",
                                          "4446866",           "1660",      "15000",      "0",
                                          "rAEDAAEwrAI"};

// The example line with field `k` replaced by `value`.
std::string With(std::size_t k, const std::string& value) {
  std::string line;
  for (std::size_t f = 0; f < kFields.size(); ++f)
    line += (f == 0 ? "" : "\t") + (f == k ? value : kFields[f]);
  return line;
}

// A writer's header block (7 lines), then `passes` lines of counter "op".
std::string Log(int passes, const std::string& host = "h", double t0 = 1765000000) {
  std::string text = histlog::HeaderText(host, 1, t0);
  CTimeCounter counter;
  for (int pass = 0; pass < passes; ++pass) {
    counter.AddSample(CTimeInterval(1000 + 7 * pass));
    histlog::AppendLine(text, t0 + 60 * (pass + 1), 60, "op", counter.GetSnapshot());
  }
  return text;
}

struct Read {
  bool ok = false;
  std::string error;
  zrreport::Dataset data;
};

Read ReadLog(const std::string& text) {
  Read r;
  r.ok = zrreport::ReadText("x.hlog", text, &r.data, &r.error);
  return r;
}

std::string Warnings(const zrreport::Dataset& data) {
  std::string all;
  for (const std::string& w : data.warnings) all += w + "\n";
  return all;
}

// Each form of line the reader refuses, with its reason: skipped as torn with
// the file's one warning, between two lines that are read; and the forms just
// inside each rule, which parse.
TEST(ReportInput, EachRefusedLineFormIsSkippedAsTornBetweenLinesThatAreRead) {
  // The field (9: the whole line), the reason and the values that give it.
  const std::tuple<std::size_t, const char*, std::vector<std::string>> refused[] = {
      {8, "expected 9 tab-separated fields", {"-\tx"}},
      {9, "expected 9 tab-separated fields", {"1\t1\tc\t1\t1\t1\t1\t1"}},  // a whole line
      {0,
       "bad time field",  // 11 digits: the start of a cut line glued to the next one
       {"", ".5", "1.", "1.0.0", "1e9", "-1", "1.1234567", "17650000600.000000"}},
      {1, "bad time field", {"", "1.1234567", "000000000000000001.000000", "inf"}},  // 25 chars
      {2, "empty counter name", {""}},
      {3,
       "bad number field",  // 2^64, 21 digits
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
  const std::string before = Log(1), after = With(0, "1765000200.000000");
  for (const auto& [field, why, values] : refused) {
    for (const std::string& value : values) {
      const std::string line = field == 9 ? value : With(field, value);
      histlog::IntervalLine parsed;
      std::string reason;
      EXPECT_FALSE(histlog::ParseLine(line, &parsed, &reason)) << line;
      EXPECT_EQ(reason, why) << line;
      const Read r = ReadLog(before + line + "\n" + after + "\n");
      ASSERT_TRUE(r.ok) << line << ": " << r.error;
      EXPECT_EQ(r.data.intervals.size(), 2u) << line;
      EXPECT_EQ(Warnings(r.data), "x.hlog:9: skipped a torn line (" + std::string(why) + ")\n");
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

// The header's rules: what makes a file a histogram log, what refuses it,
// and which cut header lines are torn.
TEST(ReportInput, HeaderLinesDecideTheKindOfFileAndCutOnesAreTorn) {
  const std::string good = Log(1), line = Log(2).substr(good.size());
  const std::size_t magic = good.find('\n') + 1;
  // The text, and the fault ("" when read) or the warning.
  const std::pair<std::string, std::string> cases[] = {
      {"", "x.hlog: empty file"},
      {"hello\n", "x.hlog: not a zrperf histogram log (its first line is not"},
      {"#zrperf-histogram-logs 1\n" + good.substr(magic), "x.hlog: not a zrperf histogram log"},
      {"#zrperf-histogram-log 2\n" + good.substr(magic),
       "x.hlog:1: histogram log format version '2'"},
      {"#zrperf-histogram-log\n" + good.substr(magic), "x.hlog:1: histogram log format version ''"},
      {good + "#zrperf-histogram-log 12\n", "x.hlog:9: histogram log format version '12'"},
      {good + "#buckets schema=3 index=-372..208 zero=0\n", "x.hlog:9: unknown bucket layout"},
      {good + "#buckets schema=4 index=-372..208 zero=0 \n", "x.hlog:9: unknown bucket layout"},
      {good + "#unit 1us\n", "x.hlog:9: unknown unit '1us'"},
      {good + "#unit 100ns0\n", "x.hlog:9: unknown unit"},
      {good + "\n#note\n" + line, ""},
      {good + "#zrperf-histogram-log\n" + line,
       "x.hlog:9: skipped a torn line (a header line cut short)"},
      {good + "#zrperf-histogram-log \n" + line,
       "x.hlog:9: skipped a torn line (a header line cut short)"},
      {good + "#buckets schema=4 ind\n" + line,
       "x.hlog:9: skipped a torn line (a header line cut short)"},
      {good + "#buckets\n" + line, "x.hlog:9: skipped a torn line (a header line cut short)"},
      {good + "#unit 100\n" + line, "x.hlog:9: skipped a torn line (a header line cut short)"},
      {good + line.substr(0, line.size() - 1), "x.hlog:9: skipped a torn line (no line feed)"},
      {good + "x\n" + line + "y\n\nz",
       "x.hlog:9: skipped a torn line (expected 9 tab-separated fields); 2 more skipped, the last "
       "at line 13"},
  };
  for (const auto& [text, says] : cases) {
    const Read r = ReadLog(text);
    const bool read = says.empty() || says.find("skipped") != std::string::npos;
    EXPECT_EQ(r.ok, read) << text << r.error;
    EXPECT_EQ((read ? Warnings(r.data) : r.error).rfind(says, 0), 0u)
        << text << "\n"
        << r.error << Warnings(r.data);
    EXPECT_TRUE(!read || says.empty() == r.data.warnings.empty()) << text;
  }
  // A block whose first line was cut is a writer of its own all the same
  // (here after a block of no lines, whose host it must leave alone).
  const Read r = ReadLog(Log(0) + "#zrperf-histogram-log\n#host b\n" + line);
  ASSERT_EQ(r.data.sources.size(), 2u);
  EXPECT_EQ(r.data.sources[0].host, "h");
  EXPECT_EQ(r.data.sources[r.data.intervals.back().source].host, "b");
}

// A write cut at any byte by a full disk (or a kill), followed by the same
// writer's next lines, another writer's header block, or glued to the next
// line (a writer that did not see the cut): only the cut line (and a line
// glued to it) is lost, with one warning; the other writer is a source of
// its own.
TEST(ReportInput, ATornLineAtAnyByteLosesOnlyItselfWhateverFollowsIt) {
  const std::string log = Log(4), head = Log(1), other = Log(2, "other", 1765000300);
  const std::size_t cutStart = head.size();
  const std::string cutLine = Log(2).substr(cutStart);
  const std::string rest = log.substr(Log(2).size());  // two whole lines
  const std::size_t bucketsAt = cutLine.rfind('\t') + 1;
  for (std::size_t cut = 1; cut + 1 < cutLine.size(); ++cut) {
    const std::string torn = head + cutLine.substr(0, cut);
    const std::pair<std::string, std::size_t> cases[] = {
        {torn + "\n" + rest, 3},   // the writer's line feed after a torn end
        {torn + "\n" + other, 3},  // another writer's block
        {torn + rest, 2},          // glued to the next line
        {torn + other, 3},         // glued to another writer's block
    };
    for (const auto& [text, whole] : cases) {
      const Read r = ReadLog(text);
      ASSERT_TRUE(r.ok) << cut << ": " << r.error;
      if (cut < bucketsAt) {
        EXPECT_EQ(r.data.intervals.size(), whole) << cut << "\n" << text;
        ASSERT_EQ(r.data.warnings.size(), 1u) << cut << "\n" << text;
        EXPECT_EQ(r.data.warnings[0].rfind("x.hlog:9: skipped a torn line (", 0), 0u);
      } else {
        // A bucket field cut where what is left still decodes reads as the
        // interval without its last buckets.
        EXPECT_EQ(r.data.intervals.size() + r.data.warnings.size(), whole + 1) << cut;
      }
      // Another writer's lines are its own, whether its block's first line
      // was kept or glued to the torn line.
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

// Which paths are read: a file and its rotated files, oldest first, up to the
// first one missing; a file named twice (or through a link) once; a missing
// file, one that is not regular and a file of neither kind are refused; a
// file is read as far as it reached when opened, through the file seam.
TEST(ReportInput, InputsAreRegularFilesWithTheirRotatedFilesReadOnceToTheirSizeWhenOpened) {
  TempDir dir("input");
  const auto write = [&](const std::string& name, double t0) {
    return dir.Write(name, Log(1, name, t0));
  };
  const std::string log = write("a.hlog", 1765000300);
  write("a.1.hlog", 1765000200);
  write("a.2.hlog", 1765000100);
  write("a.4.hlog", 1765000000);  // after a gap: not read
  std::filesystem::create_symlink(log, dir.Path("link.hlog"));
  write("b", 1765000400);
  std::filesystem::create_directory(dir.Path("b.1"));  // not a file: ends b's rotated files
  write("b.2", 1765000500);
  ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0600), 0);
  // The paths, and the hosts read in order or the fault.
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{log}, "a.2.hlog a.1.hlog a.hlog "},
      {{log, dir.Path("./a.hlog"), dir.Path("link.hlog"), dir.Path("a.1.hlog")},
       "a.2.hlog a.1.hlog a.hlog "},
      {{dir.Path("b")}, "b "},
      {{dir.Path("b"), log}, "a.2.hlog a.1.hlog a.hlog b "},
      {{dir.Path("none")}, dir.Path("none") + ": cannot be read: No such file or directory"},
      {{dir.Path("fifo")}, dir.Path("fifo") + ": cannot be read: a FIFO, not a regular file"},
      {{dir.Path("b.1")}, dir.Path("b.1") + ": cannot be read: a directory, not a regular file"},
      {{"/dev/zero"}, "/dev/zero: cannot be read: a character device, not a regular file"},
      {{dir.Write("c", "hello\n")}, dir.Path("c") + ": not a zrperf histogram log"},
      {{log, dir.Path("none")}, dir.Path("none") + ": cannot be read"},
  };
  for (const auto& [paths, says] : cases) {
    zrreport::Dataset data;
    std::string error, hosts;
    const bool ok = zrreport::ReadInputs(paths, &data, &error);
    for (const zrreport::Interval& i : data.intervals) hosts += data.sources[i.source].host + " ";
    EXPECT_EQ(ok ? hosts : error.substr(0, says.size()), says) << paths[0];
  }

  // The file grows while it is read: each read appends another pass.
  struct Growing : zrperf_test::FaultyFiles {
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
  growing.path = dir.Write("g.hlog", Log(3));
  zrreport::Dataset data;
  std::string error;
  ASSERT_TRUE(zrreport::ReadInputs({growing.path}, &data, &error)) << error;
  EXPECT_EQ(data.intervals.size(), 3u);
  EXPECT_GE(growing.reads, 3);
  EXPECT_TRUE(data.warnings.empty());

  // Every returned fault at every call of the read: a retried interruption
  // and a short read lose nothing; any other fault fails naming the file.
  zrperf_test::FaultyFiles files(dir.path());
  const std::string path = dir.Write("f.hlog", Log(3));
  const int errors[] = {ENOSPC, EIO, EINTR, EFBIG, 0};
  for (const zrperf_test::FileFault fault : zrperf_test::kReturnedFaults) {
    const bool lossless =
        fault == zrperf_test::FileFault::kInterrupt || fault == zrperf_test::FileFault::kShortWrite;
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
