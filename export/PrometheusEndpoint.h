// CPrometheusEndpoint: an HTTP server that serves a counter set's metrics at
// GET /metrics (prometheus-cpp's Exposer on civetweb) and nothing else.
//
//   std::string error;
//   std::unique_ptr<CPrometheusEndpoint> endpoint =
//       CPrometheusEndpoint::Start("127.0.0.1:9464", counters, &error);
//   if (!endpoint) { /* error says why; a record went to g_ptrLogWriter */ }
//   printf("metrics: %s\n", endpoint->Url().c_str());   // real port if 0 was asked
//
// The server listens exactly where it is told: "127.0.0.1:9464" serves the
// local host only, "0.0.0.0:9464" every interface (IPv4 only: Debian's
// civetweb is built without IPv6). Port 0
// takes a free port, which Port() and Url() report. Each scrape runs
// CPrometheusCollector::Collect() on one of the server's threads.
//
// Threads: the server's threads are started by Start() and joined by the
// destructor, which returns within some milliseconds. They do not survive
// fork(): a service that daemonizes starts the endpoint in the child, after
// the fork.
//
// Thread-safety: Start() may be called from any thread; Port() and Url() are
// constant after it. The object is destroyed by one thread, once no other one
// uses it.

#ifndef ZRPERF_EXPORT_PROMETHEUSENDPOINT_H_
#define ZRPERF_EXPORT_PROMETHEUSENDPOINT_H_

#include <zrperf/PrometheusCollector.h>
#include <zrperf/perf/PerfCounters.h>
#include <zrperf/sync/Export.h>

#include <boost/shared_ptr.hpp>
#include <memory>
#include <string>

namespace prometheus {
class Exposer;
}

class ZRPERF_EXPORT CPrometheusEndpoint {
 public:
  // Serves `counters` (the statistics logger's set when null) at
  // http://<address>/metrics, where `address` is "IPV4:PORT" with PORT in
  // 0..65535. On failure (a malformed address, a port in use, an
  // address not of this host, no logger) returns null, sets `error` (when
  // given) to one line saying why and writes that line to g_ptrLogWriter at
  // level -1. Never throws.
  static std::unique_ptr<CPrometheusEndpoint> Start(
      const std::string& address, boost::shared_ptr<CPerfCounters> counters = {},
      std::string* error = nullptr,
      const CPrometheusCollector::Options& options = CPrometheusCollector::Options());

  // Stops the server and joins its threads.
  ~CPrometheusEndpoint();

  CPrometheusEndpoint(const CPrometheusEndpoint&) = delete;
  CPrometheusEndpoint& operator=(const CPrometheusEndpoint&) = delete;

  // The port it listens on.
  int Port() const noexcept { return m_port; }
  // "http://HOST:PORT/metrics", HOST as given to Start() and the real port.
  const std::string& Url() const noexcept { return m_url; }

 private:
  CPrometheusEndpoint() = default;

  std::shared_ptr<CPrometheusCollector> m_collector;
  std::unique_ptr<prometheus::Exposer> m_exposer;
  int m_port = 0;
  std::string m_url;
  std::string m_wakeHost;  // where the destructor connects to end the server's poll
};

#endif  // ZRPERF_EXPORT_PROMETHEUSENDPOINT_H_
