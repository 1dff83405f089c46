#include "DemoMetrics.h"

#include <cstdio>

#ifdef ZRPERF_DEMO_PROMETHEUS
#include <zrperf/PrometheusEndpoint.h>
#include <zrperf/PrometheusTextfile.h>
#endif

namespace zrdemo {

#ifdef ZRPERF_DEMO_PROMETHEUS

struct DemoMetrics::Outputs {
  std::unique_ptr<CPrometheusEndpoint> endpoint;
  std::unique_ptr<CPrometheusTextfile> textfile;
};

bool DemoMetrics::Start(const DemoOptions& options, PerfCntLogger* logger, std::string* error) {
  const boost::shared_ptr<CPerfCounters> counters = logger->GetPerfCounters();
  if (!options.metricsListen.empty()) {
    m_outputs->endpoint = CPrometheusEndpoint::Start(options.metricsListen, counters, error);
    if (!m_outputs->endpoint) return false;
    std::printf("metrics: %s\n", m_outputs->endpoint->Url().c_str());
    std::fflush(stdout);
  }
  if (!options.metricsTextfile.empty()) {
    m_outputs->textfile.reset(new CPrometheusTextfile(options.metricsTextfile, counters));
    // A first file at once, so that the series exist from the start.
    if (!m_outputs->textfile->WriteNow()) {
      *error = "cannot write the metrics file " + options.metricsTextfile + " (see the log)";
      return false;
    }
    m_outputs->textfile->WriteAfterEachPass(logger);
    m_outputs->textfile->Start();
    std::printf("metrics textfile: %s\n", options.metricsTextfile.c_str());
  }
  return true;
}

#else  // built without prometheus-cpp

struct DemoMetrics::Outputs {};

bool DemoMetrics::Start(const DemoOptions& options, PerfCntLogger*, std::string* error) {
  if (options.metricsListen.empty() && options.metricsTextfile.empty()) return true;
  *error = "this build has no Prometheus support (prometheus-cpp was not found)";
  return false;
}

#endif

DemoMetrics::DemoMetrics() : m_outputs(new Outputs) {}
DemoMetrics::~DemoMetrics() = default;

}  // namespace zrdemo
