// OutputFile: what is at the target's name decides (written in place, replaced, or refused), the
// old file or the new one whole under every fault and kill of the file seam, a temporary that is
// always a new file, and two processes of the command racing to write one target.

#include "OutputFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include <zrperf/tests/support/FileFaults.h>
#include <zrperf/tests/support/ReportLogs.h>
#include <zrperf/tests/support/RunTogether.h>

namespace {

using namespace zrreport_test;
using zrperf_test::FaultyFiles;
using zrperf_test::FileFault;

// What is found at the target's name decides: a character device is written in place, a link to a
// regular file (or to nothing) is replaced, anything else is refused; and none of them is replaced.
TEST(OutputFile, NonRegularTargetsAreWrittenInPlaceOrRefusedAndNeverReplaced) {
  TempDir dir("output");
  const std::string path = dir.path() + "/";
  // Device nodes of the test's own; where it may make none, the system's, but only where /dev
  // cannot be written (so that no fault could replace them).
  const bool nodes = mknod((path + "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
                     mknod((path + "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0 &&
                     mknod((path + "block").c_str(), S_IFBLK | 0600, makedev(7, 0)) == 0;
  if (!nodes && access("/dev", W_OK) == 0) GTEST_SKIP() << "no device nodes can be made here";
  const std::string devices = nodes ? path : "/dev/";
  ASSERT_EQ(mkfifo((path + "fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(path + "dir");
  ASSERT_EQ(mknod((path + "sock").c_str(), S_IFSOCK | 0600, 0), 0);
  const std::string victim = dir.Write("victim", "precious");
  for (const std::string& to :
       {devices + "null", path + "fifo", path + "dir", victim, path + "none"})
    std::filesystem::create_symlink(to, path + "link-" + to.substr(to.rfind('/') + 1));
  // A reader holds the FIFO open: an output that opened it would neither wait nor go unseen.
  const int reader = open((path + "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  // The target, and what the output says: "" when written.
  const std::pair<std::string, const char*> cases[] = {
      {devices + "null", ""},
      {devices + "full", "': write: No space left on device"},
      {path + "block", "': it is a block device (only a regular file is replaced"},
      {path + "fifo", "': it is a FIFO (only"},
      {path + "dir", "': it is a directory (only"},
      {path + "sock", "': it is a socket (only"},
      {path + "link-null", "': it is a link to a character device (a link is replaced, never"},
      {path + "link-fifo", "': it is a link to a FIFO"},
      {path + "link-dir", "': it is a link to a directory"},
      {path + "link-victim", ""},
      {path + "link-none", ""},
  };
  for (const auto& [target, says] : cases) {
    if (!nodes && target == path + "block") continue;
    const mode_t kind = KindAt(target);
    std::string error;
    const bool ok = zrreport::WriteOutput(target, "report\n", &error);
    EXPECT_EQ(ok, *says == '\0') << target << ": " << error;
    EXPECT_TRUE(ok || error.rfind("cannot write '" + target + says, 0) == 0) << error;
    // A written link is a regular file now.
    EXPECT_EQ(KindAt(target), ok && kind == S_IFLNK ? S_IFREG : kind) << target;
  }
  char byte;
  EXPECT_EQ(read(reader, &byte, 1), 0);  // nothing in the FIFO, and no writer holds it
  close(reader);
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_FALSE(std::filesystem::exists(path + "none"));
  EXPECT_EQ(Entries(dir.path()), nodes ? 12 : 9);  // no temporary left
}

// Each returned fault at every call of an output's Create, Write and Commit: a retried interruption
// and a short write lose nothing; any other fault leaves the old file whole, removes the temporary
// and names its cause once; and the next write succeeds. A device written in place reports its
// faults the same way. A kill at any call leaves the old file or the new one.
TEST(OutputFile, UnderEveryFaultAndKillTheTargetIsTheOldFileOrTheNewOneWhole) {
  TempDir dir("output");
  const std::string target = dir.Path("report.csv"), device = dir.Path("null");
  const bool devices = mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  const std::string old = "old report\n", fresh(40000, 'n');
  WriteFile(target, old);
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
            EXPECT_EQ(Entries(dir.path()), devices ? 2 : 1) << at;
            EXPECT_TRUE(path == device || ReadFile(target) == (ok ? fresh : old)) << at;
            EXPECT_TRUE(path == target || KindAt(device) == S_IFCHR) << at;
            std::string error;
            EXPECT_TRUE(zrreport::WriteOutput(path, fresh, &error)) << at << ": " << error;
            EXPECT_TRUE(path == device || ReadFile(target) == fresh) << at;
            WriteFile(target, old);
          });
      // The temporary's open, write, fsync, close and rename; the device's open, write and close.
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

// The temporary is made new: a link or a file at its name is never opened (the next name is
// taken); an uncommitted one is removed; a target name near NAME_MAX still has one.
TEST(OutputFile, TheTemporaryIsANewFileAndAnUncommittedOneIsRemoved) {
  TempDir dir("output");
  const std::string victim = dir.Write("victim", "precious"), target = dir.Path("out.csv");
  std::filesystem::create_symlink(victim, dir.Path(".out.csv.a"));
  dir.Write(".out.csv.b", "squatter");
  int next = 0;
  const auto names = [&next] { return std::string(1, static_cast<char>('a' + next++)); };
  std::string error;
  {
    zrreport::OutputFile out(names);
    ASSERT_TRUE(out.Create(target, &error) && out.Write("new", &error) && out.Commit(&error))
        << error;
  }
  EXPECT_EQ(next, 3);
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_EQ(ReadFile(dir.Path(".out.csv.b")), "squatter");
  EXPECT_EQ(ReadFile(target), "new");
  {
    zrreport::OutputFile out(names);
    ASSERT_TRUE(out.Create(target, &error) && out.Write("lost", &error)) << error;
    EXPECT_TRUE(std::filesystem::exists(dir.Path(".out.csv.d")));
  }
  EXPECT_FALSE(std::filesystem::exists(dir.Path(".out.csv.d")));
  EXPECT_EQ(ReadFile(target), "new");
  const std::string longName = dir.Path(std::string(250, 'l'));
  ASSERT_TRUE(zrreport::WriteOutput(longName, "long", &error)) << error;
  EXPECT_EQ(ReadFile(longName), "long");
}

// Two processes writing one target at once leave one of the two outputs, whole, and no temporary.
TEST(OutputFile, RacingWritersLeaveOneOutputWholeAndNoTemporary) {
  TempDir dir("report");
  const std::string log = PlotDataLog(dir);
  const std::string out = dir.Path("race.csv");
  const std::string args[] = {"csv --counter disk.read -o " + out + " " + log,
                              "csv --json -o " + out + " " + log};
  std::string expected[2];
  for (int w = 0; w < 2; ++w) {
    ASSERT_EQ(Tool(dir, args[w]).status, 0);
    expected[w] = ReadFile(out);
  }
  ASSERT_NE(expected[0], expected[1]);
  for (int round = 0; round < 20; ++round) {
    std::filesystem::remove(out);
    int status[2] = {-1, -1};
    zrperf_test::RunTogether(2, [&](int w) {
      status[w] = std::system((std::string(ZRPERF_REPORT_BINARY) + " " + args[w]).c_str());
    });
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(status[1], 0);
    const std::string got = ReadFile(out);
    EXPECT_TRUE(got == expected[0] || got == expected[1]) << round << ": " << got.size();
    EXPECT_EQ(Entries(dir.path()), 2);
  }
}

}  // namespace
