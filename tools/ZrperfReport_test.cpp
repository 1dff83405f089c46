// zrperf-report, the command itself: each command line's exit status and what it says, and hostile
// names through every output the command writes (gnuplot run by it included). Each unit's own test
// is beside it in tools/internal/.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <zrperf/tests/support/ReportLogs.h>
#include <zrperf/tools/internal/ReportText.h>
#include <zrperf/util/internal/RecordText.h>

namespace {

using namespace zrreport_test;

// Each kind of command line's exit status (0, or 3 when check finds an objective breached; 1 for a
// fault of the input, of the output or of a command; 2 for a bad command line), and what its
// output (for a fault, its message) says; --help (or -h anywhere) shows the usage and nothing
// else. A fault is one line on standard error (a bad command line adds the hint to --help)
// quoting names as they are shown, and writes nothing, to -o FILE nor to standard output. The
// inputs are the arguments that are not options: one that starts with '-' is an option, but '-'
// alone names a file: standard input is never read. The pages report breached objectives; only
// check gates by its status. What each command says of its logs is its unit's test
// (tools/internal/*_test.cpp), with the same command lines read in process.
TEST(ReportCommandLine, EachCommandLineExitsWithItsStatusAndSaysWhy) {
  TempDir dir("report");
  WriteCommandLogs(dir);
  const std::string log = " " + dir.Path("i.hlog"), out = dir.Path("out.csv");
  const std::string o = " -o " + out, d = " " + dir.path() + "/", c = d + "c.hlog";
  ASSERT_EQ(mkfifo(dir.Path("fifo.hlog").c_str(), 0600), 0);
  std::filesystem::create_directory(dir.Path("dir.hlog"));
  std::filesystem::create_symlink("/dev/zero", dir.Path("zero.hlog"));
  const std::string runs = d + "old.hlog" + d + "new.hlog";
  const std::tuple<std::string, int, std::vector<std::string>> cases[] = {
      {"summary" + o + d + "missing.hlog", 1, {"missing.hlog: cannot be read: No such file"}},
      {"summary" + o + d + "fifo.hlog", 1, {"fifo.hlog: cannot be read: a FIFO, not a regular"}},
      {"summary" + d + "dir.hlog", 1, {"dir.hlog: cannot be read: a directory, not a regular"}},
      {"summary /dev/zero", 1, {"/dev/zero: cannot be read: a character device, not a regular"}},
      {"summary" + d + "zero.hlog", 1, {"zero.hlog: cannot be read: a character device, not"}},
      {"summary \"$(printf 'f\\033[2J')\"", 1, {"f\\x1b[2J: cannot be read"}},
      {"summary - <" + log, 1, {"zrperf-report: -: cannot be read: No such file or directory"}},
      {"summary -o" + d + "missing/s.txt" + log, 1, {"No such file or directory"}},
      {"plot -o" + d + "missing/p.png" + log,
       1,
       {"cannot write '" + dir.Path("missing/p.png") + "': creating a temporary file in '" +
        dir.Path("missing/") + "': No such file or directory"}},
      {"csv --from -0s" + o + log, 1, {"no interval of the selected counters"}},
      {"check --slo 'op:max < 1h'" + d + "r.log", 1, {"cannot be merged"}},
      {"compare --counter nosuch" + runs, 1, {"old run: no counter matches 'nosuch'"}},
      {"summary", 2, {"no input file"}},
      {"summary \"$(printf -- '--x\\033[2J')\"", 2, {"unknown option '--x\\x1b[2J'"}},
      {"check --slo 'op:max >= 1h'" + c, 2, {"malformed objective 'op:max >= 1h'"}},
      {"--help", 0, {"Usage: zrperf-report COMMAND [OPTION]... FILE...\n"}},
      {"summary --counter x -h" + d + "missing.hlog", 0, {"\nExit status: 0 on success"}},
      {"summary" + log + log, 0, {"op "}},
      {"csv" + o + log, 0, {",op,3,"}},
      {"csv" + d + "app.log", 0, {",42,disk.read,200,"}},
      {"plot -o" + d + "p.svg" + log, 0, {}},
      {"html --slo 'op:max < 1ns' -o" + d + "p.html" + log, 0, {}},
      {"check --slo 'op:mean < 6ms'" + c, 0, {"held     op                               mean"}},
      {"check --slo 'op:max < 9ms'" + c, 3, {"BREACHED op"}},
      {"check --json --each-interval --slo 'op:p99.9 <= 1ms'" + o + c, 3, {"\"held\": false"}},
      {"compare" + runs, 0, {"only in the old run: gone\nonly in the new run: fresh\n"}}};
  for (const auto& [args, status, says] : cases) {
    const ToolRun run = Tool(dir, args);
    EXPECT_EQ(run.status, status) << args << ": " << run.err;
    const bool result = status == 0 || status == 3;
    const std::string said = result ? run.out + ReadFile(out) : run.err;
    for (const std::string& text : says) EXPECT_TRUE(Has(said, text)) << args;
    EXPECT_TRUE(TerminalSafe(run.err)) << run.err;
    if (!result) {
      EXPECT_EQ(Occurrences(run.err, "\n"), status == 1 ? 1u : 2u) << args << run.err;
      EXPECT_TRUE(status == 1 || Has(run.err,
                                     "\nTry 'zrperf-report --help' for more "
                                     "information.\n"))
          << args;
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
  EXPECT_TRUE(Has(ReadFile(dir.Path("p.svg")), "<svg"));
  EXPECT_TRUE(Has(ReadFile(dir.Path("p.html")), "<p class=\"breached\">1 of 1 breached</p>"));
}

// gnuplot expands backquotes and macros: names that try them (and quotes, a data block's end
// marker, newlines, bytes that are not UTF-8) run nothing, and show in the plot as elsewhere.
TEST(ReportHostile, NamesRunNothingInGnuplotAndShowAsElsewhere) {
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
}

// Every byte value and format character in names and a host: JSON reads each back exactly, CSV
// rows stay rows and formulas text, every output is safe on a terminal.
TEST(ReportHostile, EveryByteOfANameOrHostGivesSafeAndExactOutputs) {
  TempDir dir("report");
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

}  // namespace
