// Test support: this process's memory as the kernel counts it.

#ifndef ZRPERF_TESTS_SUPPORT_PROCESSMEMORY_H_
#define ZRPERF_TESTS_SUPPORT_PROCESSMEMORY_H_

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace zrperf_test {

// A figure of /proc/self/status ("VmRSS", "VmHWM"), in bytes; -1024 when absent.
inline std::int64_t ProcessMemory(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atoll(line.c_str() + field.size() + 1) * 1024;
  }
  return -1024;
}

}  // namespace zrperf_test

#endif  // ZRPERF_TESTS_SUPPORT_PROCESSMEMORY_H_
