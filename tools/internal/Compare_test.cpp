// Compare: two runs side by side with their ratios, the counters of one run listed, as a table or
// JSON, and the overlay of their spectra, on the command lines of the command and the same logs,
// read and run in process.

#include "Compare.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include <zrperf/tests/support/ReportLogs.h>

namespace {

using namespace zrreport_test;

// Each window counts back from its own run's end; a counter selected in one run only has no
// interval in the other; a glob must match a counter of either run; a picture needs a counter in
// both, and one that is not drawn leaves no file.
TEST(ReportCompare, TwoRunsSideBySideWithRatiosAndTheirSpectraOverlaid) {
  TempDir dir("report");
  WriteCommandLogs(dir);
  const std::string oldRun = dir.Path("old.hlog"), newRun = dir.Path("new.hlog");
  const Unit compare = [](const zrreport::Invocation& in, std::string* text, bool*,
                          std::string* error) {
    const std::string& out = in.output;
    const bool picture = out.size() > 4 && (out.compare(out.size() - 4, 4, ".png") == 0 ||
                                            out.compare(out.size() - 4, 4, ".svg") == 0);
    zrreport::Dataset oldData, newData;
    return zrreport::ReadInputs({in.inputs[0]}, &oldData, error) &&
           zrreport::ReadInputs({in.inputs[1]}, &newData, error) &&
           zrreport::Compare(oldData, newData, in.options, picture ? out : "", text, error);
  };
  const std::tuple<std::vector<std::string>, int, std::vector<std::string>> cases[] = {
      {{"compare", oldRun, newRun},
       0,
       {"both                             old               300       2.50   100.00us",
        "                                 new/old        1.000x     1.000x     2.000x     2.000x",
        "only in the old run: gone\nonly in the new run: fresh\n"}},
      {{"compare", "--json", "--percentiles", "99.99", oldRun, newRun},
       0,
       {"\"p99_99_us\": 200.0, \"max_us\": 200.0}, \"ratio\": {\"samples\": 1.0000, \"rate\": "
        "1.0000, \"mean\": 2.0000, \"p99_99\": 2.0000, \"max\": 2.0000}}",
        "], \"only_old\": [\"gone\"], \"only_new\": [\"fresh\"]}"}},
      {{"compare", "--counter", "b*", "--from", "-60s", oldRun, newRun},
       0,
       {" 1 intervals\nnew: window", "new               100"}},
      {{"compare", "--counter", "fresh", oldRun, newRun},
       1,
       {"old run: no interval of the selected counters"}},
      {{"compare", "--counter", "gone", oldRun, newRun},
       1,
       {"new run: no interval of the selected counters"}},
      {{"compare", "--counter", "nosuch", oldRun, newRun},
       1,
       {"old run: no counter matches 'nosuch' (counters: both, fresh, gone)"}},
      {{"compare", "-o", dir.Path("c.svg"), oldRun, newRun}, 0, {}},
      {{"compare", "--counter", "gone", "--counter", "fresh", "-o", dir.Path("g.svg"), oldRun,
        newRun},
       1,
       {"0 counters in both"}}};
  for (const auto& [args, status, says] : cases) ExpectRow(args, compare, status, says);
  const std::string svg = ReadFile(dir.Path("c.svg"));
  for (const char* key : {"<text>both old</text>", "<text>both new</text>", "the old run dashed"})
    EXPECT_TRUE(Has(svg, key));
  EXPECT_FALSE(std::filesystem::exists(dir.Path("g.svg")));
}

}  // namespace
