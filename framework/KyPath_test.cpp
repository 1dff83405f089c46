#include "KyPath.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "../tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;

class KyPathTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return m_dir.Path(name); }

  zrperf_test::TempDir m_dir{"zrfw-path"};
};

TEST_F(KyPathTest, RegularFilesAndLinksToThemAreFiles) {
  std::ofstream(Path("list.csv")) << "a,b\n";
  std::ofstream(Path("empty"));
  fs::create_symlink(Path("list.csv"), Path("link"));
  fs::create_symlink("link", Path("link-to-link"));
  EXPECT_TRUE(CKyPath::IsFile(Path("list.csv").c_str()));
  EXPECT_TRUE(CKyPath::IsFile(Path("empty").c_str()));
  EXPECT_TRUE(CKyPath::IsFile(Path("link").c_str()));
  EXPECT_TRUE(CKyPath::IsFile(Path("link-to-link").c_str()));
}

TEST_F(KyPathTest, EverythingElseIsNotAFile) {
  fs::create_directory(Path("dir"));
  fs::create_symlink(Path("missing"), Path("dangling"));
  fs::create_symlink(Path("dir"), Path("dir-link"));
  std::ofstream(Path("file"));
  EXPECT_FALSE(CKyPath::IsFile(Path("dir").c_str()));
  EXPECT_FALSE(CKyPath::IsFile(Path("dangling").c_str()));
  EXPECT_FALSE(CKyPath::IsFile(Path("dir-link").c_str()));
  EXPECT_FALSE(CKyPath::IsFile(Path("missing").c_str()));
  EXPECT_FALSE(CKyPath::IsFile(Path("file/below").c_str()));  // ENOTDIR
  EXPECT_FALSE(CKyPath::IsFile("/dev/null"));
  EXPECT_FALSE(CKyPath::IsFile(nullptr));
  EXPECT_FALSE(CKyPath::IsFile(""));
}

}  // namespace
