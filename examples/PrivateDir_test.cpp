#include "PrivateDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <zrperf/tests/support/TempDir.h>

namespace zrdemo {
namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode;
}

TEST(PrivateDir, CreatesAMissingDirectoryForTheUserAloneAndRefusesWhatOthersCouldPlant) {
  zrperf_test::TempDir tmp("privatedir");
  const std::string state = tmp.Path("state");
  std::string error;
  ASSERT_TRUE(PreparePrivateDir(state, &error)) << error;
  EXPECT_TRUE(S_ISDIR(ModeOf(state)));
  EXPECT_EQ(ModeOf(state) & 07777, 0700u);
  // Its own private directory is accepted again on the next run.
  EXPECT_TRUE(PreparePrivateDir(state, &error)) << error;

  // A link to a private directory, and a dangling link: neither is followed.
  const std::string real = tmp.Path("real");
  ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(real.c_str(), (tmp.Path("link")).c_str()), 0);
  EXPECT_FALSE(PreparePrivateDir(tmp.Path("link"), &error));
  EXPECT_NE(error.find("is a link or not a directory"), std::string::npos) << error;
  ASSERT_EQ(::symlink((tmp.Path("nowhere")).c_str(), (tmp.Path("dangling")).c_str()), 0);
  EXPECT_FALSE(PreparePrivateDir(tmp.Path("dangling"), &error));
  EXPECT_EQ(::access((tmp.Path("nowhere")).c_str(), F_OK), -1) << "created through a link";

  // A plain file.
  const std::string file = tmp.Path("file");
  ASSERT_EQ(::close(::creat(file.c_str(), 0600)), 0);
  EXPECT_FALSE(PreparePrivateDir(file, &error));

  // The user's own directory that others may write into (or read).
  for (const mode_t mode : {0777u, 0720u, 0702u, 0750u}) {
    const std::string dir = tmp.Path("open") + std::to_string(mode);
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(dir.c_str(), mode), 0);
    EXPECT_FALSE(PreparePrivateDir(dir, &error)) << std::oct << mode;
    EXPECT_NE(error.find("not a directory private to you"), std::string::npos) << error;
  }

  // A private directory that belongs to another user (needs root to make).
  if (::geteuid() == 0) {
    const std::string theirs = tmp.Path("theirs");
    ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(PreparePrivateDir(theirs, &error));
    EXPECT_NE(error.find("owner uid 65534"), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace zrdemo
