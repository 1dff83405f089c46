// Test support: a fresh directory under the system's temporary directory,
// removed with everything in it when the object goes; and whole-file helpers.

#ifndef ZRPERF_TESTS_SUPPORT_TEMPDIR_H_
#define ZRPERF_TESTS_SUPPORT_TEMPDIR_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

namespace zrperf_test {

// The bytes of the file at `path` (empty when it cannot be read).
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the file at `path` with exactly `bytes`.
inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class TempDir {
 public:
  // Creates "<tmp>/<prefix>-XXXXXX"; throws std::runtime_error when it cannot.
  explicit TempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
    m_path = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  // The path of `name` inside the directory.
  std::string Path(const std::string& name) const { return m_path + "/" + name; }
  // Writes `bytes` to `name` inside the directory and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string file = Path(name);
    WriteFile(file, bytes);
    return file;
  }

 private:
  std::string m_path;
};

}  // namespace zrperf_test

#endif  // ZRPERF_TESTS_SUPPORT_TEMPDIR_H_
