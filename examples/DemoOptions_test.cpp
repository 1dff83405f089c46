#include "DemoOptions.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace zrdemo {
namespace {

// Parses `args` (without the program name); "--option value" is two words.
bool Parse(std::vector<std::string> args, DemoOptions* options, std::string* error) {
  std::vector<std::string> words;
  for (const std::string& a : args) {
    const std::size_t space = a.find(' ');
    words.push_back(a.substr(0, space));
    if (space != std::string::npos) words.push_back(a.substr(space + 1));
  }
  std::vector<const char*> argv{"zrperf-demo"};
  for (const std::string& w : words) argv.push_back(w.c_str());
  return ParseDemoOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(DemoOptions, DefaultsValuesSeparateOrAfterEqualsLaterOnesWinAndHelpEndsParsing) {
  DemoOptions options;
  std::string error;
  ASSERT_TRUE(Parse({}, &options, &error));
  EXPECT_EQ(options.threads, 4);
  EXPECT_EQ(options.seconds, 5);
  EXPECT_FALSE(options.syslog || options.help);
  EXPECT_EQ(options.lingerSeconds, 0);
  EXPECT_TRUE(options.metricsListen.empty() && options.metricsTextfile.empty());
  EXPECT_EQ(options.metricsNativeMaxBuckets, 0);

  ASSERT_TRUE(
      Parse({"--threads 8", "--seconds=12", "--targets /t/list.csv", "--state-dir=/s/d=x",
             "--log-file /l/demo.log", "--threads=007", "--metrics-listen 127.0.0.1:0",
             "--metrics-textfile=/m/z.prom", "--linger 3", "--linger=000",
             "--histogram-log /h/l.hlog", "--otlp-endpoint http://c:4318", "--otlp-period=15"},
            &options, &error))
      << error;
  EXPECT_EQ(options.threads, 7);
  EXPECT_EQ(options.seconds, 12);
  EXPECT_EQ(options.targetsPath, "/t/list.csv");
  EXPECT_EQ(options.stateDir, "/s/d=x");  // only the first '=' separates
  EXPECT_EQ(options.logFile, "/l/demo.log");
  EXPECT_EQ(options.metricsListen, "127.0.0.1:0");
  EXPECT_EQ(options.metricsTextfile, "/m/z.prom");
  EXPECT_EQ(options.histogramLog, "/h/l.hlog");
  EXPECT_EQ(options.lingerSeconds, 0);  // 0 is allowed for --linger only
  EXPECT_EQ(options.otlpEndpoint, "http://c:4318");
  EXPECT_EQ(options.otlpPeriodSeconds, 15);

  // The limits; --help ends parsing: what follows it is not looked at.
  DemoOptions limits;
  ASSERT_TRUE(Parse({"--threads 256", "--seconds 1", "--syslog", "--metrics-native-max-buckets 0",
                     "--metrics-native-max-buckets=100000", "--help", "--bogus"},
                    &limits, &error));
  EXPECT_EQ(limits.threads, 256);
  EXPECT_EQ(limits.seconds, 1);
  EXPECT_TRUE(limits.syslog && limits.help);
  EXPECT_EQ(limits.metricsNativeMaxBuckets, 100000);
}

TEST(DemoOptions, BadCommandLinesAreRejectedWithAMessageNamingTheOption) {
  // Counts out of range (also past 32 and 64 bits, which must not wrap into
  // range) or not plain decimal, with no message here: it names the option.
  const std::pair<std::vector<std::string>, std::string> bad[] = {
      {{"--threads 0"}, ""},
      {{"--threads 257"}, ""},
      {{"--threads +3"}, ""},
      {{"--threads=0x10"}, ""},
      {{"--seconds 000"}, ""},
      {{"--seconds 1.5"}, ""},
      {{"--seconds 4294967297"}, ""},
      {{"--seconds 99999999999999999999999"}, ""},
      {{"--linger 86401"}, ""},
      {{"--linger", ""}, ""},
      {{"--otlp-period 0"}, ""},
      {{"--metrics-native-max-buckets 100001"}, ""},
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--help=yes"}, "unknown option '--help=yes'"},
      {{"--seconds 2", "--state-dir"}, "--state-dir needs a value"},
      {{"--targets="}, "--targets needs a non-empty path"},
      {{"--metrics-textfile="}, "--metrics-textfile needs a non-empty path"},
      {{"--histogram-log="}, "--histogram-log needs a non-empty path"},
      {{"--metrics-listen="}, "--metrics-listen needs an address such as 127.0.0.1:9464"},
      {{"--otlp-endpoint="}, "--otlp-endpoint needs a URL such as http://127.0.0.1:4318"},
      {{"--log-file=/x.log", "--syslog"}, "--log-file and --syslog exclude each other"}};
  for (const auto& [args, message] : bad) {
    DemoOptions options;
    std::string error;
    EXPECT_FALSE(Parse(args, &options, &error)) << args[0];
    if (message.empty()) {
      EXPECT_NE(error.find(args[0].substr(0, 9)), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(error, message);
  }
}

TEST(DemoOptions, DefaultStateDirIsPerUserUnderTmpdir) {
  const char* saved = getenv("TMPDIR");
  const std::string restore = saved != nullptr ? saved : "";
  const std::string user = "/zrperf-demo-" + std::to_string(geteuid());
  const std::pair<const char*, std::string> cases[] = {
      {"/var/tmp//", "/var/tmp" + user}, {"/", user}, {"", "/tmp" + user}};
  for (const auto& [tmpdir, expected] : cases) {
    setenv("TMPDIR", tmpdir, 1);
    EXPECT_EQ(DefaultStateDir(), expected) << tmpdir;
  }
  unsetenv("TMPDIR");
  EXPECT_EQ(DefaultStateDir(), "/tmp" + user);
  if (saved != nullptr) setenv("TMPDIR", restore.c_str(), 1);
}

}  // namespace
}  // namespace zrdemo
