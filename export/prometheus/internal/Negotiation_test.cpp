#include "Negotiation.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Negotiation, ProtobufOnlyWhenAskedForDelimitedMetricFamiliesAtNoLowerQualityThanText) {
  using zrprom::PrefersDelimitedProtobuf;
  // What Prometheus sends with native histograms enabled, and without.
  EXPECT_TRUE(PrefersDelimitedProtobuf(
      "application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;encoding=delimited;"
      "q=0.7,text/plain;version=0.0.4;q=0.3,*/*;q=0.2"));
  EXPECT_FALSE(PrefersDelimitedProtobuf(
      "application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;"
      "q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1"));
  // Spaces, case of names and parameter order do not matter; the proto name does.
  EXPECT_TRUE(PrefersDelimitedProtobuf(
      " Application/Vnd.Google.Protobuf ; Encoding=delimited ; PROTO=\"io.prometheus.client."
      "MetricFamily\""));
  EXPECT_TRUE(PrefersDelimitedProtobuf(
      "text/plain;q=0.5, application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;"
      "encoding=delimited;q=0.5"));
  const char* refused[] = {
      "",
      "*/*",
      "application/vnd.google.protobuf",
      "application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;encoding=text",
      "application/vnd.google.protobuf;proto=io.prometheus.client.Metric;encoding=delimited",
      "application/vnd.google.protobuf;proto=io.prometheus.client.metricfamily;encoding=delimited",
      "application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;encoding=delimited;"
      "q=0",
      "application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;encoding=delimited;"
      "q=x",
      "application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;encoding=delimited;"
      "q=0.4,text/*;q=0.6",
      ";;;,,,==;q=",
  };
  for (const char* accept : refused) EXPECT_FALSE(PrefersDelimitedProtobuf(accept)) << accept;
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
