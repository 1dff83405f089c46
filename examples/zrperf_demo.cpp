// zrperf-demo: a simulated storage service that measures itself with zrperf.
//
// It installs a log sink, reads its target list, records its staging
// directory in the configuration store, starts the statistics logger and runs
// worker threads that write and read back blocks for each target. Every second
// the logger's thread writes an "Exec Stats" record (elapsed times per target
// and operation) and a "Throughput Stats" record; at the end the demo runs a
// last pass itself and prints a summary to stdout. See --help.

#include <signal.h>
#include <time.h>
#include <unistd.h>
#include <zrperf/zrperf.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "BlockWorkload.h"
#include "DemoMetrics.h"
#include "DemoOptions.h"
#include "PrivateDir.h"
#include "ThroughputRecord.h"

namespace {

using zrdemo::DemoOptions;

const char kSection[] = "Drovane";
const char kStagingValue[] = "ZrScsiSrvBStorStagingDir";
const char kDefaultTarget[] = "default";

// The sample target list: next to the executable (the build copies it there),
// else in the source tree it was built from.
std::string DefaultTargetsPath() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const std::filesystem::path besideExe = exe.parent_path() / "targets.csv";
    if (std::filesystem::is_regular_file(besideExe, ec)) return besideExe.string();
  }
  return ZRPERF_DEMO_SOURCE_DIR "/targets.csv";
}

// Installs the sink the options ask for; returns where the log goes, or ""
// when no sink could be made.
std::string InstallSink(const DemoOptions& options) {
  boost::shared_ptr<CSpdlogLogWriter> sink;
  std::string destination;
  if (options.syslog) {
    sink = CSpdlogLogWriter::CreateSyslog("zrperf-demo");
    destination = "syslog";
  } else if (!options.logFile.empty()) {
    sink = CSpdlogLogWriter::CreateRotatingFile(options.logFile, 10 * 1024 * 1024, 3);
    destination = options.logFile;
  } else {
    sink = CSpdlogLogWriter::CreateStderr();
    destination = "stderr";
  }
  if (!sink) return "";
  // The sink itself says on stderr why it fell back.
  if (sink->IsFallback()) destination = "stderr";
  zrfw::StoreLogWriter(sink);
  return destination;
}

// The targets of the list at `path`: empty and repeated entries are dropped
// (with a note), and an empty list becomes the one default target.
bool ReadTargets(const std::string& path, std::vector<std::string>* targets) {
  std::vector<std::string> values;
  const CKyError result = ZrScsiUtils::GetCommaSeperatedValues(path, values);
  if (result.IsError()) {
    std::fprintf(stderr, "zrperf-demo: cannot read the target list %s: %s\n", path.c_str(),
                 result.AsString().c_str());
    return false;
  }
  std::set<std::string> seen;
  std::size_t dropped = 0;
  for (const std::string& value : values) {
    if (value.empty() || !seen.insert(value).second) {
      ++dropped;
      continue;
    }
    targets->push_back(value);
  }
  if (targets->empty()) {
    std::printf("targets: none in %s (missing or empty file); using the target \"%s\"\n",
                path.c_str(), kDefaultTarget);
    targets->push_back(kDefaultTarget);
    return true;
  }
  std::string list;
  for (const std::string& t : *targets) list += (list.empty() ? "" : ", ") + t;
  std::printf("targets: %zu from %s: %s", targets->size(), path.c_str(), list.c_str());
  if (dropped > 0) std::printf(" (%zu empty or repeated entries skipped)", dropped);
  std::printf("\n");
  return true;
}

// Records the staging directory in the store and says whether it was written.
bool StoreStagingDir(const std::string& storePath, const std::string& stagingDir) {
  ZRPlatformInfo::SetStorePath(storePath);
  std::string before;
  bool hadValue = false;
  {
    ZRPlatformInfo store;
    hadValue = store.getString(kSection, kStagingValue, &before) != 0;
  }
  if (!UpdateBStorStagingLocRegKey(stagingDir)) {
    std::fprintf(stderr, "zrperf-demo: cannot store the staging directory in %s\n",
                 storePath.c_str());
    return false;
  }
  if (hadValue && before == stagingDir) {
    std::printf("staging directory: %s already in %s; nothing written\n", stagingDir.c_str(),
                storePath.c_str());
  } else {
    std::printf("staging directory: %s written to %s (%s%s)\n", stagingDir.c_str(),
                storePath.c_str(), hadValue ? "was " : "was unset", hadValue ? before.c_str() : "");
  }
  return true;
}

// Waits until `deadline` or a signal of `signals`; true when a signal came.
bool WaitForSignal(const sigset_t& signals, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return false;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    if (sigtimedwait(&signals, nullptr, &timeout) > 0) return true;
    if (errno != EAGAIN && errno != EINTR) return false;
  }
}

void PrintSummary(const std::vector<zrdemo::TargetCounters>& targets, int threads, double seconds) {
  std::printf("\nran %.2f s with %d worker thread%s, %zu KiB blocks\n", seconds, threads,
              threads == 1 ? "" : "s", zrdemo::kBlockSize / 1024);
  std::printf("%-20s %12s %12s %14s %10s\n", "target", "writes", "reads", "bytes", "MB/s");
  unsigned long long totalOps[2] = {0, 0};
  unsigned long long totalBytes = 0;
  for (const zrdemo::TargetCounters& t : targets) {
    const unsigned long long writes = t.writeSpeed ? t.writeSpeed->GetTotalTransfers() : 0;
    const unsigned long long reads = t.readSpeed ? t.readSpeed->GetTotalTransfers() : 0;
    const unsigned long long bytes = (t.writeSpeed ? t.writeSpeed->GetTotalBytes() : 0) +
                                     (t.readSpeed ? t.readSpeed->GetTotalBytes() : 0);
    totalOps[0] += writes;
    totalOps[1] += reads;
    totalBytes += bytes;
    std::printf("%-20s %12llu %12llu %14llu %10.1f\n", t.name.c_str(), writes, reads, bytes,
                bytes / 1e6 / seconds);
  }
  if (targets.size() > 1) {
    std::printf("%-20s %12llu %12llu %14llu %10.1f\n", "all", totalOps[0], totalOps[1], totalBytes,
                totalBytes / 1e6 / seconds);
  }
  std::printf(
      "(MB/s: bytes written and read back over the run's wall-clock time; 1 MB = 10^6 "
      "bytes)\n");
}

