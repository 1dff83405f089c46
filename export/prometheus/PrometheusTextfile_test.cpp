#include "PrometheusTextfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <boost/make_shared.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/FaultCause.h>
#include <zrperf/tests/support/FileFaults.h>
#include <zrperf/tests/support/RunTogether.h>
#include <zrperf/tests/support/TempDir.h>
#include <zrperf/tests/support/UserModeEmulator.h>

namespace {

std::size_t FilesIn(const std::string& dir) {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) n += entry.is_regular_file();
  return n;
}

// The paths of the temporary files of `name` in `dir` (".<name>.*"), sorted.
std::vector<std::string> TempsOf(const std::string& dir, const std::string& name) {
  std::vector<std::string> temps;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind("." + name + ".", 0) == 0)
      temps.push_back(entry.path().string());
  }
  std::sort(temps.begin(), temps.end());
  return temps;
}

// A directory, counters holding "disk0.read", and a writer of them to
// zrperf.prom there, which has written it once.
class PrometheusTextfile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(textfile.WriteNow()); }

  zrperf_test::TempDir dir{"zrperf-textfile"};
  const boost::shared_ptr<CPerfCounters> counters = boost::make_shared<CPerfCounters>();
  const boost::shared_ptr<CTimeCounter> counter = counters->GetCounter("disk0.read");
  const std::string path = dir.Path("zrperf.prom");
  CPrometheusTextfile textfile{path, counters};
};

