// Test support for zrperf-report's tests (tools/ and tools/internal/), test-only: logs written the
// way the library writes them (histogram logs, "Interval Stats" records), the logs the command-line
// tests share, a command line read in process into an Invocation and a command's unit run on it,
// the command itself run as a child process, and checks of the outputs: safe on a terminal,
// strict JSON, names read back exactly.
//
// Thread-safety: plain functions; Tool() starts a child process (and waits for it).

#ifndef ZRPERF_TESTS_SUPPORT_REPORTLOGS_H_
#define ZRPERF_TESTS_SUPPORT_REPORTLOGS_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <zrperf/perf/HistogramLog.h>
#include <zrperf/perf/internal/HistogramLogFormat.h>
#include <zrperf/tests/support/TempDir.h>
#include <zrperf/tools/internal/Options.h>
#include <zrperf/tools/internal/ReportInput.h>
#include <zrperf/util/internal/RecordText.h>
#include <zrperf/util/internal/Utf8.h>

namespace zrreport_test {

namespace histlog = zrperf::histlog;
using zrperf_test::ReadFile;
using zrperf_test::TempDir;
using zrperf_test::WriteFile;
using Counters = CHistogramLog::CounterList;

inline constexpr double kT0 = 1765000000.0;  // the first pass's Unix time

// The example line of docs/histogram-log.md, its fields.
inline const std::vector<std::string> kFields = {
    "1765000060.000000", "60.000121", "disk0.read", "304", "4446866", "1660", "15000", "0",
    "rAEDAAEwrAI"};

// The example line with field `k` replaced by `value`.
inline std::string With(std::size_t k, const std::string& value) {
  std::string line;
  for (std::size_t f = 0; f < kFields.size(); ++f)
    line += (f == 0 ? "" : "\t") + (f == k ? value : kFields[f]);
  return line;
}

// A writer's header block (7 lines), then `passes` lines of counter "op".
inline std::string LogText(int passes, const std::string& host = "h", double t0 = kT0) {
  std::string text = histlog::HeaderText(host, 1, t0);
  CTimeCounter counter;
  for (int pass = 0; pass < passes; ++pass) {
    counter.AddSample(CTimeInterval(1000 + 7 * pass));
    histlog::AppendLine(text, t0 + 60 * (pass + 1), 60, "op", counter.GetSnapshot());
  }
  return text;
}

// An ordinary log with one "Interval Stats" record whose first line starts with `fields`.
inline std::string Record(const std::string& fields) {
  return "2026-12-07 01:50:00.250 [info] [42:43] [void CPerfCounters::Log():40] Interval Stats: "
         "\n\t\t\t\t" +
         fields + " mean=1.26ms p50=1.21ms p90=1.66ms p99=2.30ms p99.9=4.10ms max=12.50ms\n";
}

struct TextRead {
  bool ok = false;
  std::string error;
  zrreport::Dataset data;
};

inline TextRead ReadLog(const std::string& text) {
  TextRead r;
  r.ok = zrreport::ReadText("x.hlog", text, &r.data, &r.error);
  return r;
}

inline std::string Warnings(const zrreport::Dataset& data) {
  std::string all;
  for (const std::string& w : data.warnings) all += w + "\n";
  return all;
}

inline zrreport::Dataset Read(const std::vector<std::string>& paths) {
  zrreport::Dataset data;
  std::string error;
  EXPECT_TRUE(zrreport::ReadInputs(paths, &data, &error)) << error;
  return data;
}

// Durations from 0 to about 10 s, even over the logarithm: every decade's buckets fill.
inline std::vector<long long> Samples(unsigned seed, int n) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> exponent(0.0, 8.0);
  std::vector<long long> out;
  for (int i = 0; i < n; ++i)
    out.push_back(i % 97 == 0 ? 0 : static_cast<long long>(std::pow(10.0, exponent(random))));
  return out;
}

inline void Feed(const std::vector<CTimeCounter*>& counters,
                 const std::vector<long long>& samples) {
  for (long long s : samples)
    for (CTimeCounter* counter : counters) counter->AddSample(CTimeInterval(s));
}

// Adds `n` samples of `units` (100 ns each) to the counter `k` of a log's counters.
inline void Add(Counters& counters, std::size_t k, long long units, int n = 1) {
  for (int i = 0; i < n; ++i) counters[k].second->AddSample(CTimeInterval(units));
}

