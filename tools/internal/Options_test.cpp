// Options: the command line read in process (each usage message, and a valid line's fields),
// and the parsers of its values: times in every form and unit, objectives, lists of percentiles.

#include "Options.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <zrperf/tests/support/ReportLogs.h>

namespace {

using namespace zrreport_test;

// --from and --to: each unit of a relative time, Unix seconds, each ISO form; malformed ones.
TEST(ReportOptions, TimesInEveryFormAndUnitAreReadAndMalformedOnesRefused) {
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
                                                  {"2000-02-29T00:00Z", 951782400},
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
      {"",       "-",     "-s",   "-5",   "-5x",    "-5S",   "-5ms",  "-5 s",
       "- 5s",   "--5s",  "-+5s", "-5s ", "-inf s", "-infs", "-nans", "-1e3s",
       "-0x10s", "-.5s",  "-5.s", "5s",   "1.",     ".5",    "1e9",   "+1",
       " 1",     "1.2.3", "0x10", "-5M",  "-5H",    "-5D",   "-5sm",  "-1.5hh"},
      {"2026-12-07", "2026-12-07T01", "2026-12-07T1:50", "2026-12-7T01:50", "26-12-07T01:50",
       "2026-12-07 01:50", "2026-12-07t01:50", "2026-12-07T01:50z", "2026-12-07T01:50:3",
       "2026-12-07T01:50:", "2026-12-07T01:50 ", "2026-12-07T01:50:30 Z"},
      {"2026-12-07T01:50:30ZZ", "2026-12-07T01:50Z:30", "2026-12-07T01:50:30.5",
       "2026-12-07T01:50+01:00", "2026-12-07T01:50:60"},
      {"2026-13-07T01:50", "2026-00-07T01:50", "2026-02-29T01:50", "2026-12-32T01:50",
       "2026-12-00T01:50", "2100-02-29T00:00", "2026-12-07T24:00", "2026-12-07T01:60",
       "2026-+2-07T01:50", "2026-0:-07T01:50"}};
  for (const auto& texts : malformed) {
    for (const char* text : texts) {
      double got = -1;
      std::string error;
      EXPECT_FALSE(zrreport::ParseTime(text, end, &got, &error)) << text << " read as " << got;
      EXPECT_TRUE(Has(error, "cannot read the time '")) << text;
    }
  }
}

TEST(ReportOptions, ObjectivesParseOrSayWhichPartIsMalformed) {
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

// --percentiles: the lists taken (sorted) and refused.
TEST(ReportOptions, PercentileListsAreSortedAndMalformedOnesRefused) {
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
}

// Each bad command line's usage message (the command exits with status 2 on each), quoting
// arguments as names are shown; nothing of a refused line is kept.
TEST(ReportOptions, EachBadCommandLineSaysWhy) {
  const std::string log = "i.hlog";
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{}, "a command is needed: summary, csv, plot, check, compare or html"},
      {{"report\x1b[2J", log}, "unknown command 'report\\x1b[2J' (summary, csv, plot, check, "},
      {{"summary"}, "no input file"},
      {{"summary", "--json", "-o", "x"}, "no input file"},
      {{"summary", "-x", log}, "unknown option '-x'"},
      {{"summary", "--", log}, "unknown option '--'"},
      {{"summary", "--x\x1b[2J"}, "unknown option '--x\\x1b[2J'"},
      {{"summary", "--json=1", log}, "unknown option '--json=1'"},
      {{"summary", log, "--from"}, "--from needs a value"},
      {{"summary", "-o", "", log}, "-o needs a file name"},
      {{"plot", "-o", "out.csv", log}, "plot needs -o FILE.png or -o FILE.svg"},
      {{"plot", "--json", "-o", "p.svg", log}, "--json is for summary, csv, check, compare"},
      {{"plot", "--size", "99x100", "-o", "p.svg", log},
       "--size needs WIDTHxHEIGHT in pixels (100 to 10000), not '99x100'"},
      {{"plot", "--size", "100x10001", "-o", "p.svg", log}, "--size needs WIDTHxHEIGHT"},
      {{"summary", "--heatmap", log}, "--heatmap is for plot"},
      {{"summary", "--percentiles", "50,50", log}, "p50 is listed twice"},
      {{"check", "--percentiles", "50", "--slo", "*:max<1h", log}, "--percentiles is for summary"},
      {{"summary", "--slo", "op:max<1h", log}, "--slo is for check and html"},
      {{"csv", "--each-interval", log}, "--each-interval is for check and html"},
      {{"html", log}, "html needs -o FILE.html"},
      {{"html", "-o", "x.svg", log}, "html needs -o FILE.html"},
      {{"html", "--json", "-o", "x.html", log}, "--json is not for html"},
      {{"compare", log}, "compare takes two logs: OLD NEW"},
      {{"compare", log, log, log}, "compare takes two logs: OLD NEW"},
      {{"check", "--slo", "op:max >= 1h", log}, "malformed objective 'op:max >= 1h'"},
      {{"check", log}, "check needs an objective"},
      {{"check", "--slo", "op:max < 1h", "--by-host", log}, "--by-host is for summary"},
      {{"compare", "--json", "-o", "c.png", log, log}, "--json is for the table"}};
  for (const auto& [args, says] : cases) {
    zrreport::Invocation in;
    std::string error;
    EXPECT_FALSE(ParseArgs(args, &in, &error)) << says;
    EXPECT_TRUE(Has(error, says));
    EXPECT_TRUE(TerminalSafe(error) && error.find('\n') == std::string::npos) << error;
    EXPECT_TRUE(in.command.empty() && in.inputs.empty()) << says;
  }
}

