#include "Negotiation.h"

#include <gtest/gtest.h>

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

}  // namespace