inline CTimeCounterSnapshot MergeAll(const zrreport::Dataset& data, const std::string& name) {
  CTimeCounterSnapshot merged;
  for (const zrreport::Interval& i : data.intervals)
    if (i.name == name) merged.Merge(i.Snapshot());
  return merged;
}

// Checks that `merged` has the buckets and totals of `ref` (and so its percentiles).
inline void ExpectSameHistogram(const CTimeCounterSnapshot& merged,
                                const CTimeCounterSnapshot& ref) {
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
inline std::string WriteLog(const TempDir& dir, const std::string& file,
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
inline std::string LogOf(const TempDir& dir, const std::string& file,
                         const std::vector<std::string>& names) {
  return WriteLog(dir, file, names, 2, [](Counters& counters, int pass) {
    for (auto& c : counters)
      for (long long s : {10, 2000, 300000}) c.second->AddSample(CTimeInterval(s + pass));
  });
}

// Two counters over twenty passes.
inline std::string PlotDataLog(const TempDir& dir) {
  return WriteLog(dir, "p.hlog", {"disk.read", "disk.write"}, 20, [](Counters& counters, int pass) {
    for (auto& c : counters) Feed({c.second.get()}, Samples(pass * 7 + c.first.size(), 3000));
  });
}

// Replaces the value of the file's "#host" line with `host` as it stands.
inline void SetHostLine(const std::string& path, const std::string& host) {
  std::string text = ReadFile(path);
  const std::size_t at = text.find("#host ") + 6;
  text.replace(at, text.find('\n', at) - at, host);
  WriteFile(path, text);
}

inline std::size_t Occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Whether `text` holds `what`; either way the message shows `what` and the start of `text`.
inline testing::AssertionResult Has(const std::string& text, const std::string& what) {
  return (text.find(what) != std::string::npos ? testing::AssertionSuccess()
                                               : testing::AssertionFailure())
         << "'" << what << "' in:\n"
         << text.substr(0, 4000);
}

inline std::ptrdiff_t Entries(const std::string& dir) {
  return std::distance(std::filesystem::directory_iterator(dir),
                       std::filesystem::directory_iterator());
}

inline mode_t KindAt(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

inline std::string Micros(CTimeInterval value) {
  const long long units = value.Get100ns();
  return std::to_string(units / 10) + "." + std::to_string(units % 10);
}

#if defined(ZRPERF_REPORT_BINARY)  // the command's path (and its emulator, in a cross build)
struct ToolRun {
  int status = -1;  // the exit status; -1 when killed
  std::string out, err;
};

// Runs the command with `arguments` (shell words); a hang ends after a minute (exit status 124).
inline ToolRun Tool(const TempDir& dir, const std::string& arguments) {
  const std::string out = dir.Path(".tool-out"), err = dir.Path(".tool-err");
  const std::string command = "exec timeout 60 " + std::string(ZRPERF_REPORT_BINARY) + " " +
                              arguments + " >" + out + " 2>" + err;
  const int status = std::system(command.c_str());
  const ToolRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return run;
}
#endif

// Unicode's format characters (general category Cf, Unicode 15.0) and the line and paragraph
// separators: invisible, or reordering the text around them.
inline constexpr std::pair<char32_t, char32_t> kFormatCharacters[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F}};

inline std::string Utf8(char32_t c) {
  if (c < 0x80) return std::string(1, static_cast<char>(c));
  const int tail = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  const unsigned char lead[] = {0, 0xC0, 0xE0, 0xF0};
  std::string out(1, static_cast<char>(lead[tail] | (c >> (6 * tail))));
  for (int k = tail - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  return out;
}

// True when `text` is safe on a terminal: well-formed UTF-8 with no control character (C0, DEL or
// C1) other than the line feeds between lines (and, with `tabs`, tabs), and no format character.
inline bool TerminalSafe(const std::string& text, bool tabs = false) {
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
inline nlohmann::json Json(const std::string& text) {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    ADD_FAILURE() << e.what() << " in:\n" << text.substr(0, 4000);
    return nlohmann::json::value_t::discarded;
  }
}

// The name whose shown form a JSON string holds.
inline std::string Unshown(const nlohmann::json& value) {
  return zrperf::UnescapeRecordText(value.get<std::string>());
}

// The command's names, in the order its messages list them.
inline const std::vector<std::string> kCommands = {"summary", "csv",     "plot",
                                                   "check",   "compare", "html"};

// Reads a command line (the arguments after the command's name) as the command does: false with
// `error` set, the usage message.
inline bool ParseArgs(const std::vector<std::string>& args, zrreport::Invocation* in,
                      std::string* error) {
  std::vector<std::string> words = {"zrperf-report"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  return zrreport::ParseCommandLine(static_cast<int>(words.size()), argv.data(), kCommands, in,
                                    error);
}

// The Invocation of a command line that is read (one that is not fails the test).
inline zrreport::Invocation Invoke(const std::vector<std::string>& args) {
  zrreport::Invocation in;
  std::string error;
  EXPECT_TRUE(ParseArgs(args, &in, &error)) << args[0] << ": " << error;
  return in;
}

// The logs the command-line tests share, in `dir`:
// - i.hlog: counter "op", two passes of three samples;
// - c.hlog, check's log: "op" with a fast interval (100 samples of 1 ms), then a slow one (9 ms),
//   and "idle" (10 samples of 1 us each);
// - old.hlog and new.hlog, two runs: "both" (100 samples of 100 us, then 200 us), with "gone" in
//   the old run only and "fresh" in the new one (100 samples of 1 us each), three passes each;
// - r.log and app.log, ordinary logs: records give rows, but no merged window (app.log's second
//   record has no figure that it lacks, and a line that is no record follows); nan.log, inf.log
//   and -1.00.log, records of a corrupt length.
inline void WriteCommandLogs(const TempDir& dir) {
  LogOf(dir, "i.hlog", {"op"});
  WriteLog(dir, "c.hlog", {"op", "idle"}, 2, [](Counters& k, int pass) {
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
  dir.Write("r.log", Record("op: seconds=1.00 samples=2 rate=2.00"));
  dir.Write("app.log", Record("disk.read: seconds=1.00 samples=200 rate=200.00") +
                           "\t\t\t\tx: y: seconds=2.00 samples=3 rate=1.50 mean=700ns p50=700ns "
                           "p90=700ns p99=700ns p99.9=700ns max=800ns\n"
                           "2026-12-07 01:50:01.250 [info] [42:43] [void Other():1] unrelated\n");
  for (const std::string seconds : {"nan", "inf", "-1.00"})
    dir.Write(seconds + ".log", Record("x: seconds=" + seconds + " samples=2 rate=2.00"));
}

// A command's unit run on an Invocation, as the command runs it: its text (what the command
// writes), `held` false when an objective is breached; false with `error` set on a fault.
using Unit = std::function<bool(const zrreport::Invocation& in, std::string* text, bool* held,
                                std::string* error)>;

// Reads the command line `args` in process and runs `unit` on it, then checks what the command
// would do: its exit status (0; 3 when an objective is breached; 1 on a fault, said in one line
// that is safe on a terminal), each of `says` in its text (a fault: in its message), and a JSON
// text that a strict reader takes, whose "held" (check's) says the same as the status.
inline void ExpectRow(const std::vector<std::string>& args, const Unit& unit, int status,
                      const std::vector<std::string>& says) {
  std::string shown;
  for (const std::string& arg : args) shown += arg + " ";
  zrreport::Invocation in;
  std::string text, error;
  ASSERT_TRUE(ParseArgs(args, &in, &error)) << shown << ": " << error;
  bool held = true;
  const bool ok = unit(in, &text, &held, &error);
  EXPECT_EQ(!ok ? 1 : held ? 0 : 3, status) << shown << ": " << error;
  for (const std::string& what : says) EXPECT_TRUE(Has(ok ? text : error, what)) << shown;
  if (!ok) {
    EXPECT_EQ(error.find('\n'), std::string::npos) << shown << error;
    EXPECT_TRUE(TerminalSafe(error)) << error;
    return;
  }
  if (!in.options.json) return;
  const nlohmann::json json = Json(text);
  EXPECT_TRUE(in.command != "check" || json.at("held") == held) << shown;
}

}  // namespace zrreport_test

#endif  // ZRPERF_TESTS_SUPPORT_REPORTLOGS_H_
