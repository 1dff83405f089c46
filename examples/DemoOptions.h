// DemoOptions: the command line of zrperf-demo.
//
//   DemoOptions options;
//   std::string error;
//   if (!ParseDemoOptions(argc, argv, &options, &error)) { /* print error, exit 2 */ }
//
// Options take their value as the next argument or after '=' ("--threads 8",
// "--threads=8"). Numbers are decimal and must be positive and within the
// limits below (--linger may also be 0); paths and addresses must not be
// empty. A later option overrides an earlier
// one, except that --log-file and --syslog exclude each other.
//
// Thread-safety: plain functions on caller-owned data; DefaultStateDir() reads
// the environment, so it must not race with setenv().

#ifndef ZRPERF_EXAMPLES_DEMOOPTIONS_H_
#define ZRPERF_EXAMPLES_DEMOOPTIONS_H_

#include <string>

namespace zrdemo {

constexpr int kMaxThreads = 256;
constexpr int kMaxSeconds = 86400;
// --metrics-native-max-buckets: far above the 581 buckets a counter can have.
constexpr int kMaxNativeBuckets = 100000;

struct DemoOptions {
  int threads = 4;
  int seconds = 5;
  std::string targetsPath;  // empty: the sample list shipped with the demo
  std::string stateDir;     // empty: DefaultStateDir()
  std::string logFile;      // empty: standard error (unless syslog)
  bool syslog = false;
  std::string metricsListen;        // --metrics-listen ADDR:PORT; empty: no endpoint
  std::string metricsTextfile;      // --metrics-textfile PATH; empty: no textfile
  int metricsNativeMaxBuckets = 0;  // --metrics-native-max-buckets N; 0: no budget
  std::string histogramLog;         // --histogram-log PATH; empty: no histogram log
  std::string otlpEndpoint;         // --otlp-endpoint URL; empty: no OTLP push
  int otlpPeriodSeconds = 0;        // --otlp-period S: between OTLP pushes; 0: not given
  int lingerSeconds = 0;            // --linger S: time kept after the workload ends
  bool help = false;                // --help seen: print DemoUsage() and exit 0
};

// Fills `options` from argv[1..argc-1]. On a bad command line returns false
// and sets `error` to one line naming the offending option; `options` may
// then be partly filled. Once --help is seen the rest is not examined.
bool ParseDemoOptions(int argc, const char* const* argv, DemoOptions* options, std::string* error);

// The --help text.
std::string DemoUsage(const std::string& program);

// $TMPDIR (or /tmp when unset or empty) + "/zrperf-demo-<effective uid>".
std::string DefaultStateDir();

}  // namespace zrdemo

#endif  // ZRPERF_EXAMPLES_DEMOOPTIONS_H_
