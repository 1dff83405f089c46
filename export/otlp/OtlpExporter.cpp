#include "OtlpExporter.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>
#include <zrperf/Version.h>
#include <zrperf/counters/TimeCounterSnapshot.h>
#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/sync/Mutex.h>
#include <zrperf/sync/ThreadAnnotations.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <optional>
#include <set>
#include <utility>

#include <zrperf/export/internal/StartFailure.h>
#include <zrperf/export/otlp/internal/OtlpEnvironment.h>
#include <zrperf/export/otlp/internal/OtlpInstanceId.h>
#include <zrperf/export/otlp/internal/OtlpPayload.h>
#include <zrperf/export/otlp/internal/OtlpSchedule.h>
#include <zrperf/export/otlp/internal/OtlpTransport.h>
#include <zrperf/util/internal/HostName.h>
#include <zrperf/util/internal/RecordText.h>
#include <zrperf/util/internal/Utf8.h>

namespace {

using std::chrono::milliseconds;
using zrotlp::Clock;

using zrotlp::kMaxPeriod;
using zrotlp::kMaxTimeout;
using zrotlp::kMinPeriod;
using zrotlp::kMinTimeout;
constexpr std::chrono::seconds kReportEvery{60};  // failure records, besides the first of each kind
constexpr std::size_t kMaxReasons = 64;           // distinct 400 reasons remembered

// The resource attributes: the defaults, then the caller's (replacing a
// default of the same key). False with `why` when an attribute is unusable.
bool ResourceOf(const COtlpExporter::Options& options, std::vector<zrotlp::Attribute>* out,
                std::string* why) {
  std::string service = options.serviceName;
  if (service.empty()) service = program_invocation_short_name;
  if (service.empty()) service = "unknown_service";
  std::string host = zrperf::HostName();
  if (!zrperf::IsUtf8(host)) host = "unknown";
  out->push_back({"service.name", service, false, 0});
  out->push_back({"host.name", host, false, 0});
  out->push_back({"process.pid", "", true, static_cast<std::int64_t>(getpid())});
  out->push_back({"service.instance.id", zrotlp::InstanceId(), false, 0});
  if (!zrperf::IsUtf8(service)) {
    *why = "the service name is not valid UTF-8";
    return false;
  }
  std::set<std::string> given;
  for (const auto& a : options.attributes) {
    const std::string shown = "'" + zrperf::EscapeRecordText(a.first) + "'";
    if (a.first.empty() || !zrperf::IsUtf8(a.first) || !zrperf::IsUtf8(a.second)) {
      *why = "the resource attribute " + shown + " has an empty key or is not valid UTF-8";
      return false;
    }
    if (!given.insert(a.first).second) {
      *why = "the resource attribute " + shown + " is given twice";
      return false;
    }
    bool replaced = false;
    for (zrotlp::Attribute& d : *out) {
      if (d.key == a.first) {
        d = {a.first, a.second, false, 0};
        replaced = true;
      }
    }
    if (!replaced) out->push_back({a.first, a.second, false, 0});
  }
  return true;
}

}  // namespace

COtlpExporter::Options COtlpExporter::Options::FromEnvironment(std::string* warnings) {
  return zrotlp::OptionsFromEnvironment([](const char* name) { return secure_getenv(name); },
                                        warnings);
}

struct COtlpExporter::State {
  State(zrotlp::RequestContext requestContext, boost::shared_ptr<CPerfCounters> set,
        std::shared_ptr<Clock> schedule, const Options& opts, std::string url)
      : context(std::move(requestContext)),
        counters(std::move(set)),
        clock(std::move(schedule)),
        period(opts.period),
        initialBackoff(opts.initialBackoff),
        maxBackoff(opts.maxBackoff.count() > 0 ? opts.maxBackoff : opts.period),
        encoding{opts.temporality == Options::Temporality::kDelta, opts.maxBuckets},
        display(std::move(url)) {
    acked.at = context.exporterStart;
  }

  // The thread's loop; returns after the last push once `stop` is set.
  void Run();
  // Builds a request of the counters as they are (or, for delta points, of
  // what they gained since `acked`) and posts it; an accepted one becomes
  // `acked`.
  zrotlp::Outcome Attempt(const zrotlp::PushCounts& counts);
  // Counts the outcome and says what to report: a failure record (level -1)
  // and a recovery record (level 0), each empty for none. `now` of the clock.
  struct Records {
    std::string failure;
    std::string recovery;
  };
  Records Account(const zrotlp::Outcome& outcome, Clock::TimePoint now) ZR_REQUIRES(mutex);
  // Writes `records` (without the mutex: a slow sink delays no one else).
  void Report(const Records& records);