// A valid command line's fields: repeated options in order, values inline or in the next argument
// (as it is, even when it starts with '-'), and '-' alone an input file.
TEST(ReportOptions, AValidCommandLineGivesEachField) {
  const auto fields = [](const zrreport::Invocation& in) {
    const zrreport::ReportOptions& o = in.options;
    std::string text = in.command + " counters";
    for (const std::string& glob : o.counters) text += " " + glob;
    text += " from " + o.from + " to " + o.to + " p";
    for (const zrreport::Stat& stat : o.percentiles) text += " " + stat.label;
    text += " slo";
    for (const zrreport::Objective& objective : in.objectives) text += " " + objective.Shown();
    text += std::string(o.json ? " json" : "") + (o.byHost ? " by-host" : "") +
            (o.heatmap ? " heatmap" : "") + (o.eachInterval ? " each" : "") + " size " +
            std::to_string(o.width) + "x" + std::to_string(o.height) + " -o " + in.output + " in";
    for (const std::string& input : in.inputs) text += " " + input;
    return text;
  };
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"compare", "--counter", "a*", "--counter=b", "--from", "-5m", "--to", "2026-12-07T01:50Z",
        "--percentiles", "99,50", "-o", "x.svg", "old", "new"},
       "compare counters a* b from -5m to 2026-12-07T01:50Z p p50 p99 slo size 0x0 -o x.svg in "
       "old new"},
      {{"check", "--slo", "op:max<1h", "--slo=*:p50 <= 2ms", "--each-interval", "--json", "-", "a"},
       "check counters from  to  p slo op:max < 1h *:p50 <= 2ms json each size 0x0 -o  in - a"},
      {{"plot", "--heatmap", "--size", "900x1100", "--output", "p.png", "a"},
       "plot counters from  to  p slo heatmap size 900x1100 -o p.png in a"},
      {{"summary", "--by-host", "-o", "-x", "--from=1765000000", "a", "a"},
       "summary counters from 1765000000 to  p slo by-host size 0x0 -o -x in a a"},
      {{"html", "--slo", "*:mean<1s", "--percentiles=90", "-o", "p.html", "a"},
       "html counters from  to  p p90 slo *:mean < 1s size 0x0 -o p.html in a"}};
  for (const auto& [args, expected] : cases) EXPECT_EQ(fields(Invoke(args)), expected);
}
}  // namespace
