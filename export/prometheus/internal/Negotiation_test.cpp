#include "Negotiation.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

namespace {

TEST(Negotiation, HighestQualityFormatTiesToProtobufThenOpenMetricsAndGzipWhenAllowed) {
  using zrprom::Format;
  const std::string pb =
      "application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;encoding=delimited";
  const std::string om = "application/openmetrics-text";
  const std::pair<std::string, Format> cases[] = {
      // What Prometheus 2.42 sends with native histograms enabled, and without.
      {pb + ";q=0.7,text/plain;version=0.0.4;q=0.3,*/*;q=0.2", Format::kDelimitedProtobuf},
      {om + ";version=1.0.0," + om +
           ";version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1",
       Format::kOpenMetrics},
      // Each OpenMetrics version written here, or none; no other.
      {om + ";version=0.0.1", Format::kOpenMetrics},
      {"Application/OpenMetrics-Text; charset=utf-8", Format::kOpenMetrics},
      {om + ";version=1.0.0;escaping=allow-utf-8;q=0.5,text/plain;q=0.4", Format::kOpenMetrics},
      {om + ";version=2.0.0,*/*;q=0.1", Format::kText},
      // Text when asked for, or for nothing; q-values decide, a tie goes to the richer format.
      {"", Format::kText},
      {"*/*", Format::kText},
      {om + ";q=0.5,text/plain;q=0.6", Format::kText},
      {om + ";q=0.5,*/*", Format::kText},
      {om + ";q=0.6,text/*;q=0.6", Format::kOpenMetrics},
      {om + ";q=x,*/*;q=0.1", Format::kText},
      {om + ";q=0.8," + pb + ";q=0.7", Format::kOpenMetrics},
      {om + ";q=0.7," + pb + ";q=0.7", Format::kDelimitedProtobuf},
      // Spaces, case of names and parameter order do not matter; the proto name does.
      {" Application/Vnd.Google.Protobuf ; Encoding=delimited ; "
       "PROTO=\"io.prometheus.client.MetricFamily\"",
       Format::kDelimitedProtobuf},
      {"text/plain;q=0.5, " + pb + ";q=0.5", Format::kDelimitedProtobuf},
      {"application/vnd.google.protobuf", Format::kText},
      {"application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;encoding=text",
       Format::kText},
      {"application/vnd.google.protobuf;proto=io.prometheus.client.metricfamily;encoding=delimited",
       Format::kText},
      {pb + ";q=0", Format::kText},
      {pb + ";q=x", Format::kText},
      {pb + ";q=0.4,text/*;q=0.6", Format::kText},
      {";;;,,,==;q=", Format::kText},
  };
  for (const auto& [accept, format] : cases)
    EXPECT_EQ(zrprom::PreferredFormat(accept), format) << accept;

  // gzip when Accept-Encoding allows it.
  for (const char* yes :
       {"gzip", "deflate, gzip;q=0.5", "x-gzip", "*", "br,GZIP", "gzip;q=0.1, *;q=0"})
    EXPECT_TRUE(zrprom::AcceptsGzip(yes)) << yes;
  // A coding named at q=0 is refused, whatever "*" allows, in either order.
  for (const char* no : {"", "identity", "gzip;q=0", "gzipped", "deflate", "gzip;q=0, *;q=1",
                         "*, gzip;q=0", "x-gzip;q=0,*", "*;q=0"})
    EXPECT_FALSE(zrprom::AcceptsGzip(no)) << no;
}

// A q= is RFC 9110's qvalue: 0 to 1 with at most three decimals. Any other
// q= makes its element ignored, in Accept and Accept-Encoding alike: it
// neither accepts (so "inf" cannot outbid q=1) nor refuses (so "*" decides).
TEST(Negotiation, AMalformedQualityIgnoresItsElementAndAWellFormedOneCountsToTheThousandth) {
  using zrprom::Format;
  const std::string om = "application/openmetrics-text;q=";
  const auto thousandths = [](int t) {
    char text[8];
    std::snprintf(text, sizeof(text), t == 1000 ? "1" : "0.%03d", t);
    return std::string(text);
  };
  const std::pair<const char*, int> wellFormed[] = {
      {"1", 1000},  {"1.", 1000},   {"1.0", 1000}, {"1.000", 1000}, {"0.999", 999},
      {"0.5", 500}, {"0.75", 750},  {"0.001", 1},  {"0", 0},        {"0.", 0},
      {"0.000", 0}, {" 0.6 ", 600}, {"0.10", 100},
  };
  for (const auto& [q, t] : wellFormed) {
    if (t > 0) {
      EXPECT_EQ(zrprom::PreferredFormat(om + q + ",text/plain;q=" + thousandths(t - 1)),
                Format::kOpenMetrics)
          << q;
    }
    if (t < 1000) {
      EXPECT_EQ(zrprom::PreferredFormat(om + q + ",text/plain;q=" + thousandths(t + 1)),
                Format::kText)
          << q;
    }
    EXPECT_EQ(zrprom::PreferredFormat(om + q), t > 0 ? Format::kOpenMetrics : Format::kText) << q;
    EXPECT_EQ(zrprom::AcceptsGzip(std::string("gzip;q=") + q + ", *"), t > 0) << q;
  }
  const char* malformed[] = {
      "inf", "INF",   "+inf",   "infinity", "nan",    "-nan",  "-1",      "-0", "-0.5", "2",
      "1.5", "1.001", "1.0000", "0.1234",   "0.5000", "+0.5",  "+1",      ".5", "1e0",  "0e0",
      "0x1", "00.5",  "01",     "0..5",     "0.5a",   "0.5 x", "\"0.5\"", "",   "0.-1",
  };
  for (const char* q : malformed) {
    // Ignored: text/plain at 0.1 wins over it, and "*" decides for gzip.
    std::string accept = om + q + ",text/plain;q=0.1";
    EXPECT_EQ(zrprom::PreferredFormat(accept), Format::kText) << q;
    accept += "," + om + "0.2";
    EXPECT_EQ(zrprom::PreferredFormat(accept), Format::kOpenMetrics) << q;
    EXPECT_TRUE(zrprom::AcceptsGzip(std::string("gzip;q=") + q + ", *")) << q;
    EXPECT_FALSE(zrprom::AcceptsGzip(std::string("gzip;q=") + q + ", *;q=0")) << q;
    EXPECT_FALSE(zrprom::AcceptsGzip(std::string("*;q=") + q)) << q;
  }
}

}  // namespace
