#include "OtlpEnvironment.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <zrperf/export/otlp/internal/OtlpTransport.h>
#include <zrperf/util/internal/Utf8.h>

namespace {

using Env = std::map<std::string, std::string>;
using Options = COtlpExporter::Options;
const std::string kOtlp = "OTEL_EXPORTER_OTLP_";
const std::string kMetrics = "OTEL_EXPORTER_OTLP_METRICS_";

Options Read(const Env& env, std::string* warnings) {
  warnings->clear();
  return zrotlp::OptionsFromEnvironment(
      [&env](const char* name) -> const char* {
        auto it = env.find(name);
        return it == env.end() ? nullptr : it->second.c_str();
      },
      warnings);
}

// Every option the environment sets, as one text.
std::string Fields(const Options& o) {
  std::string s = o.endpoint + (o.endpointIsUrl ? " (url)|" : "|") +
                  std::to_string(o.timeout.count()) + "|" + std::to_string(o.period.count()) +
                  (o.gzip ? "|gzip|" : "|plain|") + o.caFile + "|" + o.clientCertFile + "|" +
                  o.clientKeyFile + "|" + o.serviceName +
                  (o.temporality == Options::Temporality::kDelta ? "|delta" : "|cumulative") +
                  (o.disabled ? "|disabled" : "");
  for (const std::string& h : o.headers) s += "|H " + h;
  for (const auto& [key, value] : o.attributes) s += "|A " + key + "=" + value;
  return s;
}

TEST(OtlpEnvironment, EachVariableSetsItsOptionWhereTheMetricsFormAndServiceNameWin) {
  using std::chrono::milliseconds;
  const Env all = {
      {kOtlp + "ENDPOINT", " http://c:4318/base "},
      {kOtlp + "HEADERS", " api-key = a%20b%2Cc%3D ,, X-Two=2,"},
      {kOtlp + "TIMEOUT", "2500"},
      {kOtlp + "COMPRESSION", "GZip"},
      {kOtlp + "CERTIFICATE", "/ca dir/ca.pem"},
      {kOtlp + "CLIENT_CERTIFICATE", "/c.pem"},
      {kOtlp + "CLIENT_KEY", "/k.pem"},
      {"OTEL_SERVICE_NAME", "svc"},
      {"OTEL_RESOURCE_ATTRIBUTES", "service.name=other, team=st%C3%B6rage,k%3Dx=v%2C1"},
      {"OTEL_METRIC_EXPORT_INTERVAL", " 15000\t"},
      {kMetrics + "TEMPORALITY_PREFERENCE", "LowMemory"},
      {"OTEL_SDK_DISABLED", "TRUE"}};
  struct Case {
    Env env;
    std::function<void(Options&)> expect;
  };
  const std::vector<Case> cases = {
      {{}, [](Options&) {}},
      {all,
       [](Options& o) {
         o.endpoint = "http://c:4318/base";
         o.headers = {"api-key: a b,c=", "X-Two: 2"};
         o.timeout = milliseconds(2500);
         o.gzip = true;
         o.caFile = "/ca dir/ca.pem";
         o.clientCertFile = "/c.pem";
         o.clientKeyFile = "/k.pem";
         o.serviceName = "svc";
         o.attributes = {{"team", "st\xC3\xB6rage"}, {"k=x", "v,1"}};
         o.period = milliseconds(15000);
         o.temporality = Options::Temporality::kDelta;
         o.disabled = true;
       }},
      // Each METRICS_ form wins over the general one; an empty one counts as unset.
      {{{kMetrics + "ENDPOINT", "http://m/custom"},
        {kOtlp + "ENDPOINT", "http://c"},
        {kMetrics + "HEADERS", "m=1"},
        {kOtlp + "HEADERS", "g=1"},
        {kMetrics + "TIMEOUT", "700"},
        {kOtlp + "TIMEOUT", "900"},
        {kMetrics + "COMPRESSION", "none"},
        {kOtlp + "COMPRESSION", "gzip"},
        {kMetrics + "CERTIFICATE", "/m-ca"},
        {kOtlp + "CERTIFICATE", "/ca"},
        {kMetrics + "CLIENT_CERTIFICATE", "/m-c"},
        {kOtlp + "CLIENT_CERTIFICATE", "/c"},
        {kMetrics + "CLIENT_KEY", "/m-k"},
        {kOtlp + "CLIENT_KEY", "/k"},
        {"OTEL_RESOURCE_ATTRIBUTES", "service.name=from%20attributes"},
        {"OTEL_SERVICE_NAME", ""}},
       [](Options& o) {
         o.endpoint = "http://m/custom";
         o.endpointIsUrl = true;
         o.headers = {"m: 1"};
         o.timeout = milliseconds(700);
         o.caFile = "/m-ca";
         o.clientCertFile = "/m-c";
         o.clientKeyFile = "/m-k";
         o.serviceName = "from attributes";
       }},
      {{{kMetrics + "ENDPOINT", ""}, {kOtlp + "ENDPOINT", "http://c"}},
       [](Options& o) { o.endpoint = "http://c"; }},
      // The export timeout caps the request timeout (given or default).
      {{{"OTEL_METRIC_EXPORT_TIMEOUT", "3000"}},
       [](Options& o) { o.timeout = milliseconds(3000); }},
      {{{"OTEL_METRIC_EXPORT_TIMEOUT", "30000"}}, [](Options&) {}},
      {{{"OTEL_METRIC_EXPORT_TIMEOUT", "30000"}, {kOtlp + "TIMEOUT", "20000"}},
       [](Options& o) { o.timeout = milliseconds(20000); }},
      {{{"OTEL_METRIC_EXPORT_TIMEOUT", "400"}, {kOtlp + "TIMEOUT", "20000"}},
       [](Options& o) { o.timeout = milliseconds(400); }},
      // The limits themselves are accepted.
      {{{kOtlp + "TIMEOUT", "10"}, {"OTEL_METRIC_EXPORT_INTERVAL", "100"}},
       [](Options& o) {
         o.timeout = milliseconds(10);
         o.period = milliseconds(100);
       }},
      {{{kOtlp + "TIMEOUT", "00600000"}, {"OTEL_METRIC_EXPORT_INTERVAL", "86400000"}},
       [](Options& o) {
         o.timeout = milliseconds(600000);
         o.period = milliseconds(86400000);
       }},
      {{{"OTEL_SERVICE_NAME", std::string(zrotlp::kMaxEnvValue, 's')}},
       [](Options& o) { o.serviceName = std::string(zrotlp::kMaxEnvValue, 's'); }},
      {{{kMetrics + "TEMPORALITY_PREFERENCE", "delta"}, {"OTEL_SDK_DISABLED", "false"}},
       [](Options& o) { o.temporality = Options::Temporality::kDelta; }},
      {{{kMetrics + "TEMPORALITY_PREFERENCE", " Cumulative "}}, [](Options&) {}},
  };
  for (const Case& c : cases) {
    Options want;
    c.expect(want);
    std::string warnings;
    EXPECT_EQ(Fields(Read(c.env, &warnings)), Fields(want));
    EXPECT_EQ(warnings, "");
  }

  // What the two endpoint forms post to.
  std::string url, display, error;
  ASSERT_TRUE(zrotlp::ResolveEndpoint("http://m:4318", &url, &display, &error, true));
  EXPECT_EQ(url, "http://m:4318/");
  ASSERT_TRUE(zrotlp::ResolveEndpoint("http://m/custom", &url, &display, &error, true));
  EXPECT_EQ(url, "http://m/custom");
  ASSERT_TRUE(zrotlp::ResolveEndpoint("http://m/custom/", &url, &display, &error));
  EXPECT_EQ(url, "http://m/custom/v1/metrics");
}

TEST(OtlpEnvironment, UnusableValuesAreNamedInOneWarningEachAndIgnored) {
  const std::pair<std::string, std::string> bad[] = {
      {kOtlp + "ENDPOINT", "collector:4318"},
      {kOtlp + "ENDPOINT", "ftp://c/"},
      {kMetrics + "ENDPOINT", "http://c/?q=1"},
      {kOtlp + "HEADERS", "Authorization s3cret"},
      {kOtlp + "HEADERS", "=s3cret"},
      {kOtlp + "HEADERS", "a=s3cret%zz"},
      {kOtlp + "HEADERS", "a=s3cret%4"},
      {kOtlp + "HEADERS", "a=s3cret%"},
      {kOtlp + "HEADERS", "a=s3cret,A=s3cret"},
      {kOtlp + "HEADERS", "ok=1,x=s3cret%0D%0AInjected: 1"},
      {kOtlp + "HEADERS", "Content-Type=s3cret"},
      {kMetrics + "HEADERS", "Bad Name=s3cret"},
      {kOtlp + "TIMEOUT", "abc"},
      {kOtlp + "TIMEOUT", "-5"},
      {kOtlp + "TIMEOUT", "9"},
      {kOtlp + "TIMEOUT", "600001"},
      {kOtlp + "TIMEOUT", "1e3"},
      {kOtlp + "TIMEOUT", "10 000"},
      {kMetrics + "TIMEOUT", "99999999999999999999999"},
      {kOtlp + "COMPRESSION", "deflate"},
      {"OTEL_SERVICE_NAME", "\xff"},
      {"OTEL_SERVICE_NAME", std::string(zrotlp::kMaxEnvValue + 1, 's')},
      {"OTEL_RESOURCE_ATTRIBUTES", "a=1,a=2"},
      {"OTEL_RESOURCE_ATTRIBUTES", "=x"},
      {"OTEL_RESOURCE_ATTRIBUTES", "noequals"},
      {"OTEL_RESOURCE_ATTRIBUTES", "a=%ff"},
      {"OTEL_RESOURCE_ATTRIBUTES", "%zz=1"},
      {"OTEL_RESOURCE_ATTRIBUTES", "a=%G0"},
      {"OTEL_METRIC_EXPORT_INTERVAL", "99"},
      {"OTEL_METRIC_EXPORT_INTERVAL", "86400001"},
      {"OTEL_METRIC_EXPORT_TIMEOUT", "5s"},
      {kMetrics + "TEMPORALITY_PREFERENCE", "both"},
      {"OTEL_SDK_DISABLED", "yes"},
      {"OTEL_SDK_DISABLED", "1"},
  };
  const std::string defaults = Fields(Options());
  for (const auto& [name, value] : bad) {
    std::string warnings;
    EXPECT_EQ(Fields(Read({{name, value}}, &warnings)), defaults) << name << "=" << value;
    EXPECT_EQ(warnings.rfind(name + ": ", 0), 0u) << warnings;
    EXPECT_EQ(warnings.find('\n'), warnings.size() - 1) << warnings;
    EXPECT_EQ(warnings.find("s3cret"), std::string::npos) << warnings;
  }
  // An unusable METRICS_ form leaves the general one to apply.
  std::string warnings;
  const Options o = Read({{kMetrics + "TIMEOUT", "x"}, {kOtlp + "TIMEOUT", "50"}}, &warnings);
  EXPECT_EQ(o.timeout.count(), 50);
  EXPECT_EQ(warnings, kMetrics + "TIMEOUT: 'x' is not a whole number of milliseconds from 10 to " +
                          "600000; ignored\n");
}

TEST(OtlpEnvironment, EveryByteInEveryVariableGivesSafeOptionsAndOneLineWarnings) {
  std::vector<std::string> names = {"OTEL_SERVICE_NAME",
                                    "OTEL_RESOURCE_ATTRIBUTES",
                                    "OTEL_METRIC_EXPORT_INTERVAL",
                                    "OTEL_METRIC_EXPORT_TIMEOUT",
                                    kMetrics + "TEMPORALITY_PREFERENCE",
                                    "OTEL_SDK_DISABLED"};
  for (const char* suffix : {"ENDPOINT", "HEADERS", "TIMEOUT", "COMPRESSION", "CERTIFICATE",
                             "CLIENT_CERTIFICATE", "CLIENT_KEY"}) {
    names.push_back(kOtlp + suffix);
    names.push_back(kMetrics + suffix);
  }
  for (int b = 0; b < 256; ++b) {
    char escape[4];
    std::snprintf(escape, sizeof(escape), "%%%02X", b);
    std::string decoded;
    ASSERT_TRUE(zrotlp::PercentDecode(std::string("x") + escape + "y", &decoded));
    EXPECT_EQ(decoded, std::string("x") + static_cast<char>(b) + "y");
    // An escape cut by the end of the text is none, whatever follows in memory.
    EXPECT_FALSE(zrotlp::PercentDecode(std::string_view(escape, 2), &decoded));
    if (b == 0) continue;  // no variable holds a NUL
    const std::string raw(1, static_cast<char>(b));
    for (const std::string& value : {"k" + raw + "=1" + raw + "0", "k=" + std::string(escape),
                                     std::string(escape) + "=1", "http://h" + raw + "/"}) {
      for (const std::string& name : names) {
        std::string warnings;
        const Options o = Read({{name, value}}, &warnings);
        for (char c : warnings) {
          const auto u = static_cast<unsigned char>(c);
          EXPECT_TRUE(c == '\n' || (u >= 0x20 && u < 0x7F)) << name << " byte " << b;
        }
        for (const std::string& h : o.headers) EXPECT_TRUE(zrotlp::CheckHeader(h, &decoded)) << h;
        for (const auto& [key, v] : o.attributes) {
          EXPECT_TRUE(!key.empty() && zrperf::IsUtf8(key) && zrperf::IsUtf8(v)) << key;
        }
        EXPECT_TRUE(zrperf::IsUtf8(o.serviceName));
        EXPECT_TRUE(o.endpoint.empty() ||
                    zrotlp::ResolveEndpoint(o.endpoint, &decoded, &decoded, &decoded));
      }
    }
  }
}

}  // namespace
