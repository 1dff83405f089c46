#include "ProtoExposition.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <zrperf/tests/support/TempDir.h>
#include "CounterFamilies.h"
#include "ExpositionText.h"
#include "OpenMetricsText.h"

namespace {

using zrprom::BucketSpan;
using zrprom::Family;
using zrprom::MetricType;
using zrprom::NativeBucket;

// The spans (offset, length) and the deltas written for `buckets`.
using Encoded = std::pair<std::vector<std::pair<int, unsigned>>, std::vector<std::int64_t>>;
Encoded Encode(const std::vector<NativeBucket>& buckets) {
  std::vector<BucketSpan> spans;
  Encoded e;
  zrprom::EncodeNativeSpans(buckets, &spans, &e.second);
  for (const BucketSpan& span : spans) e.first.emplace_back(span.offset, span.length);
  return e;
}

TEST(NativeSpans, FirstOffsetIsAbsoluteLaterOffsetsAreGapsAndShortGapsStayInsideASpan) {
  // -3, -2 adjacent; 0 after a gap of one (bridged by a zero); 5 after a gap of 4.
  EXPECT_EQ(Encode({{-3, 1}, {-2, 2}, {0, 1}, {5, 4}}),
            Encoded({{-3, 4}, {4, 1}}, {1, 1, -2, 1, 3}));
  // A gap of exactly two is bridged, of three is not; zero counts are no buckets.
  EXPECT_EQ(Encode({{10, 5}, {13, 5}, {14, 0}, {17, 2}}),
            Encoded({{10, 4}, {3, 1}}, {5, -5, 0, 5, -3}));
  // Counts above 2^63 still give exact deltas (two's complement differences).
  const std::vector<std::int64_t> deltas =
      Encode({{0, (std::uint64_t{1} << 63) + 5}, {1, 1}}).second;
  EXPECT_EQ(deltas[0] + deltas[1], 1);
  // No bucket: the no-op span that marks a native histogram.
  EXPECT_EQ(Encode({}), Encoded({{0, 0}}, {}));
  EXPECT_EQ(Encode({{7, 0}}), Encoded({{0, 0}}, {}));
}

// Families holding every kind of field the writers know, with values that
// are easy to get wrong: escapes, zero, negative and infinite numbers.
std::vector<Family> SampleFamilies() {
  zrprom::Metric x;
  x.labels = {{"counter", "x"}};
  x.createdUnixNanos = 1700000001000000000;
  x.histogram = {10, 2.5e-06, {{9.5e-06, 3}, {0.5, 8}}, {true, 4, 1e-9, 2, {}}};
  x.histogram.native.positive = {{-3, 1}, {-2, 2}, {0, 1}, {5, 4}};
  zrprom::Metric empty;
  empty.histogram = {0, 0, {{9.5e-06, 0}}, {true, -2, 0, 0, {}}};
  return {{"zr_bytes_total",
           "Bytes \\ moved\nper \"counter\".",
           "bytes",
           MetricType::kCounter,
           {{{{"counter", "a\"b\\c\nd"}, {"unit", "\xC3\xA9"}}, 1e18, {}, 1700000000123456789},
            {{{"counter", ""}}, 0.1, {}, -1}}},  // the second started before 1970
          // A gauge has no start: its created time is never written.
          {"zr_level", "", "", MetricType::kGauge, {{{}, -0.0, {}, 5}}},
          {"zr_seconds", "Durations.", "seconds", MetricType::kHistogram, {x, empty}},
          {"zr_none", "", "", MetricType::kGauge, {}}};  // no series: left out
}

TEST(ExpositionText, Format004AndOpenMetricsWriteHeadersSeriesEscapesAndNumbersAsPrometheus) {
  std::string text;
  zrprom::AppendExpositionText(SampleFamilies(), &text);
  EXPECT_EQ(text,
            "# HELP zr_bytes_total Bytes \\\\ moved\\nper \"counter\".\n"
            "# TYPE zr_bytes_total counter\n"
            "zr_bytes_total{counter=\"a\\\"b\\\\c\\nd\",unit=\"\xC3\xA9\"} 1e+18\n"
            "zr_bytes_total{counter=\"\"} 0.1\n"
            "# HELP zr_level \n"
            "# TYPE zr_level gauge\n"
            "zr_level -0\n"
            "# HELP zr_seconds Durations.\n"
            "# TYPE zr_seconds histogram\n"
            "zr_seconds_count{counter=\"x\"} 10\n"
            "zr_seconds_sum{counter=\"x\"} 2.5e-06\n"
            "zr_seconds_bucket{counter=\"x\",le=\"9.5e-06\"} 3\n"
            "zr_seconds_bucket{counter=\"x\",le=\"0.5\"} 8\n"
            "zr_seconds_bucket{counter=\"x\",le=\"+Inf\"} 10\n"
            "zr_seconds_count 0\n"
            "zr_seconds_sum 0\n"
            "zr_seconds_bucket{le=\"9.5e-06\"} 0\n"
            "zr_seconds_bucket{le=\"+Inf\"} 0\n");
  std::string numbers;
  for (double v :
       {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity(),
        123456789.0, 1.0 / 3, 999999.0, 1e6, 0.0001, 0.00009765625, std::sqrt(2.0), -2.5e-300}) {
    zrprom::AppendNumber(v, &numbers);
    numbers += ' ';
  }
  // As Go's strconv.FormatFloat(v, 'g', -1, 64), Prometheus' own form.
  EXPECT_EQ(numbers,
            "NaN -Inf 1.23456789e+08 0.3333333333333333 999999 1e+06 0.0001 9.765625e-05 "
            "1.4142135623730951 -2.5e-300 ");

  // OpenMetrics: type, unit, help, suffixed samples, created times and EOF.
  text.clear();
  zrprom::AppendOpenMetricsText(SampleFamilies(), &text);
  EXPECT_EQ(text,
            "# TYPE zr_bytes counter\n"
            "# UNIT zr_bytes bytes\n"
            "# HELP zr_bytes Bytes \\\\ moved\\nper \\\"counter\\\".\n"
            "zr_bytes_total{counter=\"a\\\"b\\\\c\\nd\",unit=\"\xC3\xA9\"} 1e+18\n"
            "zr_bytes_created{counter=\"a\\\"b\\\\c\\nd\",unit=\"\xC3\xA9\"} "
            "1.7000000001234567e+09\n"
            "zr_bytes_total{counter=\"\"} 0.1\n"
            "zr_bytes_created{counter=\"\"} -1e-09\n"
            "# TYPE zr_level gauge\n"
            "# HELP zr_level \n"
            "zr_level -0\n"
            "# TYPE zr_seconds histogram\n"
            "# UNIT zr_seconds seconds\n"
            "# HELP zr_seconds Durations.\n"
            "zr_seconds_bucket{counter=\"x\",le=\"9.5e-06\"} 3\n"
            "zr_seconds_bucket{counter=\"x\",le=\"0.5\"} 8\n"
            "zr_seconds_bucket{counter=\"x\",le=\"+Inf\"} 10\n"
            "zr_seconds_count{counter=\"x\"} 10\n"
            "zr_seconds_sum{counter=\"x\"} 2.5e-06\n"
            "zr_seconds_created{counter=\"x\"} 1.700000001e+09\n"
            "zr_seconds_bucket{le=\"9.5e-06\"} 0\n"
            "zr_seconds_bucket{le=\"+Inf\"} 0\n"
            "zr_seconds_count 0\n"
            "zr_seconds_sum 0\n"
            "# EOF\n");
  text.clear();
  zrprom::AppendOpenMetricsText({}, &text);
  EXPECT_EQ(text, "# EOF\n");

  // Every byte value in a label value: only backslash, double quote and line
  // feed are escaped, every other byte is written as it is.
  std::vector<Family> one(1);
  one[0].name = "zr";
  one[0].type = MetricType::kGauge;
  one[0].metrics.resize(1);
  for (int byte = 0; byte < 256; ++byte) {
    one[0].metrics[0].labels = {{"v", std::string("a") + static_cast<char>(byte) + "z"}};
    text.clear();
    zrprom::AppendOpenMetricsText(one, &text);
    const std::string escaped = byte == '\\'   ? "\\\\"
                                : byte == '"'  ? "\\\""
                                : byte == '\n' ? "\\n"
                                               : std::string(1, static_cast<char>(byte));
    EXPECT_EQ(text, "# TYPE zr gauge\n# HELP zr \nzr{v=\"a" + escaped + "z\"} 0\n# EOF\n") << byte;
  }
}

// What `protoc --decode=io.prometheus.client.MetricFamily` prints for each
// length-delimited message of `stream`; empty when protoc is not there.
std::vector<std::string> DecodeWithProtoc(const std::string& stream) {
  const char* protoc = std::getenv("ZRPERF_PROTOC");
  const char* proto = std::getenv("ZRPERF_METRICS_PROTO_DIR");
  std::vector<std::string> decoded;
  zrperf_test::TempDir dir("proto-exposition");
  std::size_t at = 0;
  while (at < stream.size()) {
    std::uint64_t length = 0;
    for (int shift = 0;; shift += 7) {
      const auto byte = static_cast<unsigned char>(stream.at(at++));
      length |= std::uint64_t{byte & 0x7Fu} << shift;
      if (byte < 0x80) break;
    }
    const std::string path = dir.Write("message", stream.substr(at, length));
    at += length;
    const std::string command = std::string(protoc) + " --proto_path=" + proto +
                                " --decode=io.prometheus.client.MetricFamily metrics.proto < " +
                                path + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), p)) > 0) out.append(buffer, n);
    EXPECT_EQ(pclose(p), 0) << out;
    decoded.push_back(out);
  }
  return decoded;
}