  const zrotlp::RequestContext context;
  const boost::shared_ptr<CPerfCounters> counters;
  const std::shared_ptr<Clock> clock;
  const milliseconds period;
  const milliseconds initialBackoff;
  const milliseconds maxBackoff;
  const zrotlp::Encoding encoding;
  const std::string display;                     // the URL for records
  std::unique_ptr<zrotlp::Transport> transport;  // the thread's
  std::string payload;                           // the thread's, reused
  // Delta points: the thread's reading of the last request the receiver
  // accepted. Only an accepted request moves it, so what a failed or dropped
  // one carried goes out again in the next, never lost and never twice.
  zrotlp::Reading acked;
  std::atomic<bool> abort{false};  // cuts the attempt in progress short

  zrperf::Mutex mutex;
  std::condition_variable wake;  // the thread: a request; flushers: an outcome
  bool stop ZR_GUARDED_BY(mutex) = false;
  bool stopped ZR_GUARDED_BY(mutex) = false;  // the last push is done
  bool passRequested ZR_GUARDED_BY(mutex) = false;
  std::uint64_t flushAsked ZR_GUARDED_BY(mutex) = 0;  // Flush() calls so far
  std::uint64_t flushDone ZR_GUARDED_BY(mutex) = 0;   // of those, answered
  bool flushOk ZR_GUARDED_BY(mutex) = false;          // the last answered one's outcome
  zrotlp::PushCounts counts ZR_GUARDED_BY(mutex);
  // Back-off: retries in a row and when the next one is due.
  int failures ZR_GUARDED_BY(mutex) = 0;
  std::optional<Clock::TimePoint> retryAt ZR_GUARDED_BY(mutex);
  // Failure records: the last one's time, those left out since, the 400
  // reasons already reported.
  std::optional<Clock::TimePoint> lastReport ZR_GUARDED_BY(mutex);
  std::uint64_t unreported ZR_GUARDED_BY(mutex) = 0;
  std::set<std::string> reasons ZR_GUARDED_BY(mutex);
};

zrotlp::Outcome COtlpExporter::State::Attempt(const zrotlp::PushCounts& pushCounts) {
  try {
    CPerfCounters::TimeCounterList times;
    CPerfCounters::MediaSpeedCounterList speeds;
    if (counters) {
      times = counters->ListTimeCounters();
      speeds = counters->ListMediaSpeedCounters();
    }
    const auto now = std::chrono::steady_clock::now();
    zrotlp::Outcome outcome;
    if (encoding.delta) {
      zrotlp::Reading reading = zrotlp::Read(times, speeds, pushCounts, context.exporterStart, now);
      zrotlp::EncodeRequest(context, zrotlp::Since(reading, acked), encoding, &payload);
      outcome = transport->Post(payload);
      if (outcome.result == zrotlp::Result::kOk) acked = std::move(reading);
    } else {
      zrotlp::EncodeRequest(context, times, speeds, pushCounts, context.exporterStart, now,
                            encoding, &payload);
      outcome = transport->Post(payload);
    }
    return outcome;
  } catch (const std::exception& e) {
    zrotlp::Outcome failed;
    failed.reason = e.what();
    return failed;  // retried: an allocation failure may pass
  }
}

void COtlpExporter::State::Report(const Records& records) {
  try {
    if (!records.recovery.empty()) {
      zrfw::SendLog(zrfw::LevelRule::kIfAdmitted, 0, __PRETTY_FUNCTION__, __LINE__,
                    "OTLP export to %s: %s", display.c_str(), records.recovery.c_str());
    }
    if (!records.failure.empty()) {
      zrfw::SendLog(zrfw::LevelRule::kAlways, -1, __PRETTY_FUNCTION__, __LINE__,
                    "OTLP export to %s: %s", display.c_str(), records.failure.c_str());
    }
  } catch (...) {
    // The sink failed: the records are lost rather than stop the thread.
  }
}

