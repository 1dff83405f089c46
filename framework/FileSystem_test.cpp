#include <zrperf/framework/FileSystem.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include <zrperf/tests/support/FileFaults.h>
#include <zrperf/tests/support/TempDir.h>

namespace {

using zrfw::ReadRegularFile;
using zrfw::ReadResult;
using zrperf_test::FaultyFiles;
using zrperf_test::FileFault;
using zrperf_test::TempDir;

TEST(FileSystem, ReadRegularFileReadsOnlyABoundedRegularFileAndNeverBlocks) {
  TempDir dir("zrfs");
  const std::string bytes(1000, 'x');
  const std::string file = dir.Write("f", bytes);
  ASSERT_EQ(::mkfifo(dir.Path("fifo").c_str(), 0600), 0);  // no writer: open() would block
  ASSERT_EQ(::symlink(file.c_str(), dir.Path("link").c_str()), 0);
  ASSERT_EQ(::symlink(dir.Path("fifo").c_str(), dir.Path("link-fifo").c_str()), 0);
  struct Case {
    std::string path;
    std::size_t maxBytes;
    ReadResult result;
  };
  const Case cases[] = {
      {file, 1000, ReadResult::kRead},              // exactly at the bound
      {file, 999, ReadResult::kTooLarge},           // one byte over
      {dir.Path("link"), 1000, ReadResult::kRead},  // a link: what it names is checked
      {dir.Path("fifo"), 1000, ReadResult::kNotRegular},
      {dir.Path("link-fifo"), 1000, ReadResult::kNotRegular},
      {"/dev/zero", 1000, ReadResult::kNotRegular},
      {dir.path(), 1000, ReadResult::kNotRegular},
      {dir.Path("absent"), 1000, ReadResult::kMissing},
  };
  for (const Case& c : cases) {
    std::string out = "stale";
    std::string why;
    EXPECT_EQ(ReadRegularFile(c.path, c.maxBytes, &out, &why), c.result) << c.path;
    EXPECT_EQ(out, c.result == ReadResult::kRead ? bytes : "") << c.path;
    EXPECT_EQ(why.rfind(c.path, 0), c.result == ReadResult::kRead ? std::string::npos : 0) << why;
  }
}

TEST(FileSystem, ReadRegularFileRefusesAFileThatGrowsPastTheBoundWhileRead) {
  TempDir dir("zrfs");
  const std::string file = dir.Write("f", "abc");
  // The file grows after its size was taken: each read appends more.
  struct Growing : FaultyFiles {
    using FaultyFiles::FaultyFiles;
    ssize_t Read(int fd, void* buffer, std::size_t size) override {
      const int out = ::open(path.c_str(), O_WRONLY | O_APPEND);
      const std::string more(64, 'y');
      EXPECT_EQ(::write(out, more.data(), more.size()), 64);
      ::close(out);
      return FaultyFiles::Read(fd, buffer, size);
    }
    std::string path;
  } growing(dir.path());
  growing.path = file;
  std::string out, why;
  EXPECT_EQ(ReadRegularFile(file, 100, &out, &why), ReadResult::kTooLarge);
  EXPECT_TRUE(out.empty());
}

TEST(FileSystem, UnderEveryFaultReadsAndWritesLoseNothingOrFailWithTheirCause) {
  TempDir dir("zrfs");
  const std::string bytes(5000, 'z');
  const std::string file = dir.Write("f", bytes);
  const std::string out = dir.Path("out");
  FaultyFiles files(dir.path());
  for (const FileFault fault : zrperf_test::kReturnedFaults) {
    // A retried interruption (past the open, which has no retry) and a short
    // transfer lose nothing; any other fault fails with its cause, never
    // with part of the bytes taken for the whole.
    const auto mustSucceed = [fault](long n) {
      return fault == FileFault::kShortWrite || (fault == FileFault::kInterrupt && n > 1);
    };
    const long reads = zrperf_test::WalkFaults(
        files, fault,
        [&] {
          std::string got, why;
          const ReadResult r = ReadRegularFile(file, 1 << 20, &got, &why);
          EXPECT_TRUE(r == ReadResult::kRead ? got == bytes : got.empty() && !why.empty());
          return r == ReadResult::kRead;
        },
        [&](long n, bool ok) {
          EXPECT_TRUE(ok || !mustSucceed(n)) << FaultName(fault) << " at read call " << n;
        });
    EXPECT_EQ(reads, 4) << FaultName(fault);
    const long writes = zrperf_test::WalkFaults(
        files, fault,
        [&] {
          ::unlink(out.c_str());
          const int fd = zrfw::Files().Open(out.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
          if (fd < 0) return false;
          const std::size_t done = zrfw::WriteAll(fd, bytes.data(), bytes.size());
          const int err = errno;
          zrfw::Files().Close(fd);
          EXPECT_EQ(zrperf_test::ReadFile(out).size(), done);
          if (done < bytes.size()) {
            EXPECT_EQ(err, fault == FileFault::kNoSpace ? ENOSPC
                           : fault == FileFault::kIo    ? EIO
                                                        : EFBIG);
          }
          return done == bytes.size();
        },
        [&](long n, bool ok) {
          EXPECT_TRUE(ok || !mustSucceed(n)) << FaultName(fault) << " at write call " << n;
        });
    EXPECT_EQ(writes, 3) << FaultName(fault);
  }
}

TEST(FileSystem, FileKindNamesEachKind) {
  const std::pair<mode_t, const char*> kinds[] = {
      {S_IFREG, "a regular file"},     {S_IFDIR, "a directory"},    {S_IFIFO, "a FIFO"},
      {S_IFCHR, "a character device"}, {S_IFBLK, "a block device"}, {S_IFSOCK, "a socket"},
      {S_IFLNK, "a symbolic link"},    {0, "not a regular file"}};
  for (const auto& [mode, name] : kinds) EXPECT_STREQ(zrfw::FileKind(mode | 0644), name);
}

TEST(FileSystem, SetFileSystemReturnsWhatItReplaces) {
  zrfw::CFileSystem mine;
  EXPECT_EQ(zrfw::SetFileSystem(&mine), nullptr);
  EXPECT_EQ(&zrfw::Files(), &mine);
  EXPECT_EQ(zrfw::SetFileSystem(nullptr), &mine);
  EXPECT_NE(&zrfw::Files(), &mine);
}

}  // namespace