TEST(ProtoExposition, EveryFieldDecodesWithProtocToTheModelsValues) {
  if (std::getenv("ZRPERF_PROTOC") == nullptr) {
    GTEST_SKIP()
        << "protoc not found at configure time (scripts/deps.sh installs protobuf-compiler)";
  }
  std::string stream;
  zrprom::AppendDelimitedFamilies(SampleFamilies(), &stream);
  const std::vector<std::string> decoded = DecodeWithProtoc(stream);
  ASSERT_EQ(decoded.size(), 3u);  // the family without series is left out
  EXPECT_EQ(decoded[0],
            "name: \"zr_bytes_total\"\nhelp: \"Bytes \\\\ moved\\nper \\\"counter\\\".\"\n"
            "type: COUNTER\n"
            "metric {\n"
            "  label {\n    name: \"counter\"\n    value: \"a\\\"b\\\\c\\nd\"\n  }\n"
            "  label {\n    name: \"unit\"\n    value: \"\\303\\251\"\n  }\n"
            "  counter {\n    value: 1e+18\n"
            "    created_timestamp {\n      seconds: 1700000000\n      nanos: 123456789\n    }\n"
            "  }\n"
            "}\n"
            "metric {\n"
            "  label {\n    name: \"counter\"\n    value: \"\"\n  }\n"
            "  counter {\n    value: 0.1\n"
            "    created_timestamp {\n      seconds: -1\n      nanos: 999999999\n    }\n"
            "  }\n"
            "}\n");
  EXPECT_EQ(decoded[1],
            "name: \"zr_level\"\nhelp: \"\"\ntype: GAUGE\n"
            "metric {\n  gauge {\n    value: -0\n  }\n}\n");
  EXPECT_EQ(decoded[2],
            "name: \"zr_seconds\"\nhelp: \"Durations.\"\ntype: HISTOGRAM\n"
            "metric {\n"
            "  label {\n    name: \"counter\"\n    value: \"x\"\n  }\n"
            "  histogram {\n"
            "    sample_count: 10\n    sample_sum: 2.5e-06\n"
            "    bucket {\n      cumulative_count: 3\n      upper_bound: 9.5e-06\n    }\n"
            "    bucket {\n      cumulative_count: 8\n      upper_bound: 0.5\n    }\n"
            "    bucket {\n      cumulative_count: 10\n      upper_bound: inf\n    }\n"
            "    schema: 4\n    zero_threshold: 1e-09\n    zero_count: 2\n"
            "    positive_span {\n      offset: -3\n      length: 4\n    }\n"
            "    positive_span {\n      offset: 4\n      length: 1\n    }\n"
            "    positive_delta: 1\n    positive_delta: 1\n    positive_delta: -2\n"
            "    positive_delta: 1\n    positive_delta: 3\n"
            "    created_timestamp {\n      seconds: 1700000001\n      nanos: 0\n    }\n"
            "  }\n"
            "}\n"
            "metric {\n"
            "  histogram {\n"
            "    sample_count: 0\n    sample_sum: 0\n"
            "    bucket {\n      cumulative_count: 0\n      upper_bound: 9.5e-06\n    }\n"
            "    bucket {\n      cumulative_count: 0\n      upper_bound: inf\n    }\n"
            "    schema: -2\n    zero_threshold: 0\n    zero_count: 0\n"
            "    positive_span {\n      offset: 0\n      length: 0\n    }\n"
            "  }\n"
            "}\n");
}