COtlpExporter::State::Records COtlpExporter::State::Account(const zrotlp::Outcome& o,
                                                            Clock::TimePoint now) {
  using zrotlp::Result;
  Records records;
  if (o.result == Result::kAborted) return records;  // cut short by Stop(): the last push follows
  // Records that are always written: a new 400 or partial-success reason, the
  // first failure after a success. Others at most once per kReportEvery.
  bool always = false;
  bool report = false;
  std::string text;
  if (o.result == Result::kOk) {
    ++counts.ok;
    if (failures > 0 && lastReport) {
      records.recovery =
          "pushes succeed again after " + std::to_string(failures) + " failed attempts";
    }
    failures = 0;
    retryAt.reset();
    if (!o.reason.empty()) {  // a partial success
      report = true;
      if (reasons.size() < kMaxReasons) report = always = reasons.insert(o.reason).second;
      text = "the receiver dropped points: " + o.reason;
    }
  } else if (o.result == Result::kRetry) {
    ++counts.retried;
    ++failures;
    const milliseconds delay =
        zrotlp::RetryDelay(failures, o.retryAfter, initialBackoff, maxBackoff, clock->Draw());
    retryAt = now + delay;
    always = failures == 1;
    // A TLS file that cannot be read: each distinct reason once, as a 400's.
    if (o.filesUnreadable && reasons.size() < kMaxReasons && reasons.insert(o.reason).second) {
      always = true;
    }
    report = true;
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%.1f", static_cast<double>(delay.count()) / 1000);
    text = "push failed (" + o.reason + "); retrying in " + seconds + " s";
  } else {
    ++counts.failed;
    failures = 0;
    retryAt.reset();
    report = true;
    if (o.status == 400 && reasons.size() < kMaxReasons) {
      // Each reason once; past kMaxReasons of them, at the minute's rate.
      report = always = reasons.insert(o.reason).second;
    }
    text = "push refused and dropped (" + o.reason + ")";
  }
  if (!report) return records;
  if (!always && lastReport && now - *lastReport < kReportEvery) {
    ++unreported;
    return records;
  }
  if (unreported > 0) {
    text += " (" + std::to_string(unreported) + " more failures since the previous record)";
  }
  unreported = 0;
  lastReport = now;
  records.failure = std::move(text);
  return records;
}

void COtlpExporter::State::Run() {
  zrperf::MutexLock lock(&mutex);
  Clock::TimePoint nextPush = clock->Now() + period;
  for (;;) {
    const bool last = stop;
    const bool flush = flushAsked > flushDone;
    const Clock::TimePoint now = clock->Now();
    bool due = last || flush;
    if (!due) due = retryAt ? now >= *retryAt : (passRequested || now >= nextPush);
    if (!due) {
      clock->WaitUntil(wake, lock.Native(), retryAt ? *retryAt : nextPush);
      continue;
    }
    const std::uint64_t covers = flushAsked;
    passRequested = false;
    if (last) abort.store(false, std::memory_order_relaxed);  // Stop() set it for the one before
    const zrotlp::PushCounts pushCounts = counts;
    // The attempt runs without the mutex (the analysis still counts it as
    // held: the unlock goes through Native()); it touches no guarded field.
    lock.Native().unlock();
    const zrotlp::Outcome outcome = Attempt(pushCounts);
    lock.Native().lock();
    const Records records = Account(outcome, clock->Now());
    if (!records.failure.empty() || !records.recovery.empty()) {
      lock.Native().unlock();
      Report(records);
      lock.Native().lock();
    }
    nextPush = clock->Now() + period;
    if (outcome.result != zrotlp::Result::kAborted && covers > flushDone) {
      flushDone = covers;
      flushOk = outcome.result == zrotlp::Result::kOk;
    }
    if (last) {
      stopped = true;
      flushDone = flushAsked;  // later flushers do not wait
      flushOk = false;
      wake.notify_all();
      return;
    }
    wake.notify_all();
  }
}

