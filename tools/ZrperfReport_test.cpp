// zrperf-report: its reader and output files under every fault of the file seam; on logs the
// library wrote, exact merges, windows, every output's text forms, plots, compare, check and HTML;
// hostile names, inputs, command lines and output paths, most through the real command.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#if defined(ZRPERF_TEST_HAVE_PNG)
#include <png.h>
#endif
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <zrperf/counters/internal/DurationText.h>
#include <zrperf/perf/HistogramLog.h>
#include <zrperf/perf/internal/HistogramLogFormat.h>
#include <zrperf/tests/support/FileFaults.h>
#include <zrperf/tests/support/RunTogether.h>
#include <zrperf/tests/support/TempDir.h>
#include <zrperf/tools/internal/Check.h>
#include <zrperf/tools/internal/Compare.h>
#include <zrperf/tools/internal/Csv.h>
#include <zrperf/tools/internal/Gnuplot.h>
#include <zrperf/tools/internal/Html.h>
#include <zrperf/tools/internal/Options.h>
#include <zrperf/tools/internal/OutputFile.h>
#include <zrperf/tools/internal/Plot.h>
#include <zrperf/tools/internal/ReportInput.h>
#include <zrperf/tools/internal/ReportText.h>
#include <zrperf/tools/internal/Summary.h>
#include <zrperf/util/internal/RecordText.h>
#include <zrperf/util/internal/Utf8.h>

namespace {

namespace histlog = zrperf::histlog;
using zrperf_test::FaultyFiles;
using zrperf_test::FileFault;
using zrperf_test::ReadFile;
using zrperf_test::TempDir;
using zrperf_test::WriteFile;
using Counters = CHistogramLog::CounterList;

constexpr double kT0 = 1765000000.0;  // the first pass's Unix time

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
std::string LogText(int passes, const std::string& host = "h", double t0 = kT0) {
  std::string text = histlog::HeaderText(host, 1, t0);
  CTimeCounter counter;
  for (int pass = 0; pass < passes; ++pass) {
    counter.AddSample(CTimeInterval(1000 + 7 * pass));
    histlog::AppendLine(text, t0 + 60 * (pass + 1), 60, "op", counter.GetSnapshot());
  }
  return text;
}

// An ordinary log with one "Interval Stats" record whose first line starts with `fields`.
std::string Record(const std::string& fields) {
  return "2026-12-07 01:50:00.250 [info] [42:43] [void CPerfCounters::Log():40] Interval Stats: "
         "\n\t\t\t\t" +
         fields + " mean=1.26ms p50=1.21ms p90=1.66ms p99=2.30ms p99.9=4.10ms max=12.50ms\n";
}

struct TextRead {
  bool ok = false;
  std::string error;
  zrreport::Dataset data;
};

TextRead ReadLog(const std::string& text) {
  TextRead r;
  r.ok = zrreport::ReadText("x.hlog", text, &r.data, &r.error);
  return r;
}

std::string Warnings(const zrreport::Dataset& data) {
  std::string all;
  for (const std::string& w : data.warnings) all += w + "\n";
  return all;
}

zrreport::Dataset Read(const std::vector<std::string>& paths) {
  zrreport::Dataset data;
  std::string error;
  EXPECT_TRUE(zrreport::ReadInputs(paths, &data, &error)) << error;
  return data;
}

// Durations from 0 to about 10 s, even over the logarithm: every decade's buckets fill.
std::vector<long long> Samples(unsigned seed, int n) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> exponent(0.0, 8.0);
  std::vector<long long> out;
  for (int i = 0; i < n; ++i)
    out.push_back(i % 97 == 0 ? 0 : static_cast<long long>(std::pow(10.0, exponent(random))));
  return out;
}

void Feed(const std::vector<CTimeCounter*>& counters, const std::vector<long long>& samples) {
  for (long long s : samples)
    for (CTimeCounter* counter : counters) counter->AddSample(CTimeInterval(s));
}

// Adds `n` samples of `units` (100 ns each) to the counter `k` of a log's counters.
void Add(Counters& counters, std::size_t k, long long units, int n = 1) {
  for (int i = 0; i < n; ++i) counters[k].second->AddSample(CTimeInterval(units));
}

CTimeCounterSnapshot MergeAll(const zrreport::Dataset& data, const std::string& name) {
  CTimeCounterSnapshot merged;
  for (const zrreport::Interval& i : data.intervals)
    if (i.name == name) merged.Merge(i.Snapshot());
  return merged;
}

// Checks that `merged` has the buckets and totals of `ref` (and so its percentiles).
void ExpectSameHistogram(const CTimeCounterSnapshot& merged, const CTimeCounterSnapshot& ref) {
  EXPECT_EQ(merged.GetCount(), ref.GetCount());
  EXPECT_EQ(merged.GetTotal().Get100ns(), ref.GetTotal().Get100ns());
  EXPECT_EQ(merged.GetZeroCount(), ref.GetZeroCount());
  ASSERT_EQ(merged.GetBuckets().size(), ref.GetBuckets().size());
  for (std::size_t b = 0; b < ref.GetBuckets().size(); ++b) {
    const auto &m = merged.GetBuckets()[b], &r = ref.GetBuckets()[b];
    EXPECT_EQ(std::tie(m.index, m.count, m.low, m.high), std::tie(r.index, r.count, r.low, r.high));
  }
}

// Writes `passes` passes, a minute apart from kT0, each after feed(counters, pass); its path.
std::string WriteLog(const TempDir& dir, const std::string& file,
                     const std::vector<std::string>& names, int passes,
                     const std::function<void(Counters&, int)>& feed) {
  std::string error;
  auto log = CHistogramLog::Open(dir.Path(file), {}, &error);
  EXPECT_TRUE(log) << error;
  Counters counters;
  for (const std::string& name : names)
    counters.emplace_back(name, boost::shared_ptr<CTimeCounter>(new CTimeCounter()));
  for (int pass = 0; log && pass < passes; ++pass) {
    feed(counters, pass);
    EXPECT_TRUE(log->WritePass(counters, kT0 + 60 * pass));
  }
  return dir.Path(file);
}

// Two passes of a counter per name, each with a few samples.
std::string LogOf(const TempDir& dir, const std::string& file,
                  const std::vector<std::string>& names) {
  return WriteLog(dir, file, names, 2, [](Counters& counters, int pass) {
    for (auto& c : counters)
      for (long long s : {10, 2000, 300000}) c.second->AddSample(CTimeInterval(s + pass));
  });
}

// Two counters over twenty passes.
std::string PlotDataLog(const TempDir& dir) {
  return WriteLog(dir, "p.hlog", {"disk.read", "disk.write"}, 20, [](Counters& counters, int pass) {
    for (auto& c : counters) Feed({c.second.get()}, Samples(pass * 7 + c.first.size(), 3000));
  });
}

// Replaces the value of the file's "#host" line with `host` as it stands.
void SetHostLine(const std::string& path, const std::string& host) {
  std::string text = ReadFile(path);
  const std::size_t at = text.find("#host ") + 6;
  text.replace(at, text.find('\n', at) - at, host);
  WriteFile(path, text);
}

// Sets the interval length of every line of the log at `path` to `seconds` (the writer measures
// the real time between its passes; a test's passes are a moment apart, stamped a minute apart).
void SetLengths(const std::string& path, const std::string& seconds) {
  std::istringstream in(ReadFile(path));
  std::string text;
  for (std::string line; std::getline(in, line);) {
    const std::size_t tab = line.find('\t');
    if (line[0] != '#' && tab != std::string::npos)
      line = line.substr(0, tab + 1) + seconds + line.substr(line.find('\t', tab + 1));
    text += line + "\n";
  }
  WriteFile(path, text);
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Whether `text` holds `what`; either way the message shows `what` and the start of `text`.
testing::AssertionResult Has(const std::string& text, const std::string& what) {
  return (text.find(what) != std::string::npos ? testing::AssertionSuccess()
                                               : testing::AssertionFailure())
         << "'" << what << "' in:\n"
         << text.substr(0, 4000);
}

std::ptrdiff_t Entries(const std::string& dir) {
  return std::distance(std::filesystem::directory_iterator(dir),
                       std::filesystem::directory_iterator());
}

mode_t KindAt(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

std::string Micros(CTimeInterval value) {
  const long long units = value.Get100ns();
  return std::to_string(units / 10) + "." + std::to_string(units % 10);
}

struct ToolRun {
  int status = -1;  // the exit status; -1 when killed
  std::string out, err;
};

// Runs the command with `arguments` (shell words); a hang ends after a minute (exit status 124).
ToolRun Tool(const TempDir& dir, const std::string& arguments) {
  const std::string out = dir.Path(".tool-out"), err = dir.Path(".tool-err");
  const std::string command = "exec timeout 60 " + std::string(ZRPERF_REPORT_BINARY) + " " +
                              arguments + " >" + out + " 2>" + err;
  const int status = std::system(command.c_str());
  const ToolRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return run;
}

// Unicode's format characters (general category Cf, Unicode 15.0) and the line and paragraph
// separators: invisible, or reordering the text around them.
constexpr std::pair<char32_t, char32_t> kFormatCharacters[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F}};

std::string Utf8(char32_t c) {
  if (c < 0x80) return std::string(1, static_cast<char>(c));
  const int tail = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  const unsigned char lead[] = {0, 0xC0, 0xE0, 0xF0};
  std::string out(1, static_cast<char>(lead[tail] | (c >> (6 * tail))));
  for (int k = tail - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  return out;
}

// True when `text` is safe on a terminal: well-formed UTF-8 with no control character (C0, DEL or
// C1) other than the line feeds between lines (and, with `tabs`, tabs), and no format character.
bool TerminalSafe(const std::string& text, bool tabs = false) {
  if (!zrperf::IsUtf8(text)) return false;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n' && !(tabs && c == '\t')) || c == 0x7F) return false;
    const std::size_t length = zrperf::Utf8SequenceAt(text, i);
    char32_t code = length == 1 ? c : c & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k)
      code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    if (code >= 0x80 && code <= 0x9F) return false;
    for (const auto& [first, last] : kFormatCharacters)
      if (code >= first && code <= last) return false;
    i += length;
  }
  return true;
}

