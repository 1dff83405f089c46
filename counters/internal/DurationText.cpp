#include "DurationText.h"

#include <cinttypes>
#include <cstdio>

namespace zrfw {

std::string DurationText(std::uint64_t units) {
  constexpr std::uint64_t kMicrosecond = 10, kMillisecond = 10'000, kSecond = 10'000'000;
  char text[48];
  if (units < kMicrosecond) {
    std::snprintf(text, sizeof(text), "%" PRIu64 "ns", units * 100);
    return text;
  }
  std::uint64_t unit = kMicrosecond;
  const char* name = "us";
  if (units >= kSecond) {
    unit = kSecond;
    name = "s";
  } else if (units >= kMillisecond) {
    unit = kMillisecond;
    name = "ms";
  }
  std::snprintf(text, sizeof(text), "%" PRIu64 ".%02" PRIu64 "%s", units / unit,
                units % unit * 100 / unit, name);
  return text;
}

}  // namespace zrfw
