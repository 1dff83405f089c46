// Summary: the durations of its table are the counters' own text for every 100 ns unit up to
// 20 ms, and a window of "Interval Stats" records is refused.

#include "Summary.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>

#include <zrperf/counters/internal/DurationText.h>
#include <zrperf/tests/support/ReportLogs.h>

namespace {

using namespace zrreport_test;

// Each 100 ns unit up to 20 ms as a single-sample counter's mean and maximum.
TEST(ReportSummary, SummaryDurationsAreTheCountersTextForEveryUnitUpTo20ms) {
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

// Records of an ordinary log hold no histogram: their window cannot be merged.
TEST(ReportSummary, AWindowOfRecordsIsNotMerged) {
  TempDir dir("report");
  WriteCommandLogs(dir);
  ExpectRow({"summary", dir.Path("app.log")},
            [](const zrreport::Invocation& in, std::string* text, bool*, std::string* error) {
              zrreport::Dataset data;
              return zrreport::ReadInputs(in.inputs, &data, error) &&
                     zrreport::Summary(data, in.options, text, error);
            },
            1, {"cannot be merged exactly"});
}

}  // namespace
