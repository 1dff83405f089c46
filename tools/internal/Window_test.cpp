// Window: a window takes the intervals that end in it, whole, and merges them (and two hosts'
// logs) bucket for bucket into the histogram of one counter fed the same samples.

#include "Window.h"

#include <gtest/gtest.h>

#include <string>

#include <zrperf/tests/support/ReportLogs.h>
#include <zrperf/tools/internal/Summary.h>

namespace {

using namespace zrreport_test;

// A window takes the intervals that end in it, whole: all merge into the histogram of a counter
// fed every sample, passes 3..6 into one fed theirs, two hosts' logs into one. A later interval's
// extremes are bounds, so percentiles are compared away from both ends.
TEST(ReportWindow, WindowsAndHostsMergeTheIntervalsEndingInThemBucketForBucket) {
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

}  // namespace