// `text` as read by a strict JSON reader (RFC 8259: well-formed UTF-8, no raw control byte in a
// string, no NaN or Infinity); a text that is not one JSON value fails the test.
nlohmann::json Json(const std::string& text) {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    ADD_FAILURE() << e.what() << " in:\n" << text.substr(0, 4000);
    return nlohmann::json::value_t::discarded;
  }
}

// The name whose shown form a JSON string holds.
std::string Unshown(const nlohmann::json& value) {
  return zrperf::UnescapeRecordText(value.get<std::string>());
}

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

// What is found at the target's name decides: a character device is written in place, a link to a
// regular file (or to nothing) is replaced, anything else is refused; and none of them is replaced.
TEST(OutputFile, NonRegularTargetsAreWrittenInPlaceOrRefusedAndNeverReplaced) {
  TempDir dir("output");
  const std::string path = dir.path() + "/";
  // Device nodes of the test's own; where it may make none, the system's, but only where /dev
  // cannot be written (so that no fault could replace them).
  const bool nodes = mknod((path + "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
                     mknod((path + "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0 &&
                     mknod((path + "block").c_str(), S_IFBLK | 0600, makedev(7, 0)) == 0;
  if (!nodes && access("/dev", W_OK) == 0) GTEST_SKIP() << "no device nodes can be made here";
  const std::string devices = nodes ? path : "/dev/";
  ASSERT_EQ(mkfifo((path + "fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(path + "dir");
  ASSERT_EQ(mknod((path + "sock").c_str(), S_IFSOCK | 0600, 0), 0);
  const std::string victim = dir.Write("victim", "precious");
  for (const std::string& to :
       {devices + "null", path + "fifo", path + "dir", victim, path + "none"})
    std::filesystem::create_symlink(to, path + "link-" + to.substr(to.rfind('/') + 1));
  // A reader holds the FIFO open: an output that opened it would neither wait nor go unseen.
  const int reader = open((path + "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  // The target, and what the output says: "" when written.
  const std::pair<std::string, const char*> cases[] = {
      {devices + "null", ""},
      {devices + "full", "': write: No space left on device"},
      {path + "block", "': it is a block device (only a regular file is replaced"},
      {path + "fifo", "': it is a FIFO (only"},
      {path + "dir", "': it is a directory (only"},
      {path + "sock", "': it is a socket (only"},
      {path + "link-null", "': it is a link to a character device (a link is replaced, never"},
      {path + "link-fifo", "': it is a link to a FIFO"},
      {path + "link-dir", "': it is a link to a directory"},
      {path + "link-victim", ""},
      {path + "link-none", ""},
  };
  for (const auto& [target, says] : cases) {
    if (!nodes && target == path + "block") continue;
    const mode_t kind = KindAt(target);
    std::string error;
    const bool ok = zrreport::WriteOutput(target, "report\n", &error);
    EXPECT_EQ(ok, *says == '\0') << target << ": " << error;
    EXPECT_TRUE(ok || error.rfind("cannot write '" + target + says, 0) == 0) << error;
    // A written link is a regular file now.
    EXPECT_EQ(KindAt(target), ok && kind == S_IFLNK ? S_IFREG : kind) << target;
  }
  char byte;
  EXPECT_EQ(read(reader, &byte, 1), 0);  // nothing in the FIFO, and no writer holds it
  close(reader);
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_FALSE(std::filesystem::exists(path + "none"));
  EXPECT_EQ(Entries(dir.path()), nodes ? 12 : 9);  // no temporary left
}

// Each returned fault at every call of an output's Create, Write and Commit: a retried interruption
// and a short write lose nothing; any other fault leaves the old file whole, removes the temporary
// and names its cause once; and the next write succeeds. A device written in place reports its
// faults the same way. A kill at any call leaves the old file or the new one.
TEST(OutputFile, UnderEveryFaultAndKillTheTargetIsTheOldFileOrTheNewOneWhole) {
  TempDir dir("output");
  const std::string target = dir.Path("report.csv"), device = dir.Path("null");
  const bool devices = mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  const std::string old = "old report\n", fresh(40000, 'n');
  WriteFile(target, old);
  FaultyFiles files(dir.path());
  for (const FileFault fault : zrperf_test::kReturnedFaults) {
    const bool lossless = fault == FileFault::kInterrupt || fault == FileFault::kShortWrite;
    const int errors[] = {ENOSPC, EIO, EINTR, EFBIG, 0};
    const std::string cause = std::strerror(errors[static_cast<int>(fault)]);
    for (const std::string& path : {target, device}) {
      if (path == device && !devices) continue;
      const long walked = zrperf_test::WalkFaults(
          files, fault,
          [&] {
            std::string error;
            const bool ok = zrreport::WriteOutput(path, fresh, &error);
            EXPECT_TRUE(ok || Occurrences(error, cause) == 1) << error;
            return ok;
          },
          [&](long n, bool ok) {
            const std::string at = std::string(FaultName(fault)) + " at call " + std::to_string(n);
            EXPECT_EQ(ok, lossless) << at;
            EXPECT_EQ(Entries(dir.path()), devices ? 2 : 1) << at;
            EXPECT_TRUE(path == device || ReadFile(target) == (ok ? fresh : old)) << at;
            EXPECT_TRUE(path == target || KindAt(device) == S_IFCHR) << at;
            std::string error;
            EXPECT_TRUE(zrreport::WriteOutput(path, fresh, &error)) << at << ": " << error;
            EXPECT_TRUE(path == device || ReadFile(target) == fresh) << at;
            WriteFile(target, old);
          });
      // The temporary's open, write, fsync, close and rename; the device's open, write and close.
      EXPECT_EQ(walked, path == target ? 5 : 3) << FaultName(fault);
      std::printf("%s: %s walked %ld calls\n", path == target ? "file" : "device", FaultName(fault),
                  walked);
    }
  }
  const long killed = zrperf_test::WalkKills(
      dir.path(),
      [&] {
        std::string error;
        zrreport::WriteOutput(target, fresh, &error);
      },
      [&](long n) {
        const std::string got = ReadFile(target);
        EXPECT_TRUE(got == old || got == fresh) << "killed at call " << n << ": " << got.size();
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
          if (entry.path().filename().string()[0] == '.') std::filesystem::remove(entry.path());
        std::string error;
        EXPECT_TRUE(zrreport::WriteOutput(target, old, &error)) << error;
      });
  EXPECT_EQ(killed, 5);
  EXPECT_EQ(ReadFile(target), fresh);
  std::printf("kills walked %ld calls\n", killed);
}

// The temporary is made new: a link or a file at its name is never opened (the next name is
// taken); an uncommitted one is removed; a target name near NAME_MAX still has one.
TEST(OutputFile, TheTemporaryIsANewFileAndAnUncommittedOneIsRemoved) {
  TempDir dir("output");
  const std::string victim = dir.Write("victim", "precious"), target = dir.Path("out.csv");
  std::filesystem::create_symlink(victim, dir.Path(".out.csv.a"));
  dir.Write(".out.csv.b", "squatter");
  int next = 0;
  const auto names = [&next] { return std::string(1, static_cast<char>('a' + next++)); };
  std::string error;
  {
    zrreport::OutputFile out(names);
    ASSERT_TRUE(out.Create(target, &error) && out.Write("new", &error) && out.Commit(&error))
        << error;
  }
  EXPECT_EQ(next, 3);
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_EQ(ReadFile(dir.Path(".out.csv.b")), "squatter");
  EXPECT_EQ(ReadFile(target), "new");
  {
    zrreport::OutputFile out(names);
    ASSERT_TRUE(out.Create(target, &error) && out.Write("lost", &error)) << error;
    EXPECT_TRUE(std::filesystem::exists(dir.Path(".out.csv.d")));
  }
  EXPECT_FALSE(std::filesystem::exists(dir.Path(".out.csv.d")));
  EXPECT_EQ(ReadFile(target), "new");
  const std::string longName = dir.Path(std::string(250, 'l'));
  ASSERT_TRUE(zrreport::WriteOutput(longName, "long", &error)) << error;
  EXPECT_EQ(ReadFile(longName), "long");
}

// A window takes the intervals that end in it, whole: all merge into the histogram of a counter
// fed every sample, passes 3..6 into one fed theirs, two hosts' logs into one. A later interval's
// extremes are bounds, so percentiles are compared away from both ends.
TEST(ReportMerge, WindowsAndHostsMergeTheIntervalsEndingInThemBucketForBucket) {
  TempDir dir("report");
  CTimeCounter reference, inside, outside;
  const zrreport::Dataset data =
      Read({WriteLog(dir, "a.hlog", {"read"}, 12, [&](Counters& c, int pass) {
        Feed({c[0].second.get(), &reference, pass >= 3 && pass <= 6 ? &inside : &outside},
             Samples(pass, 500 + 300 * pass));
      })});
  ASSERT_EQ(data.intervals.size(), 12u);
  const CTimeCounterSnapshot merged = MergeAll(data, "read"), all = reference.GetSnapshot();
  ExpectSameHistogram(merged, all);
  EXPECT_EQ(merged.GetMin().Get100ns(), all.GetMin().Get100ns());
  EXPECT_EQ(merged.GetMax().Get100ns(), all.GetMax().Get100ns());
  // (kT0+150, kT0+360] holds the ends of passes 3..6; its edges cut intervals 2 and 6.
  const CTimeCounterSnapshot ref = inside.GetSnapshot();
  zrreport::ReportOptions options;
  options.from = std::to_string(static_cast<long long>(kT0 + 150));
  options.to = std::to_string(static_cast<long long>(kT0 + 360));
  options.json = true;
  std::string text, error;
  ASSERT_TRUE(zrreport::Summary(data, options, &text, &error)) << error;
  EXPECT_TRUE(Has(text, "\"samples\": " + std::to_string(ref.GetCount())));
  EXPECT_TRUE(Has(text, "\"p50_us\": " + Micros(ref.GetPercentile(0.5))));
  EXPECT_TRUE(Has(text, "\"p99_us\": " + Micros(ref.GetPercentile(0.99))));

  // Two hosts' logs merge into one row, or one a host.
  CTimeCounter hosts;
  for (const char* file : {"h1.hlog", "h2.hlog"}) {
    WriteLog(dir, file, {"svc.read"}, 3, [&](Counters& c, int pass) {
      Feed({c[0].second.get(), &hosts}, Samples(file[1] * 10 + pass, 1000));
    });
  }
  SetHostLine(dir.Path("h2.hlog"), "other-host");  // as another host wrote it
  const zrreport::Dataset both = Read({dir.Path("h1.hlog"), dir.Path("h2.hlog")});
  options = zrreport::ReportOptions();
  options.json = true;
  ASSERT_TRUE(zrreport::Summary(both, options, &text, &error)) << error;
  EXPECT_TRUE(Has(text, "\"samples\": 6000"));
  EXPECT_TRUE(Has(text, "\"p99_9_us\": " + Micros(hosts.GetSnapshot().GetPercentile(0.999))));
  options.byHost = true;
  ASSERT_TRUE(zrreport::Summary(both, options, &text, &error)) << error;
  EXPECT_TRUE(Has(text, "\"host\": \"other-host\", \"samples\": 3000"));
}

// --from and --to: each unit of a relative time, Unix seconds, each ISO form; malformed ones.
TEST(ReportWindow, TimesInEveryFormAndUnitAreReadAndMalformedOnesRefused) {
  const double end = 1765000000;  // the data's last interval
  const std::pair<const char*, double> valid[] = {{"-0s", end},
                                                  {"-30s", end - 30},
                                                  {"-1.5m", end - 90},
                                                  {"-2h", end - 7200},
                                                  {"-1d", end - 86400},
                                                  {"-0.5d", end - 43200},
                                                  {"0", 0},
                                                  {"1765000000", end},
                                                  {"1765000000.25", end + 0.25},
                                                  {"1970-01-01T00:00Z", 0},
                                                  {"2024-02-29T23:59:59Z", 1709251199},
                                                  {"2026-12-07T01:50", 1796608200},
                                                  {"2026-12-07T01:50Z", 1796608200},
                                                  {"2026-12-07T01:50:30", 1796608230},
                                                  {"2026-12-07T01:50:30Z", 1796608230}};
  for (const auto& [text, unix] : valid) {
    double got = -1;
    std::string error;
    EXPECT_TRUE(zrreport::ParseTime(text, end, &got, &error)) << text << ": " << error;
    EXPECT_EQ(got, unix) << text;
  }
  // Relative times and Unix seconds; ISO forms of another shape; times not of the calendar.
  const std::vector<const char*> malformed[] = {
      {"",     "-",    "-s",   "-5",     "-5x",   "-5S",   "-5ms",  "-5 s",   "- 5s",
       "--5s", "-+5s", "-5s ", "-inf s", "-infs", "-nans", "-1e3s", "-0x10s", "-.5s",
       "-5.s", "5s",   "1.",   ".5",     "1e9",   "+1",    " 1",    "1.2.3",  "0x10"},
      {"2026-12-07", "2026-12-07T01", "2026-12-07T1:50", "2026-12-7T01:50", "26-12-07T01:50",
       "2026-12-07 01:50", "2026-12-07t01:50", "2026-12-07T01:50z", "2026-12-07T01:50:3"},
      {"2026-12-07T01:50:30ZZ", "2026-12-07T01:50Z:30", "2026-12-07T01:50:30.5",
       "2026-12-07T01:50+01:00", "2026-12-07T01:50:60"},
      {"2026-13-07T01:50", "2026-00-07T01:50", "2026-02-29T01:50", "2026-12-32T01:50",
       "2026-12-00T01:50", "2026-12-07T24:00", "2026-12-07T01:60", "2026-+2-07T01:50",
       "2026-0:-07T01:50"}};
  for (const auto& texts : malformed) {
    for (const char* text : texts) {
      double got = -1;
      std::string error;
      EXPECT_FALSE(zrreport::ParseTime(text, end, &got, &error)) << text << " read as " << got;
      EXPECT_TRUE(Has(error, "cannot read the time '")) << text;
    }
  }
}

// Every byte alone and after a backslash, and every pair of bytes: the shown form reads back
// exactly, is safe on a terminal, and is the records' own escape wherever that already is.
TEST(ReportText, ShownNamesCsvJsonGnuplotAndHtmlFormsAreExactAndNeutraliseEveryByte) {
  std::vector<std::string> names = {"\xc2\x9b[2J",           "\\\xff",       "\\\\\xc2\x85",
                                    "ok \xe2\x82\xac \\x41", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                                    "\xe0\x80\xaf"};
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) names.push_back({static_cast<char>(a), static_cast<char>(b)});
    names.push_back({'\\', static_cast<char>(a)});
  }
  for (const std::string& name : names) {
    const std::string shown = zrreport::ShownName(name);
    ASSERT_EQ(zrperf::UnescapeRecordText(shown), name) << shown;
    ASSERT_TRUE(TerminalSafe(shown) && shown.find('\n') == std::string::npos) << shown;
    if (zrperf::IsUtf8(name) && TerminalSafe(zrperf::EscapeRecordText(name))) {
      ASSERT_EQ(shown, zrperf::EscapeRecordText(name));
    }
  }
  EXPECT_EQ(zrreport::ShownName("\xc2\x9b[2J \\\xff \xe2\x82\xac"),
            "\\xc2\\x9b[2J \\\\\\xff \xe2\x82\xac");
  // Each range of format characters: its ends are escaped byte by byte (U+FFFD in HTML), the
  // characters just outside it are not.
  for (const auto& [first, last] : kFormatCharacters) {
    for (const char32_t c :
         {static_cast<char32_t>(first - 1), first, last, static_cast<char32_t>(last + 1)}) {
      const std::string name = "a" + Utf8(c);
      std::string escaped = "a";
      for (const char b : Utf8(c)) {
        char hex[8];
        std::snprintf(hex, sizeof(hex), "\\x%02x", static_cast<unsigned char>(b));
        escaped += hex;
      }
      const bool hidden = !TerminalSafe(Utf8(c));
      EXPECT_EQ(zrreport::ShownName(name), hidden ? escaped : name) << std::hex << c;
      EXPECT_EQ(zrreport::HtmlText(name), hidden ? "a\xef\xbf\xbd" : name) << std::hex << c;
    }
  }

  // Each leading character that a spreadsheet reads as a formula, each one that needs quoting.
  std::string cells;
  for (const char* cell : {"=1+1", "+1", "-1", "@SUM(A1)", "\tx", "\rx", "=\"q\",", "a,b", "a\"b",
                           "a\nb", "a\rb", "a=b-c", ""})
    cells += zrreport::CsvCell(cell) + "|";
  EXPECT_EQ(cells,
            "\"'=1+1\"|\"'+1\"|\"'-1\"|\"'@SUM(A1)\"|\"'\tx\"|\"'\rx\"|\"'=\"\"q\"\",\"|\"a,b\"|"
            "\"a\"\"b\"|\"a\nb\"|\"a\rb\"|a=b-c||");
  // A JSON string reads back as its text: a byte that is not UTF-8 as U+FFFD.
  std::string all;
  for (int c = 0; c < 256; ++c) {
    all += static_cast<char>(c);
    EXPECT_EQ(Json(zrreport::JsonString(all.substr(c))), c < 0x80 ? all.substr(c) : "\xef\xbf\xbd")
        << c;
  }
  EXPECT_EQ(Json(zrreport::JsonString("\xc3\xa9\xe2\x80\xae")), "\xc3\xa9\xe2\x80\xae");
  EXPECT_EQ(zrreport::JsonNumber(INFINITY, 3) + zrreport::JsonNumber(NAN, 3), "nullnull");
  // gnuplot's data blocks: no line starts with the end marker, and no control byte ends a line.
  std::string script;
  zrreport::AppendDataBlock(script, "$N", {"EODX a", "b\nc\x7f", "EOD"});
  EXPECT_EQ(script, "$N << EODXX\nEODX a\nb?c?\nEOD\nEODXX\n");
  // HtmlText leaves no byte that starts markup or ends an attribute, no control or bad UTF-8.
  EXPECT_EQ(zrreport::HtmlText("<script>alert('x')</script> \"&amp;\""),
            "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &quot;&amp;amp;&quot;");
  EXPECT_EQ(zrreport::HtmlText("a\x01\x7f\xc2\x9b\xff\tb\xc3\xa9"),
            "a\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\tb\xc3\xa9");
  for (const std::string& text : {all, zrreport::ShownName(all)}) {
    const std::string html = zrreport::HtmlText(text);
    EXPECT_EQ(html.find_first_of("<>\"'"), std::string::npos);
    EXPECT_TRUE(TerminalSafe(html, true));
  }
}

// Each 100 ns unit up to 20 ms as a single-sample counter's mean and maximum.
TEST(ReportText, SummaryDurationsAreTheCountersTextForEveryUnitUpTo20ms) {
  constexpr std::uint64_t kUnits = 200'000;
  zrreport::Dataset data;
  data.sources.push_back({"d.hlog", "h", 1});
  for (std::uint64_t v = 0; v <= kUnits; ++v) {
    // A name of one width (so that names sort as the values do), end, seconds, source, count, a
    // histogram of total, min, max, zero count, exact extremes and no bucket.
    data.intervals.push_back(
        {std::to_string(1'000'000 + v), kT0, 1, 0, 1, true, v, v, v, v == 0, true, true, "-", {}});
  }
  std::string text, error;
  ASSERT_TRUE(zrreport::Summary(data, {}, &text, &error)) << error;
  std::istringstream rows(text);
  std::string row;
  std::getline(std::getline(rows, row), row);  // the window and the heading
  std::size_t mismatches = 0;
  for (std::uint64_t v = 0; v <= kUnits; ++v) {
    ASSERT_TRUE(std::getline(rows, row)) << v;
    // The mean ends at column 67 (32 + 1 + 12 + 1 + 10 + 1 + 10), the maximum at the row's end.
    const std::string expected = zrfw::DurationText(v);
    const std::size_t n = expected.size();
    const bool same =
        row.compare(67 - n, n, expected) == 0 && row.compare(row.size() - n, n, expected) == 0;
    if (!same && mismatches++ < 5) ADD_FAILURE() << v << ": " << row << " vs " << expected;
  }
  EXPECT_EQ(mismatches, 0u);
}

// The SVG holds every series, nothing is left on failure, the PNG has the asked size and is not
// blank. --percentiles: the lists taken (sorted) and refused, the chosen figures in every output.
TEST(ReportPlot, PlotsHeatmapsAndChosenPercentilesHoldEverySeriesAndNothingIsLeftOnFailure) {
  std::vector<std::pair<std::string, std::string>> lists = {
      {"50,90,99,99.9,99.99", "p50 p90 p99 p99.9 p99.99"},
      {" 99.999999 , 0.5", "p0.5 p99.999999"},
      {"99.90,1", "p1 p99.9"},
      {"1,2,3,4,5,6,7,8,9,10", "p1 p2 p3 p4 p5 p6 p7 p8 p9 p10"}};
  for (const char* refused :
       {"", "50,", "p50", "100", "0", "-1", "50,50.0", "99.9999999", "1,2,3,4,5,6,7,8,9,10,11"})
    lists.push_back({refused, "refused"});  // and no figure left behind
  for (const auto& [list, expected] : lists) {
    std::vector<zrreport::Stat> stats;
    std::string error, labels;
    const bool taken = zrreport::ParsePercentiles(list, &stats, &error);
    for (const zrreport::Stat& stat : stats) labels += (labels.empty() ? "" : " ") + stat.label;
    EXPECT_EQ(taken ? labels : "refused" + labels, expected) << list;
  }

  TempDir dir("report");
  const zrreport::Dataset data = Read({PlotDataLog(dir)});
  zrreport::ReportOptions options;
  options.counters = {"disk.*"};
  std::string error;
  ASSERT_TRUE(zrreport::Plot(data, options, dir.Path("p.svg"), &error)) << error;
  const std::string svg = ReadFile(dir.Path("p.svg"));
  for (const char* text : {"<svg", "width=\"1000\"", "disk.read", "disk.write", "p99.9",
                           "Samples per second", "Latency by percentile"})
    EXPECT_TRUE(Has(svg, text));
  EXPECT_GT(std::count(svg.begin(), svg.end(), 'M'), 200);  // path moves: the series' points

  options.counters = {"nothing"};
  EXPECT_FALSE(zrreport::Plot(data, options, dir.Path("q.svg"), &error));
  EXPECT_FALSE(zrreport::Plot(data, {}, dir.Path("q.gif"), &error));
  EXPECT_EQ(Entries(dir.path()), 2);  // p.hlog and p.svg only

  // The heatmap: a box per interval and latency row holding samples (the two logs differ by one
  // sample in a row of its own). Series of more than 300 intervals have no point marks; heatmaps
  // of more than 240 intervals merge runs of them into one column.
  const auto draw = [&](const zrreport::Dataset& data, int intervals, bool heatmap) {
    zrreport::ReportOptions options;
    options.to = std::to_string(static_cast<long long>(kT0) + 60 * (intervals - 1));
    options.heatmap = heatmap;
    std::string error;
    EXPECT_TRUE(zrreport::Plot(data, options, dir.Path("h.svg"), &error)) << error;
    return ReadFile(dir.Path("h.svg"));
  };
  std::size_t polygons[2];
  for (int variant = 0; variant < 2; ++variant) {
    // Rows of 10 a decade: 1 ms and 1.1 ms share one; 2 ms and 1.3 ms each have their own.
    const auto feed = [variant](Counters& c, int pass) {
      for (long long units : {10000, 11000, 20000}) Add(c, 0, units);
      if (pass == 1 && variant == 1) Add(c, 0, 13000);
    };
    const std::string log = WriteLog(dir, "h" + std::to_string(variant) + ".hlog", {"op"}, 3, feed);
    const std::string plot = draw(Read({log}), 3, true);
    polygons[variant] = Occurrences(plot, "<polygon");
    EXPECT_TRUE(Has(plot, "<text>Latency heatmap: op</text>"));
  }
  EXPECT_EQ(polygons[1], polygons[0] + 1);

  const std::string longLog =
      WriteLog(dir, "l.hlog", {"op"}, 301, [](Counters& c, int) { Add(c, 0, 10000); });
  SetLengths(longLog, "60.000000");  // passes a minute apart that cover their minute: no gap
  const zrreport::Dataset longRun = Read({longLog});
  EXPECT_GT(Occurrences(draw(longRun, 300, false), "<use xlink:href='#gpPt"), 300u);
  // Only the marks' definitions are left.
  EXPECT_LT(Occurrences(draw(longRun, 301, false), "<use xlink:href='#gpPt"), 20u);
  // One sample a interval, so one box a column: 240 columns, then 121.
  EXPECT_EQ(Occurrences(draw(longRun, 240, true), "<polygon") -
                Occurrences(draw(longRun, 241, true), "<polygon"),
            240u - 121u);

  // --percentiles: the chosen figures in the summary, its JSON keys, the CSV and the plot.
  const CTimeCounterSnapshot read = MergeAll(data, "disk.read");
  std::string text;
  options = {};
  ASSERT_TRUE(zrreport::ParsePercentiles("99.99,50", &options.percentiles, &error));
  ASSERT_TRUE(zrreport::Summary(data, options, &text, &error)) << error;
  EXPECT_TRUE(Has(text, "       mean        p50     p99.99        max\n"));
  options.json = true;
  ASSERT_TRUE(zrreport::Summary(data, options, &text, &error)) << error;
  EXPECT_TRUE(Has(text, "\"p50_us\": " + Micros(read.GetPercentile(0.5)) + ", \"p99_99_us\": " +
                            Micros(read.GetPercentile(0.9999)) + ", \"max_us\""));
  options.json = false;
  ASSERT_TRUE(zrreport::Csv(data, options, &text, &error)) << error;
  EXPECT_EQ(
      text.substr(0, text.find('\n')),
      "end,end_unix,interval_s,host,pid,counter,samples,rate,mean_us,p50_us,p99_99_us,max_us");
  ASSERT_TRUE(zrreport::Plot(data, options, dir.Path("p.svg"), &error)) << error;
  EXPECT_TRUE(Has(ReadFile(dir.Path("p.svg")), ">p99.99<"));
  EXPECT_FALSE(Has(ReadFile(dir.Path("p.svg")), ">p90<"));

#if !defined(ZRPERF_TEST_HAVE_PNG)
  GTEST_SKIP() << "built without libpng to read the plot back";
#else
  options.percentiles.clear();
  options.width = 900;
  options.height = 1100;
  ASSERT_TRUE(zrreport::Plot(data, options, dir.Path("p.png"), &error)) << error;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, dir.Path("p.png").c_str()));
  EXPECT_EQ(std::make_pair(image.width, image.height), std::make_pair(900u, 1100u));
  image.format = PNG_FORMAT_GRAY;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
  const std::size_t dark =
      std::count_if(pixels.begin(), pixels.end(), [](int p) { return p < 128; });
  EXPECT_GT(dark, pixels.size() / 200);  // lines and text drawn
  EXPECT_LT(dark, pixels.size() / 2);    // on a light background
#endif
}

// A window of one instant (an interval shorter than the log's microsecond that ends on a second)
// and a counter whose samples all took 0 units are drawn by every command that plots; when gnuplot
// fails, its error names the fault, not a warning written after it.
TEST(ReportPlot, AnIntervalShorterThanHalfAMicrosecondAndDurationsOfZeroAreDrawn) {
  TempDir dir("report");
  std::string text = zrperf::histlog::HeaderText("h", 1, kT0);
  CTimeCounter fast, zero;
  fast.AddSample(CTimeInterval(5));
  zero.AddSample(CTimeInterval(0));
  zrperf::histlog::AppendLine(text, kT0 + 60, 0.0000004, "fast", fast.GetSnapshot());
  zrperf::histlog::AppendLine(text, kT0 + 60, 0.0000004, "zero", zero.GetSnapshot());
  ASSERT_TRUE(Has(text, "\t0.000000\tfast\t"));
  const std::string log = dir.Write("i.hlog", text);
  for (const std::string& args :
       {"plot -o " + dir.Path("p.svg"), "plot --heatmap -o " + dir.Path("p.png"),
        "html -o " + dir.Path("p.html"), "compare -o " + dir.Path("c.svg") + " " + log}) {
    for (const char* counter : {"fast", "zero"}) {
      const ToolRun run = Tool(dir, args + " --counter " + counter + " " + log);
      EXPECT_EQ(run.status, 0) << args << " " << counter << ": " << run.err;
    }
  }
  std::string out, error;
  EXPECT_FALSE(zrreport::RunGnuplotToText("plot nosuch(x)\nprint '  line 2: warning: after it'\n",
                                          &out, &error));
  EXPECT_EQ(error, "gnuplot failed: line 0: undefined function: nosuch");
}

// The lines of data block `name` of a gnuplot script, each split at its spaces.
std::vector<std::vector<std::string>> Block(const std::string& script, const std::string& name) {
  const std::size_t from = script.find(name + " << EOD\n") + name.size() + 8;
  std::istringstream in(script.substr(from, script.find("\nEOD\n", from) - from));
  std::vector<std::vector<std::string>> lines;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    lines.emplace_back(std::istream_iterator<std::string>(words),
                       std::istream_iterator<std::string>());
  }
  return lines;
}

// A point per interval of each source: passes that jitter across a second's edge stay two points
// at the rate of each; intervals of hosts that cover one span are one point at their summed rate;
// a time no interval covers breaks the lines and holds no heatmap column.
TEST(ReportPlot, EachIntervalIsAPointAtItsOwnRateAndAGapBreaksTheLines) {
  CTimeCounter counter;
  for (int k = 0; k < 100; ++k) counter.AddSample(CTimeInterval(10000));
  const CTimeCounterSnapshot hundred = counter.GetSnapshot();
  const auto writer = [&](const std::string& host, long pid,
                          const std::vector<std::pair<double, double>>& intervals) {
    std::string text = histlog::HeaderText(host, pid, kT0);
    for (const auto& [end, seconds] : intervals)
      histlog::AppendLine(text, kT0 + end, seconds, "op", hundred);
    return text;
  };
  const auto series = [](const std::string& text, std::vector<std::vector<std::string>>* heat) {
    zrreport::Dataset data;
    std::string error, script;
    EXPECT_TRUE(zrreport::ReadText("x.hlog", text, &data, &error)) << error;
    zrreport::ReportOptions options;
    options.heatmap = true;
    EXPECT_TRUE(zrreport::PlotScript(data, options, ".svg", &script, &error)) << error;
    *heat = Block(script, "$H0");
    return Block(script, "$S0");
  };
  std::vector<std::vector<std::string>> heat;
  // One process whose ends round to the same second (x.51, x+1.495).
  auto s =
      series(writer("h", 1, {{0.51, 1.0}, {1.495, 0.985}, {2.51, 1.015}, {3.49, 0.98}}), &heat);
  ASSERT_EQ(s.size(), 4u);
  const char* ends[] = {"1765000000.510", "1765000001.495", "1765000002.510", "1765000003.490"};
  const double lengths[] = {1.0, 0.985, 1.015, 0.98};
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(s[k][0], ends[k]);
    EXPECT_NEAR(std::stod(s[k].back()), 100 / lengths[k], 1e-3) << k;  // samples per second
  }
  EXPECT_EQ(heat.size(), 4u);  // one latency row, a column per interval

  // Hosts passing together are one point at their summed rate: b a little later than a, d more
  // than half an interval over a's; c, half an interval off, covers another span.
  s = series(writer("a", 1, {{1.0, 1.0}, {2.0, 1.0}}) + writer("b", 2, {{1.02, 1.0}, {2.03, 1.0}}) +
                 writer("c", 3, {{2.5, 1.0}}) + writer("d", 4, {{2.45, 1.0}}),
             &heat);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0][0], "1765000001.020");
  EXPECT_NEAR(std::stod(s[0].back()), 200, 1e-6);
  EXPECT_EQ(s[1][0], "1765000002.450");
  EXPECT_NEAR(std::stod(s[1].back()), 300, 1e-6);
  EXPECT_EQ(s[2][0], "1765000002.500");
  EXPECT_NEAR(std::stod(s[2].back()), 100, 1e-6);
  ASSERT_EQ(heat.size(), 3u);
  EXPECT_EQ(heat[0].back(), "200");

  // "Interval Stats" records hold no histogram to merge: two of one span stay two points.
  zrreport::Dataset records;
  std::string error, script;
  for (const char* file : {"a.log", "b.log"})
    ASSERT_TRUE(
        zrreport::ReadText(file, Record("op: seconds=1.00 samples=2 rate=2.00"), &records, &error));
  ASSERT_TRUE(zrreport::PlotScript(records, {}, ".svg", &script, &error)) << error;
  EXPECT_EQ(Block(script, "$S0").size(), 2u);

  // Two runs six seconds apart, and a pass 1.6 of its interval after the one before: a break (an
  // empty line) before each, and no heatmap column over the time between; a pass ending 1.5 of
  // its interval after the one before is no gap.
  s = series(
      writer("h", 1, {{1, 1}, {2, 1}, {3.5, 1}, {5.1, 1}}) + writer("h", 2, {{12, 1}, {13, 1}}),
      &heat);
  ASSERT_EQ(s.size(), 8u);
  for (std::size_t k = 0; k < s.size(); ++k) EXPECT_EQ(s[k].empty(), k == 3 || k == 5) << k;
  ASSERT_EQ(heat.size(), 6u);
  for (const auto& box : heat) {  // x y xlow xhigh ...: no box spans 3.5 .. 4.1 or 5.1 .. 11
    for (const double t : {3.8, 8.0})
      EXPECT_FALSE(std::stod(box[2]) < kT0 + t && std::stod(box[3]) > kT0 + t) << box[2];
  }
}

TEST(ReportCheck, ObjectivesParseOrSayWhichPartIsMalformed) {
  const std::tuple<const char*, const char*, double> valid[] = {
      {"disk.*:p99 < 5ms", "disk.*:p99 < 5ms", 5e6},
      {"a:b:p99.9<=20 us", "a:b:p99.9 <= 20us", 2e4},
      {"x: mean<1ns ", "x:mean < 1ns", 1},
      {"x:max <= 1.5h", "x:max <= 1.5h", 1.5 * 3600e9},
      {"x:p50<2s", "x:p50 < 2s", 2e9},
      {"x:p0.01<3m", "x:p0.01 < 3m", 180e9},
      {"\x1b[2J:p090.50<0.5ms", "\\x1b[2J:p90.5 < 0.5ms", 5e5}};
  for (const auto& [text, shown, limitNs] : valid) {
    zrreport::Objective o;
    std::string error;
    ASSERT_TRUE(zrreport::ParseObjective(text, &o, &error)) << text << ": " << error;
    EXPECT_EQ(o.Shown(), shown);
    EXPECT_DOUBLE_EQ(o.limitNs, limitNs) << text;
  }
  // The message's telling part, and the objectives it is said of.
  const std::pair<const char*, std::vector<const char*>> malformed[] = {
      {"needs GLOB:STAT OP VALUE", {"p99 < 5ms", ":p99 < 5ms"}},
      {"not a figure",
       {"x:p100 < 5ms", "x:p0 < 5ms", "x:p < 5ms", "x:p99. < 5ms", "x:p-1 < 5ms", "x:avg < 5ms",
        "x: < 5ms"}},
      {"must be < or <=", {"x:p99 > 5ms", "x:p99 = 5ms", "x:p99 5ms"}},
      {"a number with a unit",
       {"x:p99 < 5", "x:p99 < ms", "x:p99 < 5 parsecs", "x:p99 < -5ms", "x:p99 < 1e3ms",
        "x:p99 < infms", "x:p99 < 5ms 6ms", "x:p99 <"}}};
  for (const auto& [message, texts] : malformed) {
    for (const char* text : texts) {
      zrreport::Objective o;
      std::string error;
      EXPECT_FALSE(zrreport::ParseObjective(text, &o, &error)) << text;
      EXPECT_TRUE(Has(error, message)) << text;
      EXPECT_TRUE(TerminalSafe(error)) << error;
    }
  }
}

// Each command line's exit status (0, or 3 when check finds an objective breached; 1 for a fault of
// the input, 2 for a bad command line) and what its output (for a fault, its message) says. A fault
// is one line (a bad command line adds the hint to --help) quoting names as they are shown, and
// writes nothing, to -o FILE nor to standard output. The inputs are the arguments that are not
// options: one that starts with '-' is an option (an unknown one refused), but '-' alone names a
// file: standard input is never read. check: '<' and '<=' differ at the measured value;
// --each-interval catches the slow interval of a window whose mean holds. compare: two runs side by
// side with their ratios, the counters of one run listed, and the overlay.
TEST(ReportCommandLine, EachCommandLineExitsWithItsStatusAndSaysWhy) {
  TempDir dir("report");
  const std::string log = " " + LogOf(dir, "i.hlog", {"op"}), out = dir.Path("out.csv");
  const std::string o = " -o " + out, d = " " + dir.path() + "/";
  dir.Write("r.log", Record("op: seconds=1.00 samples=2 rate=2.00"));
  // Records of an ordinary log give rows, but no merged window; the ones they lack no figure.
  dir.Write("app.log", Record("disk.read: seconds=1.00 samples=200 rate=200.00") +
                           "\t\t\t\tx: y: seconds=2.00 samples=3 rate=1.50 mean=700ns p50=700ns "
                           "p90=700ns p99=700ns p99.9=700ns max=800ns\n"
                           "2026-12-07 01:50:01.250 [info] [42:43] [void Other():1] unrelated\n");
  for (const std::string seconds : {"nan", "inf", "-1.00"})
    dir.Write(seconds + ".log", Record("x: seconds=" + seconds + " samples=2 rate=2.00"));
  ASSERT_EQ(mkfifo(dir.Path("fifo.hlog").c_str(), 0600), 0);
  std::filesystem::create_directory(dir.Path("dir.hlog"));
  std::filesystem::create_symlink("/dev/zero", dir.Path("zero.hlog"));
  // check's log: a fast interval (1 ms), then a slow one (9 ms).
  const std::string c = " " + WriteLog(dir, "c.hlog", {"op", "idle"}, 2, [](Counters& k, int pass) {
                          Add(k, 0, pass ? 90000 : 10000, 100);
                          Add(k, 1, 10, 10);
                        });
  for (const std::string run : {"old", "new"}) {
    WriteLog(dir, run + ".hlog", {"both", run == "old" ? "gone" : "fresh"}, 3,
             [&](Counters& k, int) {
               Add(k, 0, run == "old" ? 1000 : 2000, 100);
               Add(k, 1, 10, 100);
             });
  }
  const std::string runs = d + "old.hlog" + d + "new.hlog";
  const std::tuple<std::string, int, std::vector<std::string>> cases[] = {
      {"summary" + o + d + "missing.hlog", 1, {"missing.hlog: cannot be read: No such file"}},
      {"summary" + o + d + "fifo.hlog", 1, {"fifo.hlog: cannot be read: a FIFO, not a regular"}},
      {"summary" + d + "dir.hlog", 1, {"dir.hlog: cannot be read: a directory, not a regular"}},
      {"summary /dev/zero", 1, {"/dev/zero: cannot be read: a character device, not a regular"}},
      {"summary" + d + "zero.hlog", 1, {"zero.hlog: cannot be read: a character device, not"}},
      {"summary \"$(printf 'f\\033[2J')\"", 1, {"f\\x1b[2J: cannot be read"}},
      {"summary - <" + log, 1, {"zrperf-report: -: cannot be read: No such file or directory"}},
      {"csv --from -0s" + o + log, 1, {"no interval of the selected counters"}},
      {"summary -o" + d + "missing/s.txt" + log, 1, {"No such file or directory"}},
      {"plot -o" + d + "missing/p.png" + log,
       1,
       {"cannot write '" + dir.Path("missing/p.png") + "': creating a temporary file in '" +
        dir.Path("missing/") + "': No such file or directory"}},
      {"summary", 2, {"no input file"}},
      {"summary --json -o" + d + "x", 2, {"no input file"}},
      {"summary -x" + log, 2, {"unknown option '-x'"}},
      {"summary --" + log, 2, {"unknown option '--'"}},
      {"summary \"$(printf -- '--x\\033[2J')\"", 2, {"unknown option '--x\\x1b[2J'"}},
      {"plot" + o + log, 2, {"plot needs -o FILE.png or -o FILE.svg"}},
      {"summary --heatmap" + log, 2, {"--heatmap is for plot"}},
      {"summary --percentiles 50,50" + log, 2, {"p50 is listed twice"}},
      {"check --percentiles 50 --slo '*:max<1h'" + log, 2, {"--percentiles is for summary"}},
      {"summary --slo 'op:max<1h'" + log, 2, {"--slo is for check and html"}},
      {"csv --each-interval" + log, 2, {"--each-interval is for check and html"}},
      {"html" + log, 2, {"html needs -o FILE.html"}},
      {"html -o x.svg" + log, 2, {"html needs -o FILE.html"}},
      {"html --json -o x.html" + log, 2, {"--json is not for html"}},
      {"compare" + log, 2, {"compare takes two logs: OLD NEW"}},
      {"compare" + log + log + log, 2, {"compare takes two logs: OLD NEW"}},
      {"summary" + log + log, 0, {}},
      {"csv" + d + "app.log",
       0,
       {",42,disk.read,200,200.000,1260.0,1210.0,1660.0,2300.0,4100.0,12500.0",
        ",x: y,3,1.500,0.7,"}},
      {"csv --percentiles 99.9,50" + d + "app.log",
       0,
       {",42,disk.read,200,200.000,1260.0,1210.0,4100.0,12500.0"}},
      {"csv --percentiles 90,99.99" + d + "app.log", 1, {"p99.9 only, not p99.99"}},
      {"summary" + d + "app.log", 1, {"cannot be merged exactly"}},
      {"csv" + d + "nan.log", 1, {"nan.log:2: corrupt"}},
      {"csv" + d + "inf.log", 1, {"inf.log:2: corrupt"}},
      {"csv" + d + "-1.00.log", 1, {"-1.00.log:2: corrupt"}},
      {"csv" + o + log, 0, {",op,3,"}},
      {"check --slo 'op:mean < 6ms'" + c, 0, {"held     op                               mean"}},
      {"check --slo 'op:mean < 6ms' --each-interval" + c, 3, {"breached in 1 of 2 intervals"}},
      {"check --slo 'op:max <= 9ms' --each-interval" + c, 0, {"breached in 0 of 2 intervals"}},
      {"check --slo 'op:max < 9ms'" + c, 3, {"BREACHED op"}},
      {"check --slo 'op:max < 9000us' --slo '*:p50 < 1h'" + c, 3, {"1 of 3 breached"}},
      {"check --slo '*:p50 < 1h' --slo 'i*:max<=1us'" + c, 0, {"3 of 3 held"}},
      {"check --slo 'i*:max<1us'" + o + c, 3, {"max < 1us            1.00us"}},
      {"check --json --each-interval --slo 'op:p99.9 <= 1ms'" + c,
       3,
       {"\"stat\": \"p99.9\", \"op\": \"<=\", \"limit_us\": 1000.000, \"held\": false, "
        "\"value_us\": 9000.0, \"samples\": 200, \"intervals\": 2, \"breached_intervals\": 1"}},
      {"check --counter idle --slo 'op:max < 1h'" + c, 1, {"matches no counter (counters: idle)"}},
      {"check --slo 'nosuch:max < 1h'" + c, 1, {"'nosuch:max < 1h' matches no counter"}},
      {"check --slo 'op:max < 1h'" + d + "r.log", 1, {"cannot be merged"}},
      {"check --slo 'op:max >= 1h'" + c, 2, {"malformed objective 'op:max >= 1h'"}},
      {"check" + c, 2, {"check needs an objective"}},
      {"check --slo 'op:max < 1h' --by-host" + c, 2, {"--by-host is for summary"}},
      {"compare" + runs,
       0,
       {"both                             old               300       2.50   100.00us",
        "                                 new/old        1.000x     1.000x     2.000x     2.000x",
        "only in the old run: gone\nonly in the new run: fresh\n"}},
      {"compare --json --percentiles 99.99" + runs,
       0,
       {"\"p99_99_us\": 200.0, \"max_us\": 200.0}, \"ratio\": {\"samples\": 1.0000, \"rate\": "
        "1.0000, \"mean\": 2.0000, \"p99_99\": 2.0000, \"max\": 2.0000}}",
        "], \"only_old\": [\"gone\"], \"only_new\": [\"fresh\"]}"}},
      {"compare --counter 'b*' --from -60s" + runs,
       0,
       {" 1 intervals\nnew: window", "new               100"}},
      {"compare --counter fresh" + runs, 1, {"old run: no interval of the selected counters"}},
      {"compare --counter gone" + runs, 1, {"new run: no interval of the selected counters"}},
      {"compare --counter nosuch" + runs,
       1,
       {"old run: no counter matches 'nosuch' (counters: both, fresh, gone)"}},
      {"compare -o" + d + "c.svg" + runs, 0, {}},
      {"compare --counter gone --counter fresh -o" + d + "g.svg" + runs, 1, {"0 counters in both"}},
      {"compare --json -o" + d + "c.png" + runs, 2, {"--json is for the table"}}};
  for (const auto& [args, status, says] : cases) {
    const ToolRun run = Tool(dir, args);
    EXPECT_EQ(run.status, status) << args << ": " << run.err;
    const bool result = status == 0 || status == 3;
    const std::string said = result ? run.out + ReadFile(out) : run.err;
    for (const std::string& text : says) EXPECT_TRUE(Has(said, text)) << args;
    EXPECT_TRUE(TerminalSafe(run.err)) << run.err;
    if (!result) {
      EXPECT_EQ(Occurrences(run.err, "\n"), status == 1 ? 1u : 2u) << args << run.err;
      EXPECT_EQ(run.out, "") << args;
      EXPECT_FALSE(std::filesystem::exists(out)) << args;
      continue;
    }
    std::filesystem::remove(out);
    EXPECT_TRUE(run.err.empty() || Has(run.err, "note: \"Interval Stats\" records hold")) << args;
    if (args.find("--json") == std::string::npos) continue;
    const nlohmann::json json = Json(said);
    EXPECT_TRUE(args.rfind("check", 0) != 0 || json.at("held") == (status == 0)) << args;
  }
  const std::string svg = ReadFile(dir.Path("c.svg"));
  for (const char* key : {"<text>both old</text>", "<text>both new</text>", "the old run dashed"})
    EXPECT_TRUE(Has(svg, key));
  EXPECT_FALSE(std::filesystem::exists(dir.Path("g.svg")));
}

// gnuplot expands backquotes and macros: names that try them (and quotes, a data block's end
// marker, newlines, bytes that are not UTF-8) run nothing, and show in the plot as elsewhere.
// Every byte value and format character in names and a host: JSON reads each back exactly, CSV
// rows stay rows and formulas text, every output is safe on a terminal.
TEST(ReportHostile, NamesRunNothingInGnuplotAndEveryByteGivesSafeAndExactOutputs) {
  TempDir dir("report");
  const std::string ran = dir.Path("ran");
  const std::vector<std::string> tricks = {"lun`touch " + ran + "1`.read",
                                           "x\" . system(\"touch " + ran + "2\") . \"",
                                           "y' . system('touch " + ran + "3') . '",
                                           "@GPVAL_TERM @ARG0 `touch " + ran + "4`",
                                           "q\"; set output '" + ran + "5'; print \"",
                                           "EOD",
                                           "nl\n!touch " + ran + "6\n<b>&amp;</b>",
                                           "bad\xff\xfe\\`touch " + ran + "7`\\"};
  const std::string plotted = LogOf(dir, "n.hlog", tricks);
  // gnuplot runs without initialisation files, whatever HOME holds.
  dir.Write(".gnuplot", "system('touch " + ran + "0')\n");
  const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  setenv("HOME", dir.path().c_str(), 1);
  for (const std::string& args : {"plot -o " + dir.Path("p.svg"), "plot -o " + dir.Path("p.png"),
                                  "compare -o " + dir.Path("c.svg") + " " + plotted}) {
    const ToolRun run = Tool(dir, args + " " + plotted);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
  }
  setenv("HOME", home.c_str(), 1);
  for (int n = 0; n <= 7; ++n) EXPECT_FALSE(std::filesystem::exists(ran + std::to_string(n))) << n;
  const std::string svg = ReadFile(dir.Path("p.svg"));
  EXPECT_TRUE(TerminalSafe(svg, true));
  for (const std::string& name : tricks) {
    std::string shown = zrreport::ShownName(name), xml;
    for (const char c : shown) xml += c == '&' ? "&amp;" : c == '<' ? "&lt;" : std::string(1, c);
    // The percentile panel's title, and the key of both other panels.
    EXPECT_TRUE(Has(svg, "<text>Latency percentiles per interval: " + xml + "</text>")) << xml;
    EXPECT_EQ(Occurrences(svg, "<text>" + xml + "</text>"), 2u) << xml;
    for (const char* run : {" old", " new"})
      EXPECT_TRUE(Has(ReadFile(dir.Path("c.svg")), "<text>" + xml + run + "</text>")) << xml << run;
  }
  EXPECT_TRUE(Has(svg, "<text>bad\\xff\\xfe\\`touch"));

  // The host as read: raw bytes, escapes of a line feed and a NUL, a format character a range.
  std::vector<std::string> names = {"=1+1", "+1", "-1", "@SUM(A1)", "c1 \xc2\x9b[2J"};
  std::string all, host = "=h";
  for (int c = 1; c < 256; ++c) {
    all += static_cast<char>(c);
    host += c == '\n' ? std::string("\\n\\x00") : std::string(1, static_cast<char>(c));
  }
  names.push_back(all);
  for (int c = 0; c < 256; ++c) names.push_back("b" + std::string(1, static_cast<char>(c)));
  for (const auto& [first, last] : kFormatCharacters) {
    names.push_back("f" + Utf8(first) + Utf8(last));
    host += Utf8(first);
  }
  const std::string log = LogOf(dir, "b.hlog", names);
  SetHostLine(log, host);
  // Each command line, its output's lines (a table: one a counter, and two), and texts it holds.
  const std::size_t table = names.size() + 2, rows = 2 * names.size();
  const std::tuple<std::string, std::size_t, std::vector<const char*>> runs[] = {
      {"summary --json ", table, {}},
      {"summary --json --by-host ", table, {}},
      {"csv --json ", rows + 2, {}},
      {"check --json --slo '*:max<1h' ", table, {}},
      {"csv ",
       rows + 1,
       {",\"'=1+1\",", ",\"'+1\",", ",\"'-1\",", ",\"'@SUM(A1)\",", ",\"'=h\\x01"}},
      {"csv --counter 'b\\\\x0*' ", 2 * 13 + 1, {}},  // b\x00 to b\x0f but for \t, \n and \r
      {"summary ", table, {"=h\\x01\\x02"}},
      {"summary --by-host ", table, {"=h\\x01\\x02"}},
      {"check --slo '*:p50<1h' ", table, {}}};
  const std::set<std::string> expected(names.begin(), names.end());
  const std::string hostRead = zrperf::UnescapeRecordText(host);
  for (const auto& [args, lines, says] : runs) {
    const ToolRun run = Tool(dir, args + log);
    ASSERT_EQ(run.status, 0) << args << run.err;
    EXPECT_TRUE(TerminalSafe(run.out)) << args;
    EXPECT_EQ(Occurrences(run.out, "\n"), lines) << args;
    for (const char* text : says) EXPECT_TRUE(Has(run.out, text)) << args;
    if (args.find("--json") == std::string::npos) continue;
    const nlohmann::json json = Json(run.out);
    std::set<std::string> read;
    for (const nlohmann::json& row :
         json.is_array() ? json : json.at(json.contains("counters") ? "counters" : "results")) {
      read.insert(Unshown(row.at("counter")));
      EXPECT_TRUE(!row.contains("host") || Unshown(row["host"]) == hostRead) << args;
    }
    EXPECT_TRUE(read == expected) << args;
  }
  // An ordinary log whose record gives a rate past any double.
  const ToolRun records =
      Tool(dir, "csv --json " +
                    dir.Write("app.log", Record("r\x01\xff: seconds=1e-320 samples=200 rate=1")));
  ASSERT_EQ(records.status, 0) << records.err;
  const nlohmann::json record = Json(records.out).at(0);
  EXPECT_EQ(Unshown(record.at("counter")), "r\x01\xff");
  EXPECT_TRUE(record.at("rate").is_null()) << records.out;
}

// The page holds the summary's figures for every counter, a picture each and the objectives'
// results; hostile names and hosts are text, never markup nor a format character; and a real
// browser renders it without requesting anything outside the file.
TEST(ReportHtml, PageHoldsEveryFigureAndPictureAndRequestsNothingOutside) {
  TempDir dir("report");
  const std::vector<std::string> names = {"disk.read",    "<script>document.title='x'</script>",
                                          "q\"'&amp;<b>", "img<img src=http://127.0.0.1:9/n.png>",
                                          "bad\xff\x01",  "rtl\xe2\x80\xae\xe2\x81\xa6"};
  const std::string log = LogOf(dir, "h.hlog", names), host = "h\xe2\x80\x8b\xef\xbb\xbf";
  SetHostLine(log, host);
  const std::string page = dir.Path("page.html");
  const ToolRun run =
      Tool(dir, "html --slo '*:max < 1h' --slo 'disk*:p50 < 1us' -o " + page + " " + log);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string html = ReadFile(page);
  const ToolRun summary = Tool(dir, "summary " + log);
  ASSERT_EQ(summary.status, 0);
  // Each summary row's figures (its last eight fields) are cells of the page.
  std::istringstream lines(summary.out);
  std::string line, field;
  std::size_t rows = 0;
  for (std::getline(std::getline(lines, line), line); std::getline(lines, line); ++rows) {
    std::vector<std::string> fields;
    for (std::istringstream words(line); words >> field;) fields.push_back(field);
    ASSERT_GE(fields.size(), 9u) << line;
    for (std::size_t k = fields.size() - 8; k < fields.size(); ++k)
      EXPECT_TRUE(Has(html, "<td>" + fields[k] + "</td>")) << line;
  }
  EXPECT_EQ(rows, names.size());
  for (const std::string& name : names)
    EXPECT_TRUE(Has(html, "<h2>" + zrreport::HtmlText(zrreport::ShownName(name)) + "</h2>"));
  for (const char* tag : {"<script", "<img"}) EXPECT_FALSE(Has(html, tag));
  EXPECT_TRUE(TerminalSafe(html, true));
  EXPECT_TRUE(Has(html, " intervals from " + zrreport::ShownName(host) + ".<br>"));
  EXPECT_TRUE(Has(html, "<p class=\"breached\">1 of 7 breached</p>"));
  EXPECT_FALSE(Has(html, "Pictures of the first"));
  // Past 12 counters the tables hold them all, the pictures the first 12.
  std::vector<std::string> many;
  for (int c = 0; c < 13; ++c) many.push_back("c" + std::to_string(100 + c));
  const zrreport::Dataset manyData = Read({LogOf(dir, "many.hlog", many)});
  std::string manyPage, error;
  bool held = false;
  ASSERT_TRUE(zrreport::Html(manyData, {}, {}, &manyPage, &held, &error)) << error;
  EXPECT_TRUE(Has(manyPage, "<td>c112</td>"));
  EXPECT_TRUE(Has(manyPage, "<h2>c111</h2>"));
  EXPECT_FALSE(Has(manyPage, "<h2>c112</h2>"));
  EXPECT_TRUE(Has(manyPage, "Pictures of the first 12 of 13 counters"));

  std::string browser;
  for (const char* path : {"/usr/bin/chromium-headless-shell", "/usr/bin/chromium"})
    if (browser.empty() && access(path, X_OK) == 0) browser = path;
  if (browser.empty())
    GTEST_SKIP() << "no Chromium to render the page (Debian package chromium-headless-shell)";
  // The browser's network log lists every URL it requested (as a page with an outside picture
  // shows).
  const std::string outside = dir.Write("outside.html", "<img src=\"http://127.0.0.1:9/x.png\">");
  const auto render = [&](const std::string& file, const std::string& tag) {
    const std::string command =
        "timeout 120 " + browser +
        " --headless --no-sandbox --disable-gpu --disable-background-networking "
        "--disable-component-update --disable-sync --no-first-run --user-data-dir=" +
        dir.Path("profile-" + tag) + " --log-net-log=" + dir.Path("net-" + tag) +
        " --dump-dom file://" + file + " >" + dir.Path("dom-" + tag) + " 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return std::make_pair(ReadFile(dir.Path("dom-" + tag)), ReadFile(dir.Path("net-" + tag)));
  };
  EXPECT_TRUE(Has(render(outside, "outside").second, "\"url\":\"http://127.0.0.1:9/x.png\""));
  const auto rendered = render(page, "page");
  const std::string& dom = rendered.first;
  EXPECT_FALSE(Has(rendered.second, "\"url\":"));
  // The browser made no element of a name.
  for (const char* tag : {"<script", "<img", "<b>"}) EXPECT_FALSE(Has(dom, tag));
  EXPECT_EQ(Occurrences(dom, "<svg"), names.size());
  EXPECT_TRUE(Has(dom, "<title>zrperf report "));
}

// Two processes writing one target at once leave one of the two outputs, whole, and no temporary.
TEST(ReportOutput, RacingWritersLeaveOneOutputWholeAndNoTemporary) {
  TempDir dir("report");
  const std::string log = PlotDataLog(dir);
  const std::string out = dir.Path("race.csv");
  const std::string args[] = {"csv --counter disk.read -o " + out + " " + log,
                              "csv --json -o " + out + " " + log};
  std::string expected[2];
  for (int w = 0; w < 2; ++w) {
    ASSERT_EQ(Tool(dir, args[w]).status, 0);
    expected[w] = ReadFile(out);
  }
  ASSERT_NE(expected[0], expected[1]);
  for (int round = 0; round < 20; ++round) {
    std::filesystem::remove(out);
    int status[2] = {-1, -1};
    zrperf_test::RunTogether(2, [&](int w) {
      status[w] = std::system((std::string(ZRPERF_REPORT_BINARY) + " " + args[w]).c_str());
    });
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(status[1], 0);
    const std::string got = ReadFile(out);
    EXPECT_TRUE(got == expected[0] || got == expected[1]) << round << ": " << got.size();
    EXPECT_EQ(Entries(dir.path()), 2);
  }
}

}  // namespace
