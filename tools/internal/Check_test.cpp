// Check: objectives on the window merged exactly or in each interval, held or breached, as text
// or JSON, on the command lines of the command and the same logs, read and run in process.

#include "Check.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include <zrperf/tests/support/ReportLogs.h>

namespace {

using namespace zrreport_test;

// '<' and '<=' differ at the measured value; --each-interval catches the slow interval of a window
// whose mean holds; the worst interval's figures and the count of those breached; an objective
// (or a --counter) that matches no counter, and records, are faults.
TEST(ReportCheck, ObjectivesHoldOrAreBreachedInTheWindowOrInEachInterval) {
  TempDir dir("report");
  WriteCommandLogs(dir);
  const std::string c = dir.Path("c.hlog");
  const Unit check = [](const zrreport::Invocation& in, std::string* text, bool* held,
                        std::string* error) {
    zrreport::Dataset data;
    return zrreport::ReadInputs(in.inputs, &data, error) &&
           zrreport::Check(data, in.options, in.objectives, text, held, error);
  };
  const std::tuple<std::vector<std::string>, int, std::vector<std::string>> cases[] = {
      {{"check", "--slo", "op:mean < 6ms", c},
       0,
       {"held     op                               mean"}},
      {{"check", "--slo", "op:mean < 6ms", "--each-interval", c},
       3,
       {"breached in 1 of 2 intervals"}},
      {{"check", "--slo", "op:max <= 9ms", "--each-interval", c},
       0,
       {"breached in 0 of 2 intervals"}},
      {{"check", "--slo", "op:max < 9ms", c}, 3, {"BREACHED op"}},
      {{"check", "--slo", "op:max < 9000us", "--slo", "*:p50 < 1h", c}, 3, {"1 of 3 breached"}},
      {{"check", "--slo", "*:p50 < 1h", "--slo", "i*:max<=1us", c}, 0, {"3 of 3 held"}},
      {{"check", "--slo", "i*:max<1us", "-o", dir.Path("out.csv"), c},
       3,
       {"max < 1us            1.00us"}},
      {{"check", "--json", "--each-interval", "--slo", "op:p99.9 <= 1ms", c},
       3,
       {"\"stat\": \"p99.9\", \"op\": \"<=\", \"limit_us\": 1000.000, \"held\": false, "
        "\"value_us\": 9000.0, \"samples\": 200, \"intervals\": 2, \"breached_intervals\": 1"}},
      {{"check", "--counter", "idle", "--slo", "op:max < 1h", c},
       1,
       {"matches no counter (counters: idle)"}},
      {{"check", "--slo", "nosuch:max < 1h", c}, 1, {"'nosuch:max < 1h' matches no counter"}},
      {{"check", "--slo", "op:max < 1h", dir.Path("r.log")}, 1, {"cannot be merged"}}};
  for (const auto& [args, status, says] : cases) ExpectRow(args, check, status, says);
}

}  // namespace
