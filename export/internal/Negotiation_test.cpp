#include "Negotiation.h"

#include <gtest/gtest.h>
#include <zlib.h>

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
  for (const char* no : {"", "identity", "gzip;q=0", "gzipped", "deflate"})
    EXPECT_FALSE(zrprom::AcceptsGzip(no)) << no;
}

std::string Gunzip(const std::string& data) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
  std::string out(1 << 20, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

TEST(Negotiation, GzipWritesOneMemberThatInflatesToTheInput) {
  std::string text;
  for (int i = 0; i < 20000; ++i)
    text += "zrperf_elapsed_seconds_bucket{le=\"" + std::to_string(i) + "\"}\n";
  for (const std::string& input : {std::string(), std::string("x"), text}) {
    std::string gz;
    ASSERT_TRUE(zrprom::Gzip(input, &gz));
    ASSERT_GE(gz.size(), 18u);
    EXPECT_EQ(gz.substr(0, 2), "\x1F\x8B");
    EXPECT_EQ(Gunzip(gz), input);
  }
}

}  // namespace