TEST_F(PrometheusTextfile, ReadersSeeAWholeFileAndEachFailureIsReportedOnceStoppingNothing) {
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

// What is at the target when it is no regular file is left as it is: the
// write is refused with one record saying what is there, without opening it
// (a FIFO would block) and without replacing it by a regular file. The
// devices are made in the test's directory: a regression must not replace
// the system's own.
TEST_F(PrometheusTextfile, ANonRegularTargetIsRefusedWithoutBlockingAndNeverReplaced) {
  const std::string real = dir.Write("real.prom", "old\n");
  ASSERT_EQ(mkfifo(dir.Path("fifo.prom").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(dir.Path("dir.prom").c_str(), 0700), 0);
  ASSERT_EQ(symlink(real.c_str(), dir.Path("link.prom").c_str()), 0);
  ASSERT_EQ(symlink(dir.Path("fifo.prom").c_str(), dir.Path("fifo-link.prom").c_str()), 0);
  ASSERT_EQ(symlink(dir.Path("absent.prom").c_str(), dir.Path("dangling.prom").c_str()), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, dir.Path("socket.prom").c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  std::vector<std::pair<std::string, std::string>> cases = {
      {dir.Path("fifo.prom"), "a FIFO"},
      {dir.Path("dir.prom"), "a directory"},
      {dir.Path("socket.prom"), "a socket"},
      {dir.Path("link.prom"), "a symbolic link"},
      {dir.Path("fifo-link.prom"), "a symbolic link"},
      {dir.Path("dangling.prom"), "a symbolic link"},
  };
  // /dev/null and /dev/full, made here when the test may (as root), else the
  // system's (which a user cannot replace).
  for (const auto& [name, minor] : {std::pair<std::string, int>{"null", 3}, {"full", 7}}) {
    const std::string node = dir.Path(name + ".prom");
    const bool made = mknod(node.c_str(), S_IFCHR | 0666, makedev(1, minor)) == 0;
    ASSERT_TRUE(made || getuid() != 0) << std::strerror(errno);
    cases.emplace_back(made ? node : "/dev/" + name, "a character device");
  }
  zrperf_test::ScopedSink sink;
  for (const auto& [target, kind] : cases) {
    struct stat before {
    }, after{};
    ASSERT_EQ(lstat(target.c_str(), &before), 0) << target;
    sink->Clear();
    CPrometheusTextfile writer(target, counters);
    auto write = std::async(std::launch::async, [&writer] { return writer.WriteNow(); });
    if (write.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << target << ": the write blocks";
      close(open(dir.Path("fifo.prom").c_str(), O_RDONLY | O_NONBLOCK));  // lets it go
    }
    EXPECT_FALSE(write.get()) << target;
    const std::vector<zrperf_test::Record> records = sink->Records();
    ASSERT_EQ(records.size(), 1u) << target;
    EXPECT_EQ(records[0].level, -1);
    std::string expected = "metrics textfile: cannot write '" + target;
    expected += "': it is " + kind + ", which is never replaced";
    EXPECT_EQ(records[0].message, expected);
    ASSERT_EQ(lstat(target.c_str(), &after), 0) << target;
    EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT) << target;
    EXPECT_EQ(after.st_ino, before.st_ino) << target;
  }
  EXPECT_EQ(zrperf_test::ReadFile(real), "old\n");
  EXPECT_FALSE(std::filesystem::exists(dir.Path("absent.prom")));
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();  // no temporary left
  close(sock);
}

// Every file call of a write failing in turn, with each fault: the target is
// the old file or the new one, byte for byte; a failure is reported once,
// with its cause; no temporary file is left; the next write recovers. A
// retried interruption and a short write lose nothing.
TEST_F(PrometheusTextfile, UnderEveryFaultAWriteLeavesTheOldFileOrTheNewReportsOnceAndRecovers) {
  zrperf_test::ScopedSink sink;
  zrperf_test::FaultyFiles files(dir.path());
  using zrperf_test::FileFault;
  for (const FileFault fault : zrperf_test::kReturnedFaults) {
    std::string old, fresh;
    const long walked = zrperf_test::WalkFaults(
        files, fault,
        [&] {
          counter->AddSample(CTimeInterval(7));  // the new file differs from the old one
          old = zrperf_test::ReadFile(path);
          fresh = CPrometheusCollector(counters).SerializeText();
          sink->Clear();
          return textfile.WriteNow();
        },
        [&](long n, bool ok) {
          const std::string at = std::string(FaultName(fault)) + " at call " + std::to_string(n);
          EXPECT_EQ(zrperf_test::ReadFile(path), ok ? fresh : old) << at;
          const bool lossless = fault == FileFault::kInterrupt || fault == FileFault::kShortWrite;
          EXPECT_TRUE(ok || !lossless) << at;
          const std::vector<zrperf_test::Record> records = sink->Records();
          ASSERT_EQ(records.size(), ok ? 0u : 1u) << at;
          if (!ok) {
            EXPECT_EQ(records[0].level, -1) << at;
            EXPECT_EQ(
                records[0].message.rfind("metrics textfile: cannot write '" + path + "': ", 0), 0u)
                << records[0].message;
            EXPECT_NE(records[0].message.find(zrperf_test::FaultCause(fault)), std::string::npos)
                << records[0].message;
          }
          EXPECT_EQ(TempsOf(dir.path(), "zrperf.prom"), std::vector<std::string>()) << at;
          EXPECT_TRUE(textfile.WriteNow()) << at;
          EXPECT_EQ(zrperf_test::ReadFile(path), fresh) << at;
        });
    // open, write, fsync, close, rename
    EXPECT_EQ(walked, 5) << FaultName(fault);
  }
}

// A writer killed at each file call of a write leaves the old file whole; the
// temporary file it leaves (from its open on) is removed by the next write
// of another process, which knows it by its name (the target's, the dead
// writer's pid) and its owner.
TEST_F(PrometheusTextfile,
       AWriterKilledAtEveryCallLeavesTheOldFileAndTheNextWriteSweepsItsTemporary) {
  if (zrperf_test::UnderUserModeEmulator()) GTEST_SKIP() << "qemu-user: fork";
  // Left alone: a live process's temporary (this one's, of another writer),
  // and what a dead one's name is given to that is not a regular file of
  // this user.
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
  const std::string lead = dir.Path(".zrperf.prom.");
  std::vector<std::string> kept = {lead + std::to_string(getpid()) + ".abcdefgh",
                                   lead + std::to_string(dead) + ".linklink",
                                   lead + std::to_string(dead) + ".notmine0"};
  zrperf_test::WriteFile(kept[0], "");
  ASSERT_EQ(symlink(path.c_str(), kept[1].c_str()), 0);
  zrperf_test::WriteFile(kept[2], "");
  if (getuid() != 0 || chown(kept[2].c_str(), 12345, 12345) != 0) kept.pop_back();
  std::sort(kept.begin(), kept.end());
  counter->AddSample(CTimeInterval(7));
  std::string old = zrperf_test::ReadFile(path);
  const long walked = zrperf_test::WalkKills(
      dir.path(), [&] { textfile.WriteNow(); },
      [&](long n) {
        EXPECT_EQ(zrperf_test::ReadFile(path), old) << "killed at call " << n;
        EXPECT_EQ(TempsOf(dir.path(), "zrperf.prom").size(), kept.size() + (n >= 2)) << n;
        ASSERT_TRUE(textfile.WriteNow());
        EXPECT_EQ(zrperf_test::ReadFile(path), CPrometheusCollector(counters).SerializeText());
        EXPECT_EQ(TempsOf(dir.path(), "zrperf.prom"), kept) << n;
        counter->AddSample(CTimeInterval(7));
        old = zrperf_test::ReadFile(path);
      });
  EXPECT_EQ(walked, 5);  // open, write, fsync, close, rename
}

// fork() while the writer's thread and another thread are writing the file:
// the child's writes and the passes that write it never wait for them, and
// dropping the started writer in the child forgets the parent's thread. Each
// child is bounded by alarm(): a hang there is a failure here.
TEST_F(PrometheusTextfile, ForkedChildWritesWithoutWaitingForTheParentsWrites) {
#if defined(__SANITIZE_ADDRESS__)
  // As in PerfCntLogger_fork_test: GCC 12's AddressSanitizer allocator is not
  // fork-safe while other threads allocate; the other builds run this test.
  GTEST_SKIP() << "the AddressSanitizer runtime of this compiler is not fork-safe with threads";
#endif
  if (zrperf_test::UnderUserModeEmulator())
    GTEST_SKIP() << "qemu-user cannot fork a multi-threaded guest";
  counter->AddSample(CTimeInterval(100));
  auto started = std::make_unique<CPrometheusTextfile>(path, counters);
  started->Start(std::chrono::milliseconds(1));
  PerfCntLogger logger;
  started->WriteAfterEachPass(&logger);
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    while (writing.load()) started->WriteNow();
  });
  for (int round = 0; round < 40; ++round) {
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(10);
      const bool written = started->WriteNow();
      logger.LogPerfStats();
      started.reset();  // joins no thread: the parent's is not here
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
