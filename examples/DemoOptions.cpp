#include "DemoOptions.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <zrperf/util/internal/CommandLine.h>

namespace zrdemo {

namespace {

// Parses a decimal count in [min, max] (min is 0 or 1): digits only, no sign
// or blanks.
bool ParseCount(const std::string& option, const std::string& text, int min, int max, int* value,
                std::string* error) {
  const std::string range = "between " + std::to_string(min) + " and " + std::to_string(max);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    *error = option + " needs a whole number " + range + ", not '" + text + "'";
    return false;
  }
  // Leading zeros aside, more than ten digits is out of range for any limit here.
  const std::string digits = text.substr(std::min(text.find_first_not_of('0'), text.size()));
  if ((digits.empty() && min > 0) || digits.size() > 10 ||
      std::strtoll(digits.c_str(), nullptr, 10) > max) {
    *error = option + " must be " + range + ", not " + text;
    return false;
  }
  *value = static_cast<int>(std::strtoll(digits.c_str(), nullptr, 10));
  return true;
}

}  // namespace

bool ParseDemoOptions(int argc, const char* const* argv, DemoOptions* options, std::string* error) {
  zrperf::CommandLine args(argc, argv);
  while (!args.Done()) {
    zrperf::CommandLineArg arg = args.Next();
    if (arg.text == "--help" || arg.text == "-h") {
      options->help = true;
      return true;
    }
    if (arg.text == "--syslog") {
      options->syslog = true;
      continue;
    }

    // The options that take a value: "--name value" or "--name=value".
    const std::string& name = arg.name;
    if (name != "--threads" && name != "--seconds" && name != "--targets" &&
        name != "--state-dir" && name != "--log-file" && name != "--metrics-listen" &&
        name != "--metrics-textfile" && name != "--histogram-log" && name != "--linger" &&
        name != "--otlp-endpoint" && name != "--otlp-period" &&
        name != "--metrics-native-max-buckets") {
      *error = "unknown option '" + arg.text + "'";
      return false;
    }
    if (!args.TakeValue(&arg, error)) return false;
    const std::string& value = arg.value;

    if (name == "--threads") {
      if (!ParseCount(name, value, 1, kMaxThreads, &options->threads, error)) return false;
    } else if (name == "--seconds") {
      if (!ParseCount(name, value, 1, kMaxSeconds, &options->seconds, error)) return false;
    } else if (name == "--linger") {
      if (!ParseCount(name, value, 0, kMaxSeconds, &options->lingerSeconds, error)) return false;
    } else if (name == "--otlp-period") {
      if (!ParseCount(name, value, 1, kMaxSeconds, &options->otlpPeriodSeconds, error)) {
        return false;
      }
    } else if (name == "--metrics-native-max-buckets") {
      if (!ParseCount(name, value, 0, kMaxNativeBuckets, &options->metricsNativeMaxBuckets,
                      error)) {
        return false;
      }
    } else if (name == "--otlp-endpoint") {
      if (value.empty()) {
        *error = name + " needs a URL such as http://127.0.0.1:4318";
        return false;
      }
      options->otlpEndpoint = value;
    } else if (name == "--metrics-listen") {
      if (value.empty()) {
        *error = name + " needs an address such as 127.0.0.1:9464";
        return false;
      }
      options->metricsListen = value;
    } else {
      if (value.empty()) {
        *error = name + " needs a non-empty path";
        return false;
      }
      if (name == "--targets") options->targetsPath = value;
      if (name == "--state-dir") options->stateDir = value;
      if (name == "--log-file") options->logFile = value;
      if (name == "--metrics-textfile") options->metricsTextfile = value;
      if (name == "--histogram-log") options->histogramLog = value;
    }
  }
  if (options->syslog && !options->logFile.empty()) {
    *error = "--log-file and --syslog exclude each other";
    return false;
  }
  return true;
}

