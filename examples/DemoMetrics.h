// DemoMetrics: the demo's metrics outputs, --metrics-listen (a Prometheus HTTP
// endpoint), --metrics-textfile (a file for node_exporter) and --otlp-endpoint
// (pushes to an OpenTelemetry receiver), kept for the run and stopped when the
// object goes.
//
// Thread-safety: used by the demo's main thread only.

#ifndef ZRPERF_EXAMPLES_DEMOMETRICS_H_
#define ZRPERF_EXAMPLES_DEMOMETRICS_H_

#include <zrperf/zrperf.h>

#include <memory>
#include <string>

#include "DemoOptions.h"

namespace zrdemo {

class DemoMetrics {
 public:
  DemoMetrics();
  ~DemoMetrics();

  // Starts what `options` ask for on the logger's counter set: the endpoint
  // (then prints "metrics: http://HOST:PORT/metrics" to stdout) and the
  // textfile, written after every statistics pass and every 15 s, and the
  // OTLP exporter (then prints "otlp: URL every S s"): configured from the
  // OTEL_* environment (each unusable value named on stderr), started when
  // --otlp-endpoint or an endpoint variable is set, the command line winning
  // over the environment. False, with `error` set, when one cannot start or
  // the demo was built without what it needs (prometheus-cpp, libcurl).
  bool Start(const DemoOptions& options, PerfCntLogger* logger, std::string* error);

  // With an OTLP exporter: pushes the counters as they are now and waits for
  // the answer (at most the push timeout, 10 s); says on stderr when the push
  // failed. Nothing otherwise.
  void Flush();

 private:
  struct Outputs;
  std::unique_ptr<Outputs> m_outputs;
};

}  // namespace zrdemo

#endif  // ZRPERF_EXAMPLES_DEMOMETRICS_H_
