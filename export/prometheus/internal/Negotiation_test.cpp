#include "Negotiation.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

TEST(Negotiation, PicksTheFormatOfTheHighestQualityTiesGoingToProtobufThenOpenMetrics) {
  using zrprom::Format;
  const Format kText = Format::kText, kOpenMetrics = Format::kOpenMetrics,
               kProtobuf = Format::kDelimitedProtobuf;
  const std::pair<const char*, Format> cases[] = {
      // What Prometheus 2.42 sends with native histograms enabled, and without.
      {"application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;"
       "encoding=delimited;q=0.7,text/plain;version=0.0.4;q=0.3,*/*;q=0.2",
       kProtobuf},
      {"application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;"
       "q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1",
       kOpenMetrics},
      // Each OpenMetrics version written here, or none; other versions are not.
      {"application/openmetrics-text;version=0.0.1", kOpenMetrics},
      {"Application/OpenMetrics-Text; charset=utf-8", kOpenMetrics},
      {"application/openmetrics-text;version=1.0.0;escaping=allow-utf-8;q=0.5,"
       "text/plain;q=0.4",
       kOpenMetrics},
      {"application/openmetrics-text;version=2.0.0", kText},
      {"application/openmetrics-text;version=2.0.0,*/*;q=0.1", kText},
      // Text when asked for, or for nothing; q-values decide, ties go to the richer format.
      {"", kText},
      {"*/*", kText},
      {"text/plain;version=0.0.4", kText},
      {"application/openmetrics-text;q=0.5,text/plain;q=0.6", kText},
      {"application/openmetrics-text;q=0.5,*/*", kText},
      {"application/openmetrics-text;q=0.6,text/*;q=0.6", kOpenMetrics},
      {"application/openmetrics-text;q=0,*/*;q=0.1", kText},
      {"application/openmetrics-text;q=x", kText},
      {"application/openmetrics-text;version=1.0.0;q=0.8,application/vnd.google.protobuf;"
       "proto=io.prometheus.client.MetricFamily;encoding=delimited;q=0.7",
       kOpenMetrics},
      {"application/openmetrics-text;q=0.7,application/vnd.google.protobuf;"
       "proto=io.prometheus.client.MetricFamily;encoding=delimited;q=0.7",
       kProtobuf},
      // Spaces, case of names and parameter order do not matter; the proto name does.
      {" Application/Vnd.Google.Protobuf ; Encoding=delimited ; PROTO=\"io.prometheus.client."
       "MetricFamily\"",
       kProtobuf},
      {"text/plain;q=0.5, application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;"
       "encoding=delimited;q=0.5",
       kProtobuf},
      {"application/vnd.google.protobuf", kText},
      {"application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;encoding=text",
       kText},
      {"application/vnd.google.protobuf;proto=io.prometheus.client.Metric;encoding=delimited",
       kText},
      {"application/vnd.google.protobuf;proto=io.prometheus.client.metricfamily;"
       "encoding=delimited",
       kText},
      {"application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;"
       "encoding=delimited;q=0",
       kText},
      {"application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;"
       "encoding=delimited;q=x",
       kText},
      {"application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;"
       "encoding=delimited;q=0.4,text/*;q=0.6",
       kText},
      {";;;,,,==;q=", kText},
  };
  for (const auto& [accept, format] : cases)
    EXPECT_EQ(static_cast<int>(zrprom::PreferredFormat(accept)), static_cast<int>(format))
        << accept;
}

TEST(Negotiation, GzipWhenAcceptEncodingAllowsIt) {
  for (const char* yes : {"gzip", "deflate, gzip;q=0.5", "x-gzip", "*", "br,GZIP"})
    EXPECT_TRUE(zrprom::AcceptsGzip(yes)) << yes;
  EXPECT_TRUE(zrprom::AcceptsGzip("gzip;q=0.1, *;q=0"));
  // A coding named at q=0 is refused, whatever "*" allows, in either order.
  for (const char* no : {"", "identity", "gzip;q=0", "gzipped", "deflate", "gzip;q=0, *;q=1",
                         "*, gzip;q=0", "x-gzip;q=0,*", "*;q=0"})
    EXPECT_FALSE(zrprom::AcceptsGzip(no)) << no;
}

}  // namespace