std::string DemoUsage(const std::string& program) {
  return "Usage: " + program +
         " [OPTION]...\n"
         "A simulated storage service that measures itself with zrperf: worker threads\n"
         "write and read back 64 KiB blocks for each target, timed per target and\n"
         "operation; the statistics logger writes an \"Exec Stats\" record and a\n"
         "\"Throughput Stats\" record every second, and a summary goes to stdout.\n"
         "\n"
         "  --threads N      worker threads (1-" +
         std::to_string(kMaxThreads) +
         ", default 4)\n"
         "  --seconds S      how long to run (1-" +
         std::to_string(kMaxSeconds) +
         ", default 5); SIGINT or SIGTERM ends the run early\n"
         "  --targets PATH   comma-separated target list (default: targets.csv shipped\n"
         "                   with the demo); a missing or empty file means one target\n"
         "                   named \"default\"\n"
         "  --state-dir DIR  where the configuration store (platform.db), the staging\n"
         "                   directory and the scratch data files go (default: " +
         DefaultStateDir() +
         ")\n"
         "  --log-file PATH  write the log to PATH, rotated at 10 MiB, 3 old files kept\n"
         "                   (default: standard error)\n"
         "  --syslog         send the log to syslog as \"zrperf-demo\"\n"
         "  --metrics-listen ADDR:PORT\n"
         "                   serve the counters as Prometheus metrics at\n"
         "                   http://ADDR:PORT/metrics for the run (ADDR an IPv4\n"
         "                   address; 127.0.0.1 serves this host only; port 0 takes a\n"
         "                   free port); prints \"metrics: URL\" once it listens\n"
         "  --metrics-textfile PATH\n"
         "                   write the metrics to PATH (e.g. a .prom file in\n"
         "                   node_exporter's textfile directory) after every statistics\n"
         "                   pass and every 15 s, replacing it atomically\n"
         "  --metrics-native-max-buckets N\n"
         "                   at most N buckets per native histogram in the protobuf\n"
         "                   answer (0-" +
         std::to_string(kMaxNativeBuckets) +
         ", default 0: no budget); a histogram with\n"
         "                   more is sent exactly at the finest lower schema that\n"
         "                   fits, e.g. 160 for Mimir\n"
         "  --histogram-log PATH\n"
         "                   append every counter's histogram to PATH at each statistics\n"
         "                   pass (rotated at 64 MiB, 5 old files kept), for\n"
         "                   zrperf-report\n"
         "  --otlp-endpoint URL\n"
         "                   push the counters to an OpenTelemetry receiver over\n"
         "                   OTLP/HTTP (protobuf) at URL/v1/metrics, e.g.\n"
         "                   http://127.0.0.1:4318; prints \"otlp: URL\" once started and\n"
         "                   pushes the final counts before the summary. Without it,\n"
         "                   pushes when OTEL_EXPORTER_OTLP_ENDPOINT or\n"
         "                   OTEL_EXPORTER_OTLP_METRICS_ENDPOINT is set; the other\n"
         "                   OTEL_* variables apply either way, and these flags win\n"
         "  --otlp-period S  seconds between OTLP pushes (1-" +
         std::to_string(kMaxSeconds) +
         ", default OTEL_METRIC_EXPORT_INTERVAL or 60)\n"
         "  --linger S       keep running S seconds after the workload ends (0-" +
         std::to_string(kMaxSeconds) +
         ",\n"
         "                   default 0), so that scrapers read the final figures\n"
         "  --help           show this help and exit\n"
         "\n"
         "Exit status: 0 on success, 1 on a failed run (I/O error, data mismatch,\n"
         "unusable state directory or target list), 2 on a bad command line.\n";
}

std::string DefaultStateDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base == "/") base.clear();
  // One directory per user, so that two users' runs never share (or fight
  // over) one; PreparePrivateDir() checks that it is really this user's.
  return base + "/zrperf-demo-" + std::to_string(::geteuid());
}

}  // namespace zrdemo
