#include "PrometheusTextfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <boost/make_shared.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/RunTogether.h>
#include <zrperf/tests/support/TempDir.h>
#include <zrperf/tests/support/UserModeEmulator.h>

namespace {

std::size_t FilesIn(const std::string& dir) {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) n += entry.is_regular_file();
  return n;
}

TEST(PrometheusTextfile, ReadersSeeAWholeFileAndEachFailureIsReportedOnceStoppingNothing) {
  zrperf_test::TempDir dir("zrperf-textfile");
  auto counters = boost::make_shared<CPerfCounters>();
  boost::shared_ptr<CTimeCounter> counter = counters->GetCounter("disk0.read");
  const std::string path = dir.Path("zrperf.prom");
  CPrometheusTextfile textfile(path, counters);
  ASSERT_TRUE(textfile.WriteNow());
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);  // node_exporter reads it as another user

  // One thread records and rewrites the file, another reads it meanwhile:
  // every read is a whole exposition (it ends with the last family's line).
  std::atomic<bool> writing{true};
  zrperf_test::RunTogether(2, [&](int i) {
    if (i == 0) {
      for (int n = 0; n < 200; ++n) {
        counter->AddSample(CTimeInterval(n));
        ASSERT_TRUE(textfile.WriteNow());
      }
      writing = false;
      return;
    }
    while (writing.load()) {
      const std::string text = zrperf_test::ReadFile(path);
      ASSERT_EQ(text.rfind("# HELP zrperf_elapsed_seconds ", 0), 0u) << text;
      ASSERT_NE(text.find("zrperf_build_info{version=\""), std::string::npos) << text;
      ASSERT_EQ(text.back(), '\n');
    }
  });
  const std::string text = zrperf_test::ReadFile(path);
  EXPECT_NE(text.find("zrperf_elapsed_seconds_count{counter=\"disk0.read\"} 200\n"),
            std::string::npos);
  EXPECT_EQ(FilesIn(dir.path()), 1u);  // no temporary file left

  // Each failed attempt is reported once and stops neither thread nor pass.
  zrperf_test::ScopedSink sink;
  const std::string missing = dir.Path("missing/zrperf.prom");
  auto failing = std::make_unique<CPrometheusTextfile>(missing, counters);
  EXPECT_FALSE(failing->WriteNow());
  EXPECT_FALSE(failing->WriteNow());
  std::vector<zrperf_test::Record> records = sink->Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, -1);
  EXPECT_EQ(records[0].message.rfind("metrics textfile: cannot write '" + missing + "': ", 0), 0u)
      << records[0].message;

  // A hostile path is written escaped: the record stays one line.
  sink->Clear();
  const std::string forged = dir.Path("missing/x\n2026-01-01 00:00:00.000 [error] forged.prom");
  EXPECT_FALSE(CPrometheusTextfile(forged, counters).WriteNow());
  records = sink->Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message.find('\n'), std::string::npos) << records[0].message;
  EXPECT_NE(records[0].message.find("x\\n2026-01-01"), std::string::npos) << records[0].message;

  // The thread goes on after failures; once the directory appears, its
  // next write succeeds.
  sink->Clear();
  failing->Start(std::chrono::milliseconds(1));
  while (sink->Records().size() < 3) std::this_thread::yield();
  std::filesystem::create_directory(dir.Path("missing"));
  while (!std::filesystem::exists(missing)) std::this_thread::yield();
  failing->Stop();
  EXPECT_EQ(FilesIn(dir.Path("missing")), 1u);

  // After a pass: a failing write leaves the other callbacks running.
  std::filesystem::remove_all(dir.Path("missing"));
  PerfCntLogger logger;
  failing->WriteAfterEachPass(&logger);
  int later = 0;
  logger.AddStatsCallback([&later] { ++later; });
  sink->Clear();
  logger.LogPerfStats();
  EXPECT_EQ(later, 1);
  EXPECT_EQ(sink->Records().size(), 1u);

  // Once the writer is gone, its callback does nothing.
  std::filesystem::create_directory(dir.Path("missing"));
  sink->Clear();
  failing.reset();
  logger.LogPerfStats();
  EXPECT_EQ(later, 2);
  EXPECT_FALSE(std::filesystem::exists(missing));
}

// fork() while the writer's thread and another thread are writing the file:
// the child's writes and the passes that write it never wait for them, and
// dropping the started writer in the child forgets the parent's thread. Each
// child is bounded by alarm(): a hang there is a failure here.
TEST(PrometheusTextfile, ForkedChildWritesWithoutWaitingForTheParentsWrites) {
#if defined(__SANITIZE_ADDRESS__)
  // As in PerfCntLogger_fork_test: GCC 12's AddressSanitizer allocator is not
  // fork-safe while other threads allocate; the other builds run this test.
  GTEST_SKIP() << "the AddressSanitizer runtime of this compiler is not fork-safe with threads";
#endif
  if (zrperf_test::UnderUserModeEmulator())
    GTEST_SKIP() << "qemu-user cannot fork a multi-threaded guest";
  zrperf_test::TempDir dir("zrperf-textfile-fork");
  auto counters = boost::make_shared<CPerfCounters>();
  counters->GetCounter("disk0.read")->AddSample(CTimeInterval(100));
  auto textfile = std::make_unique<CPrometheusTextfile>(dir.Path("zrperf.prom"), counters);
  textfile->Start(std::chrono::milliseconds(1));
  PerfCntLogger logger;
  textfile->WriteAfterEachPass(&logger);
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    while (writing.load()) textfile->WriteNow();
  });
  for (int round = 0; round < 40; ++round) {
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(10);
      const bool written = textfile->WriteNow();
      logger.LogPerfStats();
      textfile.reset();  // joins no thread: the parent's is not here
      _exit(written ? 0 : 1);
    }
    int status = 0;
    const bool ok =
        pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    EXPECT_TRUE(ok) << "round " << round << ": child status " << status;
    if (!ok) break;  // one hang is enough
  }
  writing.store(false);
  writer.join();
}

}  // namespace