int Run(const DemoOptions& options) {
  // Signals that end the run are taken by sigtimedwait below; they are
  // blocked before any thread starts so that every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const std::string logDestination = InstallSink(options);
  if (logDestination.empty()) {
    std::fprintf(stderr, "zrperf-demo: cannot create the log sink\n");
    return 1;
  }

  const std::string stateDir =
      options.stateDir.empty() ? zrdemo::DefaultStateDir() : options.stateDir;
  // The default lies in a shared directory under a predictable name: use it
  // only when it is this user's own private directory.
  std::string stateError;
  if (options.stateDir.empty() && !zrdemo::PreparePrivateDir(stateDir, &stateError)) {
    std::fprintf(stderr, "zrperf-demo: %s\n", stateError.c_str());
    return 1;
  }
  const std::string stagingDir = stateDir + "/staging";
  std::error_code ec;
  std::filesystem::create_directories(stagingDir, ec);
  if (ec) {
    std::fprintf(stderr, "zrperf-demo: cannot create %s: %s\n", stagingDir.c_str(),
                 ec.message().c_str());
    return 1;
  }

  std::vector<std::string> targetNames;
  const std::string targetsPath =
      options.targetsPath.empty() ? DefaultTargetsPath() : options.targetsPath;
  if (!ReadTargets(targetsPath, &targetNames)) return 1;
  if (!StoreStagingDir(stateDir + "/platform.db", stagingDir)) return 1;

  PerfCntLogger* logger = PerfCntLogger::Instance();
  if (logger == nullptr) {
    std::fprintf(stderr, "zrperf-demo: the statistics logger could not be created\n");
    return 1;
  }
  logger->SetIntervalStats(true);
  if (!options.histogramLog.empty()) {
    std::string error;
    if (!logger->SetHistogramLog(options.histogramLog, HistogramLogOptions(), &error)) {
      std::fprintf(stderr, "zrperf-demo: %s\n", error.c_str());
      return 1;
    }
    std::printf("histogram log: %s (read it with zrperf-report)\n", options.histogramLog.c_str());
  }
  boost::shared_ptr<CPerfCounters> counters = logger->GetPerfCounters();

  std::vector<zrdemo::TargetCounters> targets;
  zrdemo::ThroughputRecord::Counters speeds;
  for (const std::string& name : targetNames) {
    targets.push_back(zrdemo::MakeTargetCounters(*counters, name));
    speeds[name + ".write"] = targets.back().writeSpeed;
    speeds[name + ".read"] = targets.back().readSpeed;
  }
  // The callback holds its own handles: it stays valid for as long as the
  // logger keeps it, which is the life of the process.
  logger->AddStatsCallback(zrdemo::ThroughputRecord(speeds));

  // Prometheus and OTLP outputs; they stay up until Run() returns.
  zrdemo::DemoMetrics metrics;
  std::string metricsError;
  if (!metrics.Start(options, logger, &metricsError)) {
    std::fprintf(stderr, "zrperf-demo: %s\n", metricsError.c_str());
    return 1;
  }

  zrdemo::BlockWorkload work(targets, stateDir + "/data");
  std::string error;
  if (!work.Open(&error)) {
    std::fprintf(stderr, "zrperf-demo: %s\n", error.c_str());
    return 1;
  }

  std::printf("running %d worker thread%s for %d s; statistics every second on %s\n",
              options.threads, options.threads == 1 ? "" : "s", options.seconds,
              logDestination.c_str());
  std::fflush(stdout);

  const auto start = std::chrono::steady_clock::now();
  work.Start(options.threads);
  bool interrupted = false;
  for (int second = 1; second <= options.seconds; ++second) {
    if (WaitForSignal(stopSignals, start + std::chrono::seconds(second))) {
      interrupted = true;
      break;
    }
    // The last second is reported by the final pass below, after the workers stop.
    if (second < options.seconds) logger->RequestStatsPass();
  }
  work.Stop();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  logger->LogPerfStats();
  logger->StopDebugThread();
  metrics.Flush();  // the last OTLP push holds the final counts

  if (interrupted) std::printf("\ninterrupted: stopped early\n");
  PrintSummary(targets, options.threads, elapsed);
  if (options.lingerSeconds > 0 && !interrupted) {
    std::printf("lingering %d s for scrapers; SIGINT or SIGTERM ends it\n", options.lingerSeconds);
    WaitForSignal(stopSignals,
                  std::chrono::steady_clock::now() + std::chrono::seconds(options.lingerSeconds));
  }
  if (work.Failures() > 0) {
    std::fprintf(stderr, "zrperf-demo: %llu worker%s failed; first: %s\n", work.Failures(),
                 work.Failures() == 1 ? "" : "s", work.FirstFailure().c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Status lines keep their place among the log records on a shared terminal
  // or pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  DemoOptions options;
  std::string error;
  if (!zrdemo::ParseDemoOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "zrperf-demo: %s\nTry 'zrperf-demo --help' for more information.\n",
                 error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(zrdemo::DemoUsage("zrperf-demo").c_str(), stdout);
    return 0;
  }
  return Run(options);
}
