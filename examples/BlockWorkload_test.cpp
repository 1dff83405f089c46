#include "BlockWorkload.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/FileFaults.h>
#include <zrperf/tests/support/TempDir.h>

namespace zrdemo {
namespace {

using zrperf_test::FileFault;

// What one pass of the walk below saw.
struct Outcome {
  bool opened = false, ran = false;
  std::string openError, firstFailure, blockInFile;
  unsigned long long failures = 0;
  std::vector<zrperf_test::Record> records;  // at the end, after the data file's removal
  bool fileLeft = false;
};

// The data files' creation, one round of one worker's block and the
// removal, with each fault at each file call in turn: a failure names its
// cause (Open's error; or, as a worker's, one level -1 record, counted, and
// the first failure's text) and the round stops there; an interruption or a
// short transfer is carried on and fails nothing; after a round that
// succeeded the file holds the block; a data file is removed or reported.
TEST(BlockWorkload, OneRoundUnderEveryFileFaultFailsWithItsCauseOrLandsWhole) {
  zrperf_test::TempDir dir("zrdemo-work");
  const std::string data = dir.Path("data");
  const std::string file = data + "/0-disk_0.dat";  // the target's position and name
  zrperf_test::FaultyFiles files(dir.path());
  for (const FileFault fault : zrperf_test::kReturnedFaults) {
    const bool mustSucceed = fault == FileFault::kInterrupt || fault == FileFault::kShortWrite;
    const char* cause = fault == FileFault::kNoSpace ? "No space left on device"
                        : fault == FileFault::kIo    ? "Input/output error"
                                                     : "File too large";
    Outcome out;
    const auto run = [&] {
      out = Outcome();
      zrperf_test::ScopedSink sink;
      {
        TargetCounters counters;  // no counters: nothing measured
        counters.name = "disk/0";
        BlockWorkload work({counters}, data);
        out.opened = work.Open(&out.openError);
        BlockWorkload::WorkerBlocks blocks(1);
        out.ran = out.opened && work.RunRound(blocks, 3);
        if (out.ran) {
          const std::string bytes = zrperf_test::ReadFile(file);
          const std::size_t at = static_cast<std::size_t>(BlockWorkload::BlockOffset(1, 3));
          out.blockInFile = bytes.size() >= at + kBlockSize ? bytes.substr(at, kBlockSize) : "";
          EXPECT_EQ(std::memcmp(out.blockInFile.data(), blocks.block.data(), kBlockSize), 0);
        }
        out.failures = work.Failures();
        out.firstFailure = work.FirstFailure();
      }
      out.records = sink->Records();
      out.fileLeft = std::filesystem::exists(file);
      return out.ran && !out.fileLeft;
    };
    const long walked = zrperf_test::WalkFaults(files, fault, run, [&](long n, bool ok) {
      SCOPED_TRACE(std::string(FaultName(fault)) + " at call " + std::to_string(n));
      EXPECT_TRUE(ok || !mustSucceed);
      if (!out.opened) {
        EXPECT_NE(out.openError.find(cause), std::string::npos) << out.openError;
      } else if (!out.ran) {
        EXPECT_NE(out.firstFailure.find(cause), std::string::npos) << out.firstFailure;
        EXPECT_EQ(out.firstFailure.rfind("disk/0: ", 0), 0u) << out.firstFailure;
      } else {
        EXPECT_EQ(out.blockInFile.size(), kBlockSize);
      }
      // One failure counted and one record for a failed round, one record
      // more for a failed removal (at the end, when the count was read).
      const bool removalFailed = out.fileLeft && out.opened;
      EXPECT_EQ(out.failures, out.opened && !out.ran ? 1u : 0u);
      ASSERT_EQ(out.records.size(), out.failures + (removalFailed ? 1u : 0u));
      for (const zrperf_test::Record& r : out.records) {
        EXPECT_EQ(r.level, -1);
        EXPECT_NE(r.message.find(cause), std::string::npos) << r.message;
        EXPECT_EQ(r.message.rfind("worker stopped: ", 0), 0u) << r.message;
      }
      if (removalFailed) {
        EXPECT_NE(out.records.back().message.find("cannot remove " + file), std::string::npos);
      }
      std::filesystem::remove(file);
    });
    // Removing what is left (none at first), creating, writing, reading,
    // closing, removing.
    EXPECT_EQ(walked, 6) << FaultName(fault);
  }
}

}  // namespace
}  // namespace zrdemo