using Buckets = std::map<std::int64_t, std::uint64_t>;  // count by index

// Schema-4 buckets summed into the buckets of `schema`: bucket j covers the
// schema-4 buckets i with j - 1 < i / 2^(4 - schema) <= j.
Buckets Lowered(const Buckets& four, int schema) {
  Buckets out;
  for (const auto& [i, count] : four)
    out[static_cast<std::int64_t>(std::ceil(i / std::exp2(4 - schema)))] += count;
  return out;
}

// The buckets a histogram's spans hold: a gap of one or two empty buckets is
// written as zeros inside a span, a longer one starts a new span.
std::uint64_t SpanBuckets(const Buckets& buckets) {
  std::uint64_t n = 0;
  std::int64_t last = 0;
  for (const auto& [index, count] : buckets) {
    n += 1 + (n > 0 && index - last - 1 <= 2 ? index - last - 1 : 0);
    last = index;
  }
  return n;
}

TEST(ProtoExposition, BucketBudgetServesEachHistogramExactlyAtTheLargestSchemaThatFits) {
  // 1 to 3 samples at the upper bound of every schema-4 bucket from 2^-13 s
  // to 2^13 s ("dense": 417, 2 at -4, and a 0), every third (gaps of two,
  // bridged: 415 in the spans) and every fourth (gaps of three, new spans).
  CPerfCounters counters;
  std::map<std::string, Buckets> four;
  const std::pair<const char*, int> kinds[] = {{"dense", 1}, {"gap2", 3}, {"gap3", 4}};
  for (const auto& [name, step] : kinds) {
    for (std::int32_t i = -208; i <= 208; i += step) {
      for (std::int32_t k = 0; k <= (i & 3) % 3; ++k) {
        counters.GetCounter(name)->AddSample(
            CTimeInterval(static_cast<std::int64_t>(CTimeCounterSnapshot::BucketUpperUnits(i))));
        ++four[name][i];
      }
    }
  }
  counters.GetCounter("dense")->AddSample(CTimeInterval(0));
  // Budgets: none, 1 (which fits nowhere), each size at each schema and 1 less.
  std::vector<std::size_t> budgets = {0, 1};
  for (int s = 4; s >= -4; --s) {
    for (auto& [name, buckets] : four)
      budgets.insert(budgets.end(),
                     {SpanBuckets(Lowered(buckets, s)) - 1, SpanBuckets(Lowered(buckets, s))});
  }
  const auto bounds = zrprom::ClassicBoundIndices(CPrometheusCollector::Options());
  for (const std::size_t budget : budgets) {
    std::string served;
    {
      zrprom::DelimitedFamiliesSink sink(&served);
      zrprom::WriteCounterFamilies(&counters, bounds, budget, &sink);
    }
    // Expected: each native part computed here, at the largest schema that fits.
    std::vector<Family> families = zrprom::CollectFamilies(&counters, bounds, 0);
    for (zrprom::Metric& m : families[0].metrics) {
      const Buckets& buckets = four[m.labels[0].value];
      zrprom::NativeHistogram& native = m.histogram.native;
      native.schema = 4;
      while (budget != 0 && native.schema > -4 &&
             SpanBuckets(Lowered(buckets, native.schema)) > budget)
        --native.schema;
      native.zeroCount = m.labels[0].value == "dense" ? 1 : 0;
      native.positive.clear();
      for (const auto& [index, count] : Lowered(buckets, native.schema))
        native.positive.push_back({static_cast<std::int32_t>(index), count});
    }
    std::string expected;
    zrprom::AppendDelimitedFamilies(families, &expected);
    EXPECT_EQ(served, expected) << "budget " << budget;
  }
}

}  // namespace
