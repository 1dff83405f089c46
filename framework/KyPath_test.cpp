#include "KyPath.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <zrperf/tests/support/TempDir.h>

namespace {

namespace fs = std::filesystem;

// Regular files, reached directly or through links, and nothing else.
TEST(KyPath, IsFileIsTrueExactlyForRegularFiles) {
  zrperf_test::TempDir dir{"zrfw-path"};
  dir.Write("list.csv", "a,b\n");
  dir.Write("empty", "");
  fs::create_directory(dir.Path("dir"));
  fs::create_symlink(dir.Path("list.csv"), dir.Path("link"));
  fs::create_symlink("link", dir.Path("link-to-link"));
  fs::create_symlink(dir.Path("missing"), dir.Path("dangling"));
  fs::create_symlink(dir.Path("dir"), dir.Path("dir-link"));
  for (const char* name : {"list.csv", "empty", "link", "link-to-link"}) {
    EXPECT_TRUE(CKyPath::IsFile(dir.Path(name).c_str())) << name;
  }
  for (const char* name : {"dir", "dangling", "dir-link", "missing", "empty/below"}) {
    EXPECT_FALSE(CKyPath::IsFile(dir.Path(name).c_str())) << name;
  }
  EXPECT_FALSE(CKyPath::IsFile("/dev/null"));
  EXPECT_FALSE(CKyPath::IsFile(nullptr));
  EXPECT_FALSE(CKyPath::IsFile(""));
}

}  // namespace
