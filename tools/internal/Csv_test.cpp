// Csv: the rows of histogram logs and of the "Interval Stats" records of ordinary logs, with the
// chosen percentiles, on the command lines of the command and the same logs, read and run in
// process.

#include "Csv.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include <zrperf/tests/support/ReportLogs.h>

namespace {

using namespace zrreport_test;

// Records give rows (a name with ": " in it too), but only the percentiles a record has; a record
// of a corrupt length is a fault naming its line; a window with no interval is a fault.
TEST(ReportCsv, RowsOfLogsAndRecordsWithTheirFiguresOrAFault) {
  TempDir dir("report");
  WriteCommandLogs(dir);
  const std::string app = dir.Path("app.log");
  const Unit csv = [](const zrreport::Invocation& in, std::string* text, bool*,
                      std::string* error) {
    zrreport::Dataset data;
    return zrreport::ReadInputs(in.inputs, &data, error) &&
           zrreport::Csv(data, in.options, text, error);
  };
  const std::tuple<std::vector<std::string>, int, std::vector<std::string>> cases[] = {
      {{"csv", app},
       0,
       {",42,disk.read,200,200.000,1260.0,1210.0,1660.0,2300.0,4100.0,12500.0",
        ",x: y,3,1.500,0.7,"}},
      {{"csv", "--percentiles", "99.9,50", app},
       0,
       {",42,disk.read,200,200.000,1260.0,1210.0,4100.0,12500.0"}},
      {{"csv", "--percentiles", "90,99.99", app}, 1, {"p99.9 only, not p99.99"}},
      {{"csv", dir.Path("nan.log")}, 1, {"nan.log:2: corrupt"}},
      {{"csv", dir.Path("inf.log")}, 1, {"inf.log:2: corrupt"}},
      {{"csv", dir.Path("-1.00.log")}, 1, {"-1.00.log:2: corrupt"}},
      {{"csv", "-o", dir.Path("out.csv"), dir.Path("i.hlog")}, 0, {",op,3,"}},
      {{"csv", "--from", "-0s", dir.Path("i.hlog")}, 1, {"no interval of the selected counters"}}};
  for (const auto& [args, status, says] : cases) ExpectRow(args, csv, status, says);
}

}  // namespace
