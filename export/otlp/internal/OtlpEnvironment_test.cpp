#include "OtlpEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <zrperf/export/otlp/internal/OtlpTransport.h>
#include <zrperf/util/internal/Utf8.h>

namespace {

// "NAME=value" entries; a name "O_X" stands for OTEL_EXPORTER_OTLP_X, "M_X"
// for OTEL_EXPORTER_OTLP_METRICS_X.
using Env = std::vector<std::string>;
const std::string kOtlp = "OTEL_EXPORTER_OTLP_";
const std::string kMetrics = "OTEL_EXPORTER_OTLP_METRICS_";

// Every option the environment sets, as one text; `warnings` cleared first.
std::string Read(const Env& env, std::string* warnings, COtlpExporter::Options* options = nullptr) {
  std::vector<std::string> vars;
  for (const std::string& e : env)
    vars.push_back(e[1] != '_' ? e : (e[0] == 'O' ? kOtlp : kMetrics) + e.substr(2));
  warnings->clear();
  const COtlpExporter::Options o = zrotlp::OptionsFromEnvironment(
      [&vars](const char* name) -> const char* {
        for (const std::string& v : vars)
          if (v.compare(0, v.find('='), name) == 0) return v.c_str() + v.find('=') + 1;
        return nullptr;
      },
      warnings);
  if (options != nullptr) *options = o;
  std::string s = o.endpoint + (o.endpointIsUrl ? " (url)|" : "|") +
                  std::to_string(o.timeout.count()) + "|" + std::to_string(o.period.count()) +
                  (o.gzip ? "|gzip|" : "|plain|") + o.caFile + "|" + o.clientCertFile + "|" +
                  o.clientKeyFile + "|" + o.serviceName +
                  (o.temporality == COtlpExporter::Options::Temporality::kDelta ? "|delta" : "") +
                  (o.disabled ? "|disabled" : "");
  for (const std::string& h : o.headers) s += "|H " + h;
  for (const auto& [key, value] : o.attributes) s += "|A " + key + "=" + value;
  return s;
}

std::ptrdiff_t NonPrintable(const std::string& text) {
  return std::count_if(text.begin(), text.end(), [](unsigned char c) { return c < 32 || c > 126; });
}

TEST(OtlpEnvironment, EachVariableSetsItsOptionWhereTheMetricsFormAndServiceNameWin) {
  const std::pair<Env, std::string> cases[] = {
      {{"O_ENDPOINT= http://c:4318/b ", "O_HEADERS= k = a%20b%2Cc%3D ,, X=2,", "O_TIMEOUT=2500",
        "O_COMPRESSION=GZip", "O_CERTIFICATE=/ca dir", "O_CLIENT_CERTIFICATE=/c", "O_CLIENT_KEY=/k",
        "OTEL_SERVICE_NAME=svc", "OTEL_RESOURCE_ATTRIBUTES=service.name=x, t=st%C3%B6r,k%3Dx=v%2C1",
        "OTEL_METRIC_EXPORT_INTERVAL= 15000\t", "M_TEMPORALITY_PREFERENCE=LowMemory",
        "OTEL_SDK_DISABLED=TRUE", "O_PROTOCOL=http/protobuf", "M_ENDPOINT="},
       "http://c:4318/b|2500|15000|gzip|/ca dir|/c|/k|svc|delta|disabled|H k: a b,c=|H X: 2"
       "|A t=st\xC3\xB6r|A k=x=v,1"},
      // Each METRICS_ form wins; an empty variable counts as unset.
      {{"M_ENDPOINT=http://m/x", "O_ENDPOINT=http://c", "M_HEADERS=m=1", "O_HEADERS=g=1",
        "M_TIMEOUT=700", "O_TIMEOUT=900", "M_COMPRESSION=none", "O_COMPRESSION=gzip",
        "M_CERTIFICATE=/m-ca", "O_CERTIFICATE=/ca", "M_CLIENT_CERTIFICATE=/m-c",
        "O_CLIENT_CERTIFICATE=/c", "M_CLIENT_KEY=/m-k", "O_CLIENT_KEY=/k",
        "OTEL_RESOURCE_ATTRIBUTES=service.name=a%20b",
        "OTEL_SERVICE_NAME=", "M_TEMPORALITY_PREFERENCE= Cumulative ", "OTEL_SDK_DISABLED=false"},
       "http://m/x (url)|700|60000|plain|/m-ca|/m-c|/m-k|a b|H m: 1"},
      // The export timeout caps the request timeout, given or default.
      {{"OTEL_METRIC_EXPORT_TIMEOUT=3000"}, "|3000|60000|plain||||"},
      {{"OTEL_METRIC_EXPORT_TIMEOUT=30000"}, "|10000|60000|plain||||"},
      {{"OTEL_METRIC_EXPORT_TIMEOUT=30000", "O_TIMEOUT=20000"}, "|20000|60000|plain||||"},
      {{"OTEL_METRIC_EXPORT_TIMEOUT=400", "O_TIMEOUT=20000"}, "|400|60000|plain||||"},
      // The limits themselves are taken (a value of 64 KiB too).
      {{"O_TIMEOUT=10", "OTEL_METRIC_EXPORT_INTERVAL=100"}, "|10|100|plain||||"},
      {{"O_TIMEOUT=00600000", "OTEL_METRIC_EXPORT_INTERVAL=86400000"},
       "|600000|86400000|plain||||"},
      {{"OTEL_SERVICE_NAME=" + std::string(65536, 's')},
       "|10000|60000|plain||||" + std::string(65536, 's')},
      {{"M_TEMPORALITY_PREFERENCE=delta"}, "|10000|60000|plain|||||delta"}};
  for (const auto& [env, want] : cases) {
    std::string warnings;
    EXPECT_EQ(Read(env, &warnings), want);
    EXPECT_EQ(warnings, "");
  }
}

TEST(OtlpEnvironment, UnusableOrHostileValuesAreIgnoredWithOneEscapedWarningLineEach) {
  const std::pair<std::string, std::vector<std::string>> bad[] = {
      // Neither user information nor any part of a header is quoted ("s3c").
      {kOtlp + "ENDPOINT",
       {"collector:4318", "ftp://c/", "u:s3cret@c:4318", "grpc://u:s3cret@c:4317",
        "http://u:s3cret@c:99999", "http://u:s3c/et@c :1"}},
      {kMetrics + "ENDPOINT", {"http://c/?q=1", "http://u:s3cret@c/?q=1", "http://u:s3cret@"}},
      {kOtlp + "HEADERS",
       {"Authorization s3cret", "=s3cret", "a=s3cret%zz", "a=s3cret%4", "a=s3cret%",
        "a=s3cret,A=s3cret", "ok=1,x=s3cret%0D%0AInjected: 1", "Content-Type=s3cret",
        "Bearer s3cret=x", "s3cret=1,S3CRET=2", "s3cret=%zz", "s3cret=a%0Db", "s3cret\x01=x",
        "s3cret:=x", "s3cret=%7F"}},
      {kMetrics + "HEADERS", {"Bad Name=s3cret"}},
      {kOtlp + "TIMEOUT", {"abc", "-5", "9", "600001", "1e3", "10 000"}},
      {kMetrics + "TIMEOUT", {"99999999999999999999999"}},
      {kOtlp + "COMPRESSION", {"deflate"}},
      {kMetrics + "PROTOCOL", {"grpc"}},
      {kOtlp + "PROTOCOL", {"http/json"}},
      {"OTEL_SERVICE_NAME", {"\xff", std::string(65537, 's')}},
      {"OTEL_RESOURCE_ATTRIBUTES", {"a=1,a=2", "=x", "noequals", "a=%ff", "%zz=1", "a=%G0"}},
      {"OTEL_METRIC_EXPORT_INTERVAL", {"99", "86400001"}},
      {"OTEL_METRIC_EXPORT_TIMEOUT", {"5s"}},
      {kMetrics + "TEMPORALITY_PREFERENCE", {"both"}},
      {"OTEL_SDK_DISABLED", {"yes", "1"}}};
  std::string warnings;
  const std::string defaults = Read({}, &warnings);
  for (const auto& [name, values] : bad) {
    for (const std::string& value : values) {
      EXPECT_EQ(Read({name + "=" + value}, &warnings), defaults) << name << "=" << value;
      EXPECT_TRUE(warnings.rfind(name + ": ", 0) == 0 && NonPrintable(warnings) == 1 &&
                  warnings.back() == '\n' && warnings.find("s3c") == std::string::npos)
          << warnings;
    }
  }
  // An unusable METRICS_ form leaves the general one to apply.
  EXPECT_EQ(Read({"M_TIMEOUT=x", "O_TIMEOUT=50"}, &warnings), "|50|60000|plain||||");
  EXPECT_EQ(warnings, kMetrics + "TIMEOUT: 'x' is not a whole number of milliseconds from 10 to " +
                          "600000; ignored\n");

  // Every byte, raw and %-encoded, in every variable: usable options, one-line warnings.
  for (int b = 0; b < 256; ++b) {
    char escape[4];
    std::snprintf(escape, sizeof(escape), "%%%02X", b);
    std::string text;
    ASSERT_TRUE(zrotlp::PercentDecode(std::string("x") + escape + "y", &text));
    EXPECT_EQ(text, std::string("x") + static_cast<char>(b) + "y");
    // An escape cut by the end of the text is none, whatever follows in memory.
    EXPECT_FALSE(zrotlp::PercentDecode(std::string_view(escape, 2), &text));
    if (b == 0) continue;  // no variable holds a NUL
    const std::string raw(1, static_cast<char>(b));
    for (const std::string& value : {"k" + raw + "=1" + raw + "0", "k=" + std::string(escape),
                                     std::string(escape) + "=1", "http://h" + raw + "/"}) {
      for (const auto& [name, unused] : bad) {
        COtlpExporter::Options o;
        Read({name + "=" + value}, &warnings, &o);
        EXPECT_EQ(NonPrintable(warnings), std::count(warnings.begin(), warnings.end(), '\n'))
            << name << b;
        for (const std::string& h : o.headers) EXPECT_TRUE(zrotlp::CheckHeader(h, &text)) << h;
        for (const auto& [key, v] : o.attributes) EXPECT_TRUE(zrperf::IsUtf8(key + v)) << key;
        EXPECT_TRUE(zrperf::IsUtf8(o.serviceName) &&
                    (o.endpoint.empty() ||
                     zrotlp::ResolveEndpoint(o.endpoint, &text, &text, &text, o.endpointIsUrl)));
      }
    }
  }
}

}  // namespace
