// COtlpExporter: pushes a counter set's figures to an OpenTelemetry (OTLP/HTTP)
// receiver, such as a collector, on a thread of its own.
//
//   COtlpExporter::Options options;                      // or FromEnvironment(&warnings)
//   options.endpoint = "http://127.0.0.1:4318";          // posts to .../v1/metrics
//   std::string error;
//   std::unique_ptr<COtlpExporter> otlp = COtlpExporter::Start(options, counters, &error);
//   if (!otlp) { /* error says why; a record went to g_ptrLogWriter */ }
//   otlp->PushAfterEachPass(PerfCntLogger::Instance());  // optional
//   ...
//   otlp->Flush(std::chrono::seconds(5));                // optional: the last push
//   otlp.reset();                                        // or: stops with a last push
//
// Each push is one ExportMetricsServiceRequest (protobuf,
// export/otlp/proto/otlp_metrics.proto) posted with Content-Type
// application/x-protobuf, gzip-encoded when `gzip` is set. It holds the
// resource (service.name, host.name, process.pid, service.instance.id: a
// random UUID made once per process, then the caller's attributes, which
// replace defaults of the same key), the scope "zrperf" with the library
// version, and one point per counter labelled counter="<name>" (the whole
// name, made valid UTF-8 as the Prometheus label is, a NUL as "%00"),
// cumulative or delta as `temporality` says:
//
//   zrperf.elapsed      exponential histogram (seconds) of each elapsed-time
//                       counter: count, sum, min, max, the zero-length
//                       samples as zero count, and the counter's own buckets
//                       at scale 4, or each the exact sum of those it covers
//                       at the largest scale that fits `maxBuckets`
//   zrperf.transferred  monotonic sum (By), bytes of each throughput counter
//   zrperf.transfers    monotonic sum, its transfers
//   zrperf.transfer     monotonic sum (s), their summed time
//   zrperf.otlp.pushes  monotonic sum of this exporter's attempts, labelled
//                       outcome="ok" | "retried" | "failed" (as GetStats())
//
// A cumulative point starts at its counter's creation or last
// CPerfCounters::Reset() (a receiver sees a reset as a new start) and ends at
// the read. A delta point holds what was recorded since the end of the last
// point the receiver accepted, and starts there; the exporter keeps that
// reading (one snapshot a counter) and only an accepted answer replaces it.
//
// When: every `period` (60 s by default), after every statistics pass once
// PushAfterEachPass() was called, on Flush(), and once more on Stop(). The
// thread builds each request from the counters at that moment; recording
// threads and statistics passes never wait for it or for the network.
//
// Failures, by the OTLP/HTTP protocol's retry rules. Answers 429, 502, 503 and 504,
// and failures to connect or to get a whole answer within `timeout`, are
// retried with exponential back-off (from `initialBackoff`, doubling up to
// `maxBackoff`, each wait drawn from [b/2, b)) or after the receiver's
// Retry-After (seconds or an HTTP date) when that is longer. Any other answer
// drops the request (a 400's reason is reported once per distinct reason).
// A retry carries a fresh request (cumulative points as the counters are,
// delta points from the last accepted reading): the first success after an
// outage holds everything recorded meanwhile, samples of a retried or dropped
// request are neither lost nor sent twice, and the exporter keeps at most one
// request in memory however long the receiver is down. A request whose answer
// is lost may be counted twice by the receiver, as with every OTLP exporter. Failures go to
// g_ptrLogWriter at level -1, at most one record a minute besides the first of each outage and each
// new 400 reason; headers never appear in a record.
//
// TLS files: the CA file, the regular files of the CA directory, the client
// certificate and key are read by the exporter itself, at Start() and before
// each push to an https receiver, and given to libcurl in memory, which opens
// none of them. A read never blocks (a FIFO or device at a path is refused;
// in the CA directory, skipped) and is bounded: 1 MiB a file, 4096 entries
// and 4 MiB of files a CA directory. A push whose files cannot be read fails
// without sending (retried, one record per distinct reason) and the next one
// reads them again, so replaced certificates are taken as they change.
//
// fork(): the thread is not in a child process. An exporter used or destroyed
// in the child of the process that started it does nothing there: no push,
// no join; it leaves the parent's thread and its state alone. Start a new
// exporter in the child.
//
// Thread-safety: Start() may be called from any thread. Flush(), GetStats(),
// Url() and PushAfterEachPass() may be called from any thread at once. Stop()
// and the destructor are called by the owner, once no other thread uses the
// exporter. The logger callback outlives the exporter harmlessly.

#ifndef ZRPERF_EXPORT_OTLP_OTLPEXPORTER_H_
#define ZRPERF_EXPORT_OTLP_OTLPEXPORTER_H_

