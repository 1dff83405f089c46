// Uses the installed libzrperf-otlp alone: an exporter that pushes to a
// receiver that is not there refuses nothing at start, and one with a bad URL
// is refused with a reason; exits 0 when both behave so.
#include <zrperf/export/otlp/OtlpExporter.h>
// The earlier installed path, kept as a forwarding header:
#include <zrperf/OtlpExporter.h>

#include <boost/make_shared.hpp>
#include <chrono>
#include <cstdio>
#include <string>

int main() {
  auto counters = boost::make_shared<CPerfCounters>();
  counters->GetCounter("disk0.read")->AddSample(CTimeInterval(123));
  std::string error;
  COtlpExporter::Options bad;
  bad.endpoint = "ftp://127.0.0.1:9";
  if (COtlpExporter::Start(bad, counters, &error) || error.empty()) {
    std::fprintf(stderr, "consumer-otlp: a bad URL was accepted\n");
    return 1;
  }
  COtlpExporter::Options options;
  options.endpoint = "http://127.0.0.1:9";  // discard port: nothing listens
  options.timeout = std::chrono::milliseconds(200);
  auto exporter = COtlpExporter::Start(options, counters, &error);
  if (!exporter) {
    std::fprintf(stderr, "consumer-otlp: %s\n", error.c_str());
    return 1;
  }
  exporter->Flush(std::chrono::milliseconds(300));  // fails: no receiver
  return exporter->GetStats().ok == 0 ? 0 : 1;
}
