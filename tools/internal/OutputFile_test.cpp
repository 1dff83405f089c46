// The report's output files: what is found at the target's name decides
// (replaced whole, a character device written in place, anything else left
// alone), and under every fault of the file seam or a kill the target is the
// old file or the new one, whole.

#include <zrperf/tools/internal/OutputFile.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include <zrperf/counters/TimeCounter.h>
#include <zrperf/perf/internal/HistogramLogFormat.h>
#include <zrperf/tests/support/FileFaults.h>
#include <zrperf/tests/support/TempDir.h>
#include <zrperf/tools/internal/ReportCommands.h>

namespace {

using zrperf_test::FaultyFiles;
using zrperf_test::FileFault;
using zrperf_test::ReadFile;
using zrperf_test::TempDir;

std::size_t Occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::size_t Entries(const std::string& dir) {
  std::size_t n = 0;
  for (auto it = std::filesystem::directory_iterator(dir); it != decltype(it)(); ++it) ++n;
  return n;
}

mode_t KindAt(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

// A report's CSV of `passes` intervals of one counter, as the tool writes it.
std::string CsvReport(int passes) {
  std::string log = zrperf::histlog::HeaderText("h", 1, 1765000000);
  CTimeCounter counter;
  for (int pass = 0; pass < passes; ++pass) {
    counter.AddSample(CTimeInterval(1000 + pass));
    zrperf::histlog::AppendLine(log, 1765000000.0 + pass, 1, "op", counter.GetSnapshot());
  }
  zrreport::Dataset data;
  std::string text, error;
  EXPECT_TRUE(zrreport::ReadText("x.hlog", log, &data, &error)) << error;
  EXPECT_TRUE(zrreport::Csv(data, {}, &text, &error)) << error;
  return text;
}

TEST(OutputFile, NonRegularTargetsAreWrittenInPlaceOrRefusedAndNeverReplaced) {
  TempDir dir("output");
  const std::string path = dir.path() + "/";
  if (mknod((path + "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "no device nodes can be made here: " << std::strerror(errno);
  }
  ASSERT_EQ(mknod((path + "full").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
  ASSERT_EQ(mknod((path + "block").c_str(), S_IFBLK | 0600, makedev(7, 0)), 0);
  ASSERT_EQ(mkfifo((path + "fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(path + "dir");
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, (path + "sock").c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  for (const char* to : {"null", "fifo", "dir"})
    std::filesystem::create_symlink(path + to, path + "link-" + to);
  // A reader holds the FIFO open, so that an output that opened it would
  // neither wait nor go unseen.
  const int reader = open((path + "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const std::string text = CsvReport(3);
  // The name, and what the output says: "" when written.
  const std::pair<const char*, const char*> cases[] = {
      {"null", ""},
      {"full", "': write: No space left on device"},
      {"block", "': it is a block device (only a regular file is replaced"},
      {"fifo", "': it is a FIFO (only"},
      {"dir", "': it is a directory (only"},
      {"sock", "': it is a socket (only"},
      {"link-null", "': it is a link to a character device (a link is replaced, never followed"},
      {"link-fifo", "': it is a link to a FIFO"},
      {"link-dir", "': it is a link to a directory"},
  };
  for (const auto& [name, says] : cases) {
    const std::string target = path + name;
    const mode_t kind = KindAt(target);
    std::string error;
    const bool ok = zrreport::WriteOutput(target, text, &error);
    EXPECT_EQ(ok, *says == '\0') << name << ": " << error;
    EXPECT_TRUE(ok || error.rfind("cannot write '" + target + says, 0) == 0) << error;
    EXPECT_EQ(KindAt(target), kind) << name;
  }
  char byte;
  EXPECT_EQ(read(reader, &byte, 1), 0);  // nothing in the FIFO, and no writer holds it
  close(reader);
  close(sock);
  EXPECT_EQ(Entries(dir.path()), 9u);  // no temporary left
  // A link to nothing, like a link to a regular file, is replaced.
  std::filesystem::create_symlink(path + "none", path + "dangling");
  std::string error;
  ASSERT_TRUE(zrreport::WriteOutput(path + "dangling", text, &error)) << error;
  EXPECT_EQ(KindAt(path + "dangling"), static_cast<mode_t>(S_IFREG));
  EXPECT_FALSE(std::filesystem::exists(path + "none"));
}

// Each returned fault at every call of an output's Create, Write and Commit:
// a retried interruption and a short write lose nothing; any other fault
// leaves the old file whole, removes the temporary and names its cause once;
// and the next write succeeds. A device written in place reports its faults
// the same way. A kill at any call leaves the old file or the new one.
TEST(OutputFile, UnderEveryFaultAndKillTheTargetIsTheOldFileOrTheNewOneWhole) {
  TempDir dir("output");
  const std::string target = dir.Path("report.csv"), device = dir.Path("null");
  const bool devices = mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  const std::string old = CsvReport(2), fresh = CsvReport(400);
  ASSERT_GT(fresh.size(), 4096u);
  zrperf_test::WriteFile(target, old);
  FaultyFiles files(dir.path());
  for (const FileFault fault : zrperf_test::kReturnedFaults) {
    const bool lossless = fault == FileFault::kInterrupt || fault == FileFault::kShortWrite;
    const int errors[] = {ENOSPC, EIO, EINTR, EFBIG, 0};
    const std::string cause = std::strerror(errors[static_cast<int>(fault)]);
    for (const std::string& path : {target, device}) {
      if (path == device && !devices) continue;
      const long walked = zrperf_test::WalkFaults(
          files, fault,
          [&] {
            std::string error;
            const bool ok = zrreport::WriteOutput(path, fresh, &error);
            EXPECT_TRUE(ok || Occurrences(error, cause) == 1) << error;
            return ok;
          },
          [&](long n, bool ok) {
            const std::string at = std::string(FaultName(fault)) + " at call " + std::to_string(n);
            EXPECT_EQ(ok, lossless) << at;
            EXPECT_EQ(Entries(dir.path()), devices ? 2u : 1u) << at;
            EXPECT_TRUE(path == device || ReadFile(target) == (ok ? fresh : old)) << at;
            EXPECT_TRUE(path == target || KindAt(device) == S_IFCHR) << at;
            std::string error;
            EXPECT_TRUE(zrreport::WriteOutput(path, fresh, &error)) << at << ": " << error;
            EXPECT_TRUE(path == device || ReadFile(target) == fresh) << at;
            zrperf_test::WriteFile(target, old);
          });
      // The temporary's open, write, fsync, close and rename; the device's
      // open, write and close.
      EXPECT_EQ(walked, path == target ? 5 : 3) << FaultName(fault);
      std::printf("%s: %s walked %ld calls\n", path == target ? "file" : "device", FaultName(fault),
                  walked);
    }
  }
  const long killed = zrperf_test::WalkKills(
      dir.path(),
      [&] {
        std::string error;
        zrreport::WriteOutput(target, fresh, &error);
      },
      [&](long n) {
        const std::string got = ReadFile(target);
        EXPECT_TRUE(got == old || got == fresh) << "killed at call " << n << ": " << got.size();
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
          if (entry.path().filename().string()[0] == '.') std::filesystem::remove(entry.path());
        std::string error;
        EXPECT_TRUE(zrreport::WriteOutput(target, old, &error)) << error;
      });
  EXPECT_EQ(killed, 5);
  EXPECT_EQ(ReadFile(target), fresh);
  std::printf("kills walked %ld calls\n", killed);
}

}  // namespace