std::unique_ptr<COtlpExporter> COtlpExporter::Start(const Options& options,
                                                    boost::shared_ptr<CPerfCounters> counters,
                                                    std::string* error) {
  std::shared_ptr<Clock> clock = zrotlp::ClockForNewExporters();
  std::string prefix = "OTLP export: cannot start: ";
  return zrexport::StartWithoutThrowing(&prefix, error, [&]() -> std::unique_ptr<COtlpExporter> {
    if (options.disabled) {
      // No thread and no state: every member then does nothing.
      std::unique_ptr<COtlpExporter> idle(new COtlpExporter);
      idle->m_creator = getpid();
      zrfw::SendLog(zrfw::LevelRule::kIfAdmitted, 0, __PRETTY_FUNCTION__, __LINE__,
                    "OTLP export disabled (OTEL_SDK_DISABLED=true): nothing is pushed");
      return idle;
    }
    zrotlp::TransportOptions transport;
    std::string display;
    std::string why;
    if (!zrotlp::ResolveEndpoint(options.endpoint, &transport.url, &display, &why,
                                 options.endpointIsUrl)) {
      zrexport::ReportStartFailure(prefix + why, error);
      return nullptr;
    }
    prefix = "OTLP export to " + display + ": cannot start: ";
    if (options.period < kMinPeriod || options.period > kMaxPeriod) {
      zrexport::ReportStartFailure(prefix + "the period must be between 100 ms and 24 h", error);
      return nullptr;
    }
    if (options.timeout < kMinTimeout || options.timeout > kMaxTimeout) {
      zrexport::ReportStartFailure(prefix + "the timeout must be between 10 ms and 10 min", error);
      return nullptr;
    }
    if (options.initialBackoff.count() < 1 || options.maxBackoff.count() < 0) {
      zrexport::ReportStartFailure(prefix + "the back-off must be positive", error);
      return nullptr;
    }
    if (options.maxBuckets == 1) {
      zrexport::ReportStartFailure(prefix + "the bucket budget must be 0 (none) or at least 2",
                                   error);
      return nullptr;
    }
    for (std::size_t i = 0; i < options.headers.size(); ++i) {
      if (!zrotlp::CheckHeader(options.headers[i], &why)) {
        std::string line = prefix;
        line.append("header ").append(std::to_string(i + 1)).append(": ").append(why);
        zrexport::ReportStartFailure(line, error);
        return nullptr;
      }
    }
    if (options.clientCertFile.empty() != options.clientKeyFile.empty()) {
      zrexport::ReportStartFailure(
          prefix +
              "a client certificate needs its key: give both clientCertFile and "
              "clientKeyFile, or neither",
          error);
      return nullptr;
    }
    transport.caFile = options.caFile;
    transport.caDir = options.caDir;
    transport.clientCert = options.clientCertFile;
    transport.clientKey = options.clientKeyFile;
    // Read as each push to https reads them, so that what would fail every
    // push fails here.
    zrotlp::TlsFiles files;
    if (!zrotlp::ReadTlsFiles(transport, &files, &why)) {
      zrexport::ReportStartFailure(prefix + why, error);
      return nullptr;
    }
    zrotlp::RequestContext context;
    if (!ResourceOf(options, &context.resource, &why)) {
      zrexport::ReportStartFailure(prefix + why, error);
      return nullptr;
    }
    context.scopeVersion = ZRPERF_VERSION_STRING;
    // The engine's one offset between the clocks, which every exporter of
    // the process uses: a series starts at the same time in each of them.
    context.wallMinusSteadyNs =
        CTimeCounterSnapshot::UnixNanosOf(std::chrono::steady_clock::time_point());
    context.exporterStart = std::chrono::steady_clock::now();
    counters = zrexport::CountersOrLoggers(std::move(counters), prefix, error);
    if (!counters) return nullptr;
    transport.headers = options.headers;
    transport.timeout = options.timeout;
    transport.gzip = options.gzip;

    std::unique_ptr<COtlpExporter> exporter(new COtlpExporter);
    exporter->m_url = display;
    exporter->m_creator = getpid();
    auto state = std::make_shared<COtlpExporter::State>(std::move(context), std::move(counters),
                                                        std::move(clock), options, display);
    state->transport.reset(new zrotlp::Transport(std::move(transport), &state->abort));
    exporter->m_state = state;
    exporter->m_thread = std::thread([state] { state->Run(); });
    return exporter;
  });
}

COtlpExporter::~COtlpExporter() {
  Stop();
}

void COtlpExporter::Stop() {
  if (!m_thread.joinable()) return;
  if (getpid() != m_creator) {
    // A forked child: the thread is not here, and its mutex may have been
    // held when the process forked. Both are left untouched, for good.
    new std::thread(std::move(m_thread));            // never joined
    new std::shared_ptr<State>(std::move(m_state));  // never destroyed
    return;
  }
  {
    zrperf::MutexLock lock(&m_state->mutex);
    m_state->stop = true;
    m_state->abort.store(true, std::memory_order_relaxed);
  }
  m_state->wake.notify_all();
  m_thread.join();
}

bool COtlpExporter::Flush(milliseconds wait) {
  if (!m_state || getpid() != m_creator) return false;
  State& s = *m_state;
  zrperf::MutexLock lock(&s.mutex);
  if (s.stop) return false;
  const std::uint64_t mine = ++s.flushAsked;
  s.wake.notify_all();
  const bool answered = s.wake.wait_for(lock.Native(), wait, [&s, mine] {
    s.mutex.AssertHeld();  // the wait calls the predicate with the mutex held
    return s.flushDone >= mine;
  });
  return answered && s.flushOk && !s.stopped;
}

void COtlpExporter::PushAfterEachPass(PerfCntLogger* logger) {
  if (logger == nullptr || !m_state) return;
  std::weak_ptr<State> weak = m_state;
  logger->AddStatsCallback([weak] {
    if (std::shared_ptr<State> state = weak.lock()) {
      {
        zrperf::MutexLock lock(&state->mutex);
        state->passRequested = true;
      }
      state->wake.notify_all();
    }
  });
}

COtlpExporter::Stats COtlpExporter::GetStats() const {
  Stats stats;
  if (!m_state || getpid() != m_creator) return stats;
  zrperf::MutexLock lock(&m_state->mutex);
  stats.ok = m_state->counts.ok;
  stats.retried = m_state->counts.retried;
  stats.failed = m_state->counts.failed;
  return stats;
}