#include <zrperf/perf/PerfCntLogger.h>
#include <zrperf/perf/PerfCounters.h>
#include <zrperf/sync/Export.h>

#include <sys/types.h>

#include <boost/shared_ptr.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class ZRPERF_EXPORT COtlpExporter {
 public:
  struct Options {
    // http:// or https:// base URL; requests go to its path + "/v1/metrics"
    // (unless it already ends so).
    std::string endpoint;
    // True: `endpoint` is the whole URL posted to, used as it is (as
    // OTEL_EXPORTER_OTLP_METRICS_ENDPOINT gives it; no path means "/").
    bool endpointIsUrl = false;
    std::chrono::milliseconds period{60000};  // 100 ms to 24 h
    // Of one request, connection included: 10 ms to 10 min.
    std::chrono::milliseconds timeout{10000};
    bool gzip = false;
    // Extra headers, "Name: value" (an authorization token, say). Never logged.
    std::vector<std::string> headers;
    // The CAs an https receiver is verified against: a PEM bundle, and a
    // directory whose regular files are PEM bundles (hashed names or any).
    // Either or both; neither: the system's. Read at Start() and before each
    // push (see TLS files below).
    std::string caFile;
    std::string caDir;
    std::string serviceName;  // empty: the program's name
    std::vector<std::pair<std::string, std::string>> attributes;  // more resource attributes
    std::chrono::milliseconds initialBackoff{1000};
    std::chrono::milliseconds maxBackoff{0};  // 0: the period
    // PEM client certificate and its key, for receivers that require
    // mutual TLS; both or neither.
    std::string clientCertFile;
    std::string clientKeyFile;
    // Cumulative points (each from the counter's start) or delta points
    // (each from the end of the last point the receiver accepted).
    enum class Temporality { kCumulative, kDelta };
    Temporality temporality = Temporality::kCumulative;
    // The most buckets a histogram point carries: a point with more uses the
    // largest scale (4 down to -10) at which it fits. 0: no budget; 1 is
    // refused (a point may need 2 at every scale).
    std::size_t maxBuckets = 160;
    // True (OTEL_SDK_DISABLED=true): Start() checks nothing and returns an
    // exporter that never pushes (Flush() false, Url() empty).
    bool disabled = false;

    // Options from the standard OTEL_* environment variables (see
    // docs/otlp.md); each invalid value is named in `*warnings` (one line
    // each, ending in '\n') and ignored. Settings made in code afterwards
    // win. In a set-user-ID or set-group-ID program (secure_getenv) the
    // environment is not read: the defaults are returned. Reads the
    // environment, so it must not race with setenv().
    static Options FromEnvironment(std::string* warnings = nullptr);
  };

  // The exporter's attempts so far; each attempt is exactly one of these.
  struct Stats {
    std::uint64_t ok = 0;       // accepted (2xx)
    std::uint64_t retried = 0;  // failed in a way that is retried
    std::uint64_t failed = 0;   // refused by the receiver and dropped
  };

  // Pushes `counters` (the statistics logger's set when null) as `options`
  // say. On bad options (an unusable URL or scheme, a malformed or reserved
  // header, a period or timeout out of range, a TLS file that cannot be read
  // within its bound (see TLS files), a client certificate without its key
  // or a key without its certificate, attributes that are not UTF-8 or
  // repeat a key) or no logger,
  // returns null, sets `error` (when given) to one line saying why and writes
  // that line to g_ptrLogWriter at level -1. Never throws.
  static std::unique_ptr<COtlpExporter> Start(const Options& options,
                                              boost::shared_ptr<CPerfCounters> counters = {},
                                              std::string* error = nullptr);

  // Stop().
  ~COtlpExporter();

  COtlpExporter(const COtlpExporter&) = delete;
  COtlpExporter& operator=(const COtlpExporter&) = delete;

  // Makes the thread push the counters as they are now, even during a
  // back-off, and waits up to `wait` for the answer. True when that push was
  // accepted. False at once after Stop() or in a forked child.
  bool Flush(std::chrono::milliseconds wait);

  // Stops the thread after one last push (an attempt in progress is cut
  // short): returns within about `timeout` plus a second. Idempotent.
  void Stop();

  // Registers a statistics callback with `logger` that asks for a push after
  // each of its passes (it only wakes the thread). Nothing for a null logger.
  void PushAfterEachPass(PerfCntLogger* logger);

  Stats GetStats() const;

  // The URL posted to, without user information.
  const std::string& Url() const noexcept { return m_url; }

 private:
  struct State;  // shared with the thread and the logger callback

  COtlpExporter() = default;

  std::shared_ptr<State> m_state;
  std::thread m_thread;
  pid_t m_creator = 0;
  std::string m_url;
};

#endif  // ZRPERF_EXPORT_OTLP_OTLPEXPORTER_H_
