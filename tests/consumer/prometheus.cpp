// Uses the installed libzrperf-prometheus: a collector's text and an endpoint
// on a free loopback port; exits 0 when both answer as expected.
#include <zrperf/export/prometheus/PrometheusCollector.h>
// The earlier installed path, kept as a forwarding header:
#include <zrperf/PrometheusEndpoint.h>

#include <boost/make_shared.hpp>
#include <cstdio>
#include <string>

int main() {
  auto counters = boost::make_shared<CPerfCounters>();
  counters->GetCounter("disk0.read")->AddSample(CTimeInterval(123));
  const std::string text = CPrometheusCollector(counters).SerializeText();
  if (text.find("zrperf_elapsed_seconds_count{counter=\"disk0.read\"} 1\n") == std::string::npos) {
    std::fprintf(stderr, "consumer-prometheus: the collector's text lacks the counter\n%s",
                 text.c_str());
    return 1;
  }
  std::string error;
  auto endpoint = CPrometheusEndpoint::Start("127.0.0.1:0", counters, &error);
  if (!endpoint) {
    std::fprintf(stderr, "consumer-prometheus: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
