// CPrometheusEndpoint: an HTTP server (civetweb) that serves a counter set's
// metrics at GET /metrics and nothing else.
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
// takes a free port, which Port() and Url() report.
//
// Answers: GET and HEAD of /metrics (a query string is ignored; an
// absolute-form target, GET http://HOST:PORT/metrics, is served by its path
// whatever HOST says when PORT is this server's, and gets 421 when it names
// another port). A scrape whose Accept header prefers
//   application/vnd.google.protobuf; proto=io.prometheus.client.MetricFamily; encoding=delimited
// gets length-delimited MetricFamily messages with that Content-Type, each
// elapsed-time histogram with its classic buckets and native buckets
// (schema 4, or lower within the options' maxNativeBuckets); one that prefers application/openmetrics-text (version 1.0.0,
// 0.0.1 or none: what Prometheus asks for by default) gets OpenMetrics 1.0
// text ("application/openmetrics-text; version=1.0.0; charset=utf-8", classic
// buckets, each counter's and histogram's _created); any other gets the text
// format 0.0.4 ("text/plain; version=0.0.4; charset=utf-8", classic buckets
// only). The preference follows the q-values (docs/prometheus.md). The
// body is gzip-encoded when Accept-Encoding allows it ("gzip;q=0" never does,
// whatever "*" says). Families, names and buckets are those
// CPrometheusCollector documents. Other paths (/metrics/, /metrics.txt) get
// 404, other methods 405 with "Allow: GET, HEAD", "OPTIONS *" 405 with that
// Allow and any other method on "*" 400, malformed or oversized requests
// (more than 16 KiB of head) a 4xx from civetweb (505 for an unknown HTTP
// version) or a closed connection; a head of 16,384 bytes, its closing blank
// line included, is read, one of more gets 400.
//
// Answers are shared, so that no client can make the process hold more than
// two answers' memory whatever it does: scrapes of the same kind (text
// 0.0.4, OpenMetrics or protobuf, gzip or not) that arrive while one is built
// get that one, and so do those that arrive within 1 s of its building while
// it is still being sent to someone; with two answers alive, a scrape gets the
// newest of its kind however old, or waits in line (first come, first served)
// up to 5 s for room and then gets 503 with "Retry-After: 1". While a scrape
// waits for room, the oldest answer alive gives way once 2 s have passed since
// it was built: the clients it is still being sent to are dropped (their
// answer ends short of its Content-Length), so that clients that read slowly
// but steadily cannot keep a kind that nobody is being sent from being
// answered. A scrape after the last one was sent always reads the counters
// afresh. Answers are built one at a time on a thread of the endpoint, and go
// out in 16 KiB writes through a 1 MiB socket send buffer (the system's
// autotuning would give a client that never reads several MB of kernel
// memory and copying): a client whose write makes no progress for 1.5 s is
// dropped, and while 72 of the 96 workers are busy, one that took nothing for
// 50 ms; a whole answer gets 60 s at most. A watchdog thread of the endpoint
// drops the clients whose time is up by shutting their sockets down, which
// ends a write in progress at once.
//
// Limits: 96 worker threads serve one connection each, and a connection is
// closed after its answer. A client whose request head is not complete 1.5 s
// after it began is dropped, so idle or slowly trickling clients hold a worker
// for 1.5 s at most, and up to about 90 of them at once do not delay a scrape.
// Connections past the workers wait in a queue of 32 (and one more in the
// hands of civetweb's accepting thread) and a listen backlog of 128; past
// those the system drops connection attempts (clients retry). The workers'
// stacks are reserved address space (96 x the thread stack size), not memory
// in use.
//
// Threads: the server's threads are started by Start() and joined by the
// destructor, which first stops accepting and shuts every open connection
// down, so that it returns within milliseconds whatever the clients do and
// leaves no socket open. The threads do not survive fork(): a service that
// daemonizes starts the endpoint in the child, after the fork. Destroying an
// endpoint in a child process of the one that started it (an exit() that runs
// static destructors, say) leaves the parent's threads and sockets alone and
// returns at once.
//
// Thread-safety: Start() may be called from any thread; Port() and Url() are
// constant after it. The object is destroyed by one thread, once no other one
// uses it.

#ifndef ZRPERF_EXPORT_PROMETHEUS_PROMETHEUSENDPOINT_H_
#define ZRPERF_EXPORT_PROMETHEUS_PROMETHEUSENDPOINT_H_

#include <zrperf/perf/PerfCounters.h>
#include <zrperf/sync/Export.h>
#include "PrometheusCollector.h"

#include <sys/types.h>

#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct mg_connection;
struct mg_context;

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

  // Stops the server and joins its threads (in the process that started it).
  ~CPrometheusEndpoint();

  CPrometheusEndpoint(const CPrometheusEndpoint&) = delete;
  CPrometheusEndpoint& operator=(const CPrometheusEndpoint&) = delete;

  // The port it listens on.
  int Port() const noexcept { return m_port; }
  // "http://HOST:PORT/metrics", HOST as given to Start() and the real port.
  const std::string& Url() const noexcept { return m_url; }

 private:
  CPrometheusEndpoint() = default;

  struct Serving;  // the answers and the clients being served (in the .cpp)

  // civetweb's request handler; `self` is the endpoint.
  static int HandleRequest(mg_connection* connection, void* self);
  // civetweb's connection-close callback: answers requests it closes unanswered.
  static void AnswerUnhandled(const mg_connection* connection);

  boost::shared_ptr<CPerfCounters> m_counters;
  std::vector<std::int32_t> m_boundIndices;  // the classic boundaries, as schema-4 indices
  std::size_t m_maxNativeBuckets = 0;        // the options' native bucket budget
  mg_context* m_context = nullptr;
  pid_t m_creator = 0;  // the process whose threads serve
  int m_listener = -1;  // a duplicate of the listening socket; -1 if not found
  int m_port = 0;
  std::string m_url;
  std::string m_host;  // the IPv4 address listened on
  std::unique_ptr<Serving> m_pServing;
};

#endif  // ZRPERF_EXPORT_PROMETHEUS_PROMETHEUSENDPOINT_H_
