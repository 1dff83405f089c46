#include "DemoMetrics.h"

#include <chrono>
#include <cstddef>
#include <cstdio>

#ifdef ZRPERF_DEMO_PROMETHEUS
#include <zrperf/export/prometheus/PrometheusEndpoint.h>
#include <zrperf/export/prometheus/PrometheusTextfile.h>
#endif
#ifdef ZRPERF_DEMO_OTLP
#include <zrperf/export/otlp/OtlpExporter.h>
#endif

namespace zrdemo {

struct DemoMetrics::Outputs {
#ifdef ZRPERF_DEMO_PROMETHEUS
  std::unique_ptr<CPrometheusEndpoint> endpoint;
  std::unique_ptr<CPrometheusTextfile> textfile;
#endif
#ifdef ZRPERF_DEMO_OTLP
  std::unique_ptr<COtlpExporter> otlp;
#endif
};

namespace {

#ifdef ZRPERF_DEMO_PROMETHEUS

bool StartPrometheus(const DemoOptions& options, PerfCntLogger* logger,
                     std::unique_ptr<CPrometheusEndpoint>* endpoint,
                     std::unique_ptr<CPrometheusTextfile>* textfile, std::string* error) {
  const boost::shared_ptr<CPerfCounters> counters = logger->GetPerfCounters();
  CPrometheusCollector::Options collector;
  collector.maxNativeBuckets = static_cast<std::size_t>(options.metricsNativeMaxBuckets);
  if (!options.metricsListen.empty()) {
    *endpoint = CPrometheusEndpoint::Start(options.metricsListen, counters, error, collector);
    if (!*endpoint) return false;
    std::printf("metrics: %s\n", (*endpoint)->Url().c_str());
    std::fflush(stdout);
  }
  if (!options.metricsTextfile.empty()) {
    textfile->reset(new CPrometheusTextfile(options.metricsTextfile, counters, collector));
    // A first file at once, so that the series exist from the start.
    if (!(*textfile)->WriteNow()) {
      *error = "cannot write the metrics file " + options.metricsTextfile + " (see the log)";
      return false;
    }
    (*textfile)->WriteAfterEachPass(logger);
    (*textfile)->Start();
    std::printf("metrics textfile: %s\n", options.metricsTextfile.c_str());
  }
  return true;
}

#endif

}  // namespace

bool DemoMetrics::Start(const DemoOptions& options, PerfCntLogger* logger, std::string* error) {
#ifdef ZRPERF_DEMO_PROMETHEUS
  if (!StartPrometheus(options, logger, &m_outputs->endpoint, &m_outputs->textfile, error)) {
    return false;
  }
#else
  if (!options.metricsListen.empty() || !options.metricsTextfile.empty()) {
    *error = "this build has no Prometheus support (prometheus-cpp was not found)";
    return false;
  }
#endif
#ifdef ZRPERF_DEMO_OTLP
  // The OTEL_* environment first; the command line wins over it.
  std::string warnings;
  COtlpExporter::Options otlp = COtlpExporter::Options::FromEnvironment(&warnings);
  for (std::size_t at = 0; at < warnings.size();) {
    const std::size_t end = warnings.find('\n', at);
    std::fprintf(stderr, "zrperf-demo: %s\n", warnings.substr(at, end - at).c_str());
    at = end + 1;
  }
  if (!options.otlpEndpoint.empty()) {
    otlp.endpoint = options.otlpEndpoint;
    otlp.endpointIsUrl = false;
    otlp.disabled = false;
  }
  if (otlp.endpoint.empty()) return true;
  if (otlp.disabled) {
    std::printf("otlp: disabled by OTEL_SDK_DISABLED\n");
    return true;
  }
  if (options.otlpPeriodSeconds > 0) otlp.period = std::chrono::seconds(options.otlpPeriodSeconds);
  if (otlp.serviceName.empty()) otlp.serviceName = "zrperf-demo";
  m_outputs->otlp = COtlpExporter::Start(otlp, logger->GetPerfCounters(), error);
  if (!m_outputs->otlp) return false;
  std::printf("otlp: %s every %g s\n", m_outputs->otlp->Url().c_str(),
              static_cast<double>(otlp.period.count()) / 1000);
  std::fflush(stdout);
  return true;
#else
  (void)logger;
  // The environment is for builds that can push; only the flag is an error here.
  if (options.otlpEndpoint.empty()) return true;
  *error = "this build has no OTLP support (libcurl was not found)";
  return false;
#endif
}

void DemoMetrics::Flush() {
#ifdef ZRPERF_DEMO_OTLP
  if (m_outputs->otlp && !m_outputs->otlp->Flush(std::chrono::seconds(10))) {
    std::fprintf(stderr, "zrperf-demo: the last OTLP push to %s failed (see the log)\n",
                 m_outputs->otlp->Url().c_str());
  }
#endif
}

DemoMetrics::DemoMetrics() : m_outputs(new Outputs) {}
DemoMetrics::~DemoMetrics() = default;

}  // namespace zrdemo
