// DemoMetrics: the demo's Prometheus outputs, --metrics-listen (an HTTP
// endpoint) and --metrics-textfile (a file for node_exporter), kept for the
// run and stopped when the object goes.
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
  // textfile, written after every statistics pass and every 15 s. False, with
  // `error` set, when one cannot start or the demo was built without
  // prometheus-cpp.
  bool Start(const DemoOptions& options, PerfCntLogger* logger, std::string* error);

 private:
  struct Outputs;
  std::unique_ptr<Outputs> m_outputs;
};

}  // namespace zrdemo

#endif  // ZRPERF_EXAMPLES_DEMOMETRICS_H_
